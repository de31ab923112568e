#include "stack/message/CallId.h"

#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

ParseStatus CallId::TryParse(std::string_view text, CallId& out, std::size_t base) {
    out = CallId();
    Scanner s(text, base);
    s.SkipLws();
    const std::size_t start = s.Offset();
    if (s.TakeWhile(chars::IsWord).empty()) {
        return s.Fail("expected a Call-ID");
    }
    if (s.Consume('@') && s.TakeWhile(chars::IsWord).empty()) {
        return s.Fail("expected a word after '@' in Call-ID");
    }
    out.value_.assign(s.Slice(start, s.Offset()));
    return ExpectEnd(s);
}

CallId CallId::Parse(std::string_view text) {
    CallId value;
    ThrowIfFailed(TryParse(text, value), "Call-ID");
    return value;
}

} // namespace zel::sip::stack

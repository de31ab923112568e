#include "stack/message/CSeq.h"

#include "stack/base/Scanner.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

ParseStatus CSeq::TryParse(std::string_view text, CSeq& out, std::size_t base) {
    out = CSeq();
    Scanner s(text, base);
    s.SkipLws();
    if (auto st = s.TakeUInt32(out.sequence_); !st) {
        return st;
    }
    if (out.sequence_ >= 0x80000000U) {
        return s.Fail("CSeq number out of range");
    }
    if (!s.SkipLws()) {
        return s.Fail("expected white space after CSeq number");
    }
    const std::string_view method = s.TakeToken();
    if (method.empty()) {
        return s.Fail("expected a method");
    }
    out.method_.assign(method);
    return ExpectEnd(s);
}

CSeq CSeq::Parse(std::string_view text) {
    CSeq value;
    ThrowIfFailed(TryParse(text, value), "CSeq");
    return value;
}

void CSeq::Encode(std::string& out) const {
    out.append(std::to_string(sequence_)).push_back(' ');
    out.append(method_);
}

std::string CSeq::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

} // namespace zel::sip::stack

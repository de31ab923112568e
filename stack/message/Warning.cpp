#include "stack/message/Warning.h"

#include <algorithm>

#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {
namespace {

constexpr bool IsAgentChar(char c) noexcept {
    return chars::IsToken(c) || c == ':' || c == '[' || c == ']';
}

} // namespace

ParseStatus Warning::TryParse(std::string_view text, Warning& out, std::size_t base) {
    out = Warning();
    Scanner s(text, base);
    s.SkipLws();
    const std::size_t codeStart = s.Offset();
    std::uint32_t code = 0;
    if (auto st = s.TakeUInt32(code); !st) {
        return st;
    }
    if (s.Offset() - codeStart != 3) {
        return ParseFailure{base + codeStart, "warn-code must have three digits"};
    }
    out.code_ = static_cast<std::uint16_t>(code);
    if (!s.SkipLws()) {
        return s.Fail("expected white space after warn-code");
    }
    const std::string_view agent = s.TakeWhile(IsAgentChar);
    if (agent.empty()) {
        return s.Fail("expected a warn-agent");
    }
    out.agent_.assign(agent);
    if (!s.SkipLws()) {
        return s.Fail("expected white space after warn-agent");
    }
    if (auto st = s.TakeQuotedString(out.text_); !st) {
        return st;
    }
    return ExpectEnd(s);
}

Warning Warning::Parse(std::string_view text) {
    Warning value;
    ThrowIfFailed(TryParse(text, value), "Warning");
    return value;
}

void Warning::Encode(std::string& out) const {
    const std::string code = std::to_string(code_);
    out.append(3 - std::min<std::size_t>(3, code.size()), '0').append(code).push_back(' ');
    out.append(agent_.empty() ? std::string_view("-") : std::string_view(agent_)).push_back(' ');
    AppendQuoted(out, text_);
}

std::string Warning::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

} // namespace zel::sip::stack

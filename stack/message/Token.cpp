#include "stack/message/Token.h"

#include <charconv>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"

namespace zel::sip::stack {
namespace {

// token, or word ["@" word] for the dialog-identifying headers (their value is a Call-ID).
constexpr bool IsTokenValueChar(char c) noexcept {
    return chars::IsToken(c) || c == '@' || c == ':' || c == '[' || c == ']' || c == '/' || c == '?' || c == '{' ||
           c == '}';
}

} // namespace

ParseStatus Token::TryParse(std::string_view text, Token& out, std::size_t base) {
    out.value_.clear();
    out.params_.Clear();
    Scanner s(text, base);
    s.SkipLws();
    const std::string_view value = s.TakeWhile(IsTokenValueChar);
    if (value.empty()) {
        return s.Fail("expected a token");
    }
    out.value_.assign(value);
    if (auto st = ParseHeaderParams(s, out.params_); !st) {
        return st;
    }
    return ExpectEnd(s);
}

Token Token::Parse(std::string_view text) {
    Token value;
    ThrowIfFailed(TryParse(text, value), "token");
    return value;
}

bool Token::Matches(std::string_view token) const noexcept { return IEquals(value_, token); }

void Token::Encode(std::string& out) const {
    out.append(value_);
    params_.EncodeHeaderParams(out);
}

std::string Token::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

ParseStatus Reason::TryParse(std::string_view text, Reason& out, std::size_t base) {
    return Token::TryParse(text, out, base);
}

Reason Reason::Parse(std::string_view text) {
    Reason value;
    ThrowIfFailed(TryParse(text, value), "Reason");
    return value;
}

bool Reason::HasCause() const noexcept {
    const Parameter* p = params_.Find("cause");
    if (p == nullptr || p->value.empty()) {
        return false;
    }
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(p->value.data(), p->value.data() + p->value.size(), value);
    return ec == std::errc() && end == p->value.data() + p->value.size();
}

std::uint32_t Reason::Cause() const noexcept {
    if (!HasCause()) {
        return 0;
    }
    const Parameter* p = params_.Find("cause");
    std::uint32_t value = 0;
    std::from_chars(p->value.data(), p->value.data() + p->value.size(), value);
    return value;
}

const std::string* Reason::Text() const noexcept {
    const Parameter* p = params_.Find("text");
    return p != nullptr ? &p->value : nullptr;
}

ParseStatus Event::TryParse(std::string_view text, Event& out, std::size_t base) {
    return Token::TryParse(text, out, base);
}

Event Event::Parse(std::string_view text) {
    Event value;
    ThrowIfFailed(TryParse(text, value), "Event");
    return value;
}

std::string_view Event::Id() const noexcept {
    const Parameter* p = params_.Find("id");
    return p != nullptr ? std::string_view(p->value) : std::string_view();
}

} // namespace zel::sip::stack

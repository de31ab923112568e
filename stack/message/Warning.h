#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"

namespace zel::sip::stack {

/// One Warning value (RFC 3261 section 20.43): a three-digit code, the warn-agent (host[:port] or
/// pseudonym) and the warn-text, held without its quotes.
class Warning {
public:
    Warning() = default;
    Warning(std::uint16_t code, std::string agent, std::string text)
        : code_(code), agent_(std::move(agent)), text_(std::move(text)) {}

    static ParseStatus TryParse(std::string_view text, Warning& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Warning Parse(std::string_view text);

    std::uint16_t Code() const noexcept { return code_; }
    void SetCode(std::uint16_t code) noexcept { code_ = code; }
    /// The warn-agent; an empty agent is written as "-" (the pseudonym RFC 3261 suggests).
    const std::string& Agent() const noexcept { return agent_; }
    void SetAgent(std::string_view agent) { agent_.assign(agent); }
    const std::string& Text() const noexcept { return text_; }
    void SetText(std::string_view text) { text_.assign(text); }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::uint16_t code_ = 399;
    std::string agent_;
    std::string text_;
};

} // namespace zel::sip::stack

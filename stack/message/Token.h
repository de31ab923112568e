#pragma once

#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

/// A token with header parameters: option tags (Require, Supported, Proxy-Require, Unsupported),
/// methods (Allow), Content-Disposition, Subscription-State, Privacy, Allow-Events, Replaces and
/// other `value *(SEMI param)` headers. The value is a token, or a Call-ID word for the dialog
/// identifying headers (Replaces, Join, Target-Dialog, In-Reply-To). Compare option tags with
/// `Matches` (tokens compare without regard to case).
class Token {
public:
    Token() = default;
    explicit Token(std::string value) : value_(std::move(value)) {}

    static ParseStatus TryParse(std::string_view text, Token& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Token Parse(std::string_view text);

    /// The value; `Value().c_str()` stays valid while this object lives unchanged.
    const std::string& Value() const noexcept { return value_; }
    void SetValue(std::string_view value) { value_.assign(value); }
    /// Value equal to `token` without regard to ASCII case.
    bool Matches(std::string_view token) const noexcept;

    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }

    void Encode(std::string& out) const;
    std::string ToString() const;

protected:
    std::string value_;
    ParameterList params_;
};

/// A Reason value (RFC 3326): a protocol token ("SIP", "Q.850", ...) with the cause and text
/// parameters.
class Reason : public Token {
public:
    static ParseStatus TryParse(std::string_view text, Reason& out, std::size_t base = 0);
    static Reason Parse(std::string_view text);

    const std::string& Protocol() const noexcept { return value_; }
    /// The cause parameter when present and numeric.
    bool HasCause() const noexcept;
    /// The cause parameter, 0 when absent or not a number.
    std::uint32_t Cause() const noexcept;
    /// The text parameter without its quotes, or null when absent. Valid until the value changes.
    const std::string* Text() const noexcept;
};

/// An Event value (RFC 6665 section 8.2.1): the event package (with template) and the id parameter.
class Event : public Token {
public:
    static ParseStatus TryParse(std::string_view text, Event& out, std::size_t base = 0);
    static Event Parse(std::string_view text);

    const std::string& Package() const noexcept { return value_; }
    /// The id parameter, empty when absent.
    std::string_view Id() const noexcept;
};

} // namespace zel::sip::stack

#pragma once

#include "stack/body/ParseResult.h"
#include "stack/message/Mime.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::stack {

/// One media-type parameter (RFC 2045 section 5.1); the value is held unquoted.
struct MimeParameter {
    std::string name;
    std::string value;

    friend bool operator==(const MimeParameter&, const MimeParameter&) = default;
};

/// A Content-Type value: the MIME type and its parameters in order (RFC 2045 section 5.1,
/// RFC 3261 section 20.15), e.g. multipart/mixed;boundary="b1" or text/plain;charset=utf-8.
/// The parameters live here, not in `mime.Params()`, which stays empty; FromMime and ToMime
/// convert from and to the message layer's Mime with its parameters.
struct ContentType {
    stack::Mime mime;
    std::vector<MimeParameter> parameters;

    ContentType() = default;
    ContentType(stack::Mime m) : mime(std::move(m)) {} // NOLINT: a bare MIME type is a content type
    ContentType(std::string type, std::string subtype) : mime(std::move(type), std::move(subtype)) {}

    /// Parses "type/subtype *(; name=value)"; values may be quoted strings with backslash escapes.
    /// White space around ";" and "=" is allowed. Never throws on bad input.
    static ParseResult<ContentType> Parse(std::string_view text);

    /// Type, subtype and every valued parameter of the message layer's Mime.
    static ContentType FromMime(const stack::Mime& mime);
    /// The message layer's Mime with these parameters (quoted where they are not tokens).
    stack::Mime ToMime() const;

    /// The value of the first parameter with this name (without regard to ASCII case), or none.
    std::optional<std::string_view> Parameter(std::string_view name) const noexcept;

    /// Replaces the value of the first parameter with this name, or appends the parameter.
    void SetParameter(std::string_view name, std::string value);

    /// "type/subtype;name=value..." with a value quoted when it is not a token.
    std::string Encode() const;

    friend bool operator==(const ContentType&, const ContentType&) = default;
};

} // namespace zel::sip::stack

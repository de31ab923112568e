#pragma once

#include <string>
#include <string_view>

#include "stack/base/ParseError.h"

namespace zel::sip::stack {

/// A header value read as plain text: User-Agent, Server, Subject, Organization, Date, and any
/// extension header. Line folds are reduced to a single space and surrounding white space trimmed;
/// nothing else is interpreted. Always parses.
class Text {
public:
    Text() = default;
    explicit Text(std::string value) : value_(std::move(value)) {}

    static ParseStatus TryParse(std::string_view text, Text& out, std::size_t base = 0);
    static Text Parse(std::string_view text);

    /// The text; `Value().c_str()` stays valid while this object lives unchanged.
    const std::string& Value() const noexcept { return value_; }
    void SetValue(std::string_view value) { value_.assign(value); }

    void Encode(std::string& out) const { out.append(value_); }
    std::string ToString() const { return value_; }

private:
    std::string value_;
};

} // namespace zel::sip::stack

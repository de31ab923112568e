#pragma once

// Character classes and small readers of the MIME header grammar (RFC 2045 section 5.1,
// RFC 822 quoted-string), shared by the Content-Type parser and the multipart part headers.

#include <cstddef>
#include <string>
#include <string_view>

namespace zel::sip::stack::detail {

/// RFC 2045 token character: any visible US-ASCII character except tspecials.
constexpr bool IsTokenChar(char c) noexcept {
    if (c <= ' ' || c >= 127) {
        return false;
    }
    constexpr std::string_view tspecials = "()<>@,;:\\\"/[]?=";
    return tspecials.find(c) == std::string_view::npos;
}

constexpr bool IsToken(std::string_view s) noexcept {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (!IsTokenChar(c)) {
            return false;
        }
    }
    return true;
}

constexpr void SkipBlanks(std::string_view text, std::size_t& i) noexcept {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
}

/// Reads a quoted string starting at text[i] == '"'; leaves i after the closing quote and the
/// unescaped content in `out`. False when the string does not end.
bool ReadQuotedString(std::string_view text, std::size_t& i, std::string& out);

/// The value as a quoted string, with '"' and '\' escaped.
std::string Quote(std::string_view value);

} // namespace zel::sip::stack::detail

#pragma once

#include <array>
#include <string_view>
#include <cstdint>

/// Character classes of the RFC 3261 grammar (section 25.1), as constexpr table look-ups.
namespace zel::sip::stack::chars {

namespace detail {

enum : std::uint16_t {
    kAlpha = 1 << 0,
    kDigit = 1 << 1,
    kHex = 1 << 2,
    kToken = 1 << 3,          // token = 1*(alphanum / "-" / "." / "!" / "%" / "*" / "_" / "+" / "`" / "'" / "~")
    kMark = 1 << 4,           // "-" / "_" / "." / "!" / "~" / "*" / "'" / "(" / ")"
    kReserved = 1 << 5,       // ";" / "/" / "?" / ":" / "@" / "&" / "=" / "+" / "$" / ","
    kSeparator = 1 << 6,      // ( ) < > @ , ; : \ DQUOTE / [ ] ? = { } SP HTAB
    kWsp = 1 << 7,            // SP / HTAB
    kUserUnreserved = 1 << 8, // "&" / "=" / "+" / "$" / "," / ";" / "?" / "/"
    kParamUnreserved = 1 << 9,// "[" / "]" / "/" / ":" / "&" / "+" / "$"
    kHnvUnreserved = 1 << 10, // "[" / "]" / "/" / "?" / ":" / "+" / "$"
    kWord = 1 << 11,          // word = token chars plus ( ) < > : \ DQUOTE / [ ] ? { }
    kPassword = 1 << 12,      // "&" / "=" / "+" / "$" / ","
};

constexpr std::array<std::uint16_t, 256> MakeTable() {
    std::array<std::uint16_t, 256> t{};
    auto add = [&t](const char* set, std::uint16_t flag) {
        for (const char* p = set; *p != '\0'; ++p) {
            t[static_cast<unsigned char>(*p)] |= flag;
        }
    };
    for (int c = 'a'; c <= 'z'; ++c) {
        t[c] |= kAlpha | kToken | kWord;
        t[c - 'a' + 'A'] |= kAlpha | kToken | kWord;
    }
    for (int c = '0'; c <= '9'; ++c) {
        t[c] |= kDigit | kHex | kToken | kWord;
    }
    add("abcdefABCDEF", kHex);
    add("-.!%*_+`'~", kToken | kWord);
    add("-_.!~*'()", kMark);
    add(";/?:@&=+$,", kReserved);
    add("()<>@,;:\\\"/[]?={} \t", kSeparator);
    add(" \t", kWsp);
    add("&=+$,;?/", kUserUnreserved);
    add("[]/:&+$", kParamUnreserved);
    add("[]/?:+$", kHnvUnreserved);
    add("()<>:\\\"/[]?{}", kWord);
    add("&=+$,", kPassword);
    return t;
}

inline constexpr std::array<std::uint16_t, 256> kTable = MakeTable();

constexpr bool Has(char c, std::uint16_t flags) noexcept {
    return (kTable[static_cast<unsigned char>(c)] & flags) != 0;
}

} // namespace detail

constexpr bool IsAlpha(char c) noexcept { return detail::Has(c, detail::kAlpha); }
constexpr bool IsDigit(char c) noexcept { return detail::Has(c, detail::kDigit); }
constexpr bool IsAlphaNum(char c) noexcept { return detail::Has(c, detail::kAlpha | detail::kDigit); }
constexpr bool IsHex(char c) noexcept { return detail::Has(c, detail::kHex); }
/// A character of `token`.
constexpr bool IsToken(char c) noexcept { return detail::Has(c, detail::kToken); }
/// A whole non-empty token (RFC 3261 section 25.1).
constexpr bool IsTokenText(std::string_view text) noexcept {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!IsToken(c)) {
            return false;
        }
    }
    return true;
}
constexpr bool IsMark(char c) noexcept { return detail::Has(c, detail::kMark); }
/// `unreserved` = alphanum / mark.
constexpr bool IsUnreserved(char c) noexcept { return detail::Has(c, detail::kAlpha | detail::kDigit | detail::kMark); }
constexpr bool IsReserved(char c) noexcept { return detail::Has(c, detail::kReserved); }
constexpr bool IsSeparator(char c) noexcept { return detail::Has(c, detail::kSeparator); }
/// SP or HTAB.
constexpr bool IsWsp(char c) noexcept { return detail::Has(c, detail::kWsp); }
/// A character of `word` (used by Call-ID).
constexpr bool IsWord(char c) noexcept { return detail::Has(c, detail::kWord); }
/// Characters allowed unescaped in the user part of a SIP URI.
constexpr bool IsUserChar(char c) noexcept { return IsUnreserved(c) || detail::Has(c, detail::kUserUnreserved); }
/// Characters allowed unescaped in the password of a SIP URI.
constexpr bool IsPasswordChar(char c) noexcept { return IsUnreserved(c) || detail::Has(c, detail::kPassword); }
/// `paramchar` without `escaped`: allowed unescaped in URI parameter names and values.
constexpr bool IsParamChar(char c) noexcept { return IsUnreserved(c) || detail::Has(c, detail::kParamUnreserved); }
/// Allowed unescaped in URI header names and values.
constexpr bool IsHeaderChar(char c) noexcept { return IsUnreserved(c) || detail::Has(c, detail::kHnvUnreserved); }
/// UTF8-NONASCII lead or continuation byte (the grammar's TEXT-UTF8 accepts them).
constexpr bool IsNonAscii(char c) noexcept { return static_cast<unsigned char>(c) >= 0x80; }
/// A hostname character: alphanum, "-", "." (and "_", which real deployments use).
constexpr bool IsHostChar(char c) noexcept { return IsAlphaNum(c) || c == '-' || c == '.' || c == '_'; }

/// Value of a hex digit, or -1.
constexpr int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace zel::sip::stack::chars

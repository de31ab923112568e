#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// ASCII case-insensitive comparison and hashing, as SIP compares header names, parameter names,
/// schemes, methods of other kinds and tokens (RFC 3261 section 7.3.1). Locale-independent.
namespace zel::sip::stack {

constexpr char ToLowerAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

/// True when `a` and `b` are equal without regard to ASCII case.
constexpr bool IEquals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

/// True when `text` starts with `prefix`, without regard to ASCII case.
constexpr bool IStartsWith(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

/// A lower-case copy (ASCII only).
std::string ToLower(std::string_view text);

/// Hash that agrees with `IEquals` (FNV-1a over lower-cased bytes).
struct IHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        std::size_t hash = 1469598103934665603ULL;
        for (char c : text) {
            hash ^= static_cast<unsigned char>(ToLowerAscii(c));
            hash *= 1099511628211ULL;
        }
        return hash;
    }
};

/// Equality predicate for unordered containers keyed without regard to case.
struct IEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return IEquals(a, b); }
};

/// Strict weak ordering without regard to ASCII case.
struct ILess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

} // namespace zel::sip::stack

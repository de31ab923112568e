#pragma once

#include <cstddef>
#include <string_view>

namespace zel::sip::stack {

/// Calls `emit` with each element of a comma-separated header value, split at top-level commas
/// only: commas inside quoted-strings (with quoted-pairs), angle brackets and comments do not split.
/// Elements are trimmed of LWS; empty elements are skipped. The views point into `value`.
constexpr bool IsLwsChar(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/// `text` without leading and trailing SP, HTAB, CR and LF.
[[gnu::always_inline]] constexpr std::string_view TrimLws(std::string_view text) noexcept {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsLwsChar(text[first])) {
        ++first;
    }
    while (last > first && IsLwsChar(text[last - 1])) {
        --last;
    }
    return {text.data() + first, last - first};
}

template <class Emit>
void SplitList(std::string_view value, Emit&& emit) {
    bool inQuotes = false;
    int angle = 0;
    int paren = 0;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        const std::string_view item = TrimLws({value.data() + start, end - start});
        if (!item.empty()) {
            emit(item);
        }
    };
    if (value.find(',') == std::string_view::npos) {
        flush(value.size()); // one element: most values (a Via, a Contact); memchr finds no comma fast
        return;
    }
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (inQuotes) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inQuotes = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inQuotes = true;
            break;
        case '<':
            ++angle;
            break;
        case '>':
            if (angle > 0) {
                --angle;
            }
            break;
        case '(':
            ++paren;
            break;
        case ')':
            if (paren > 0) {
                --paren;
            }
            break;
        case ',':
            if (angle == 0 && paren == 0) {
                flush(i);
                start = i + 1;
            }
            break;
        default:
            break;
        }
    }
    flush(value.size());
}

} // namespace zel::sip::stack

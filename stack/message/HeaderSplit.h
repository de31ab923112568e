#pragma once

#include <cstddef>
#include <string_view>

namespace zel::sip::stack {

/// Calls `emit` with each element of a comma-separated header value, split at top-level commas
/// only: commas inside quoted-strings (with quoted-pairs), angle brackets and comments do not split.
/// Elements are trimmed of LWS; empty elements are skipped. The views point into `value`.
template <class Emit>
void SplitList(std::string_view value, Emit&& emit) {
    bool inQuotes = false;
    int angle = 0;
    int paren = 0;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        std::string_view item = value.substr(start, end - start);
        constexpr std::string_view kSpace = " \t\r\n";
        const auto first = item.find_first_not_of(kSpace);
        if (first != std::string_view::npos) {
            const auto last = item.find_last_not_of(kSpace);
            emit(item.substr(first, last - first + 1));
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

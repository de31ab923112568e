#include "stack/base/Escaping.h"

#include "stack/base/CharClass.h"

namespace zel::sip::stack {

void AppendEscaped(std::string& out, std::string_view text, CharPredicate allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char c : text) {
        if (allowed(c)) {
            out.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
}

std::string Escape(std::string_view text, CharPredicate allowed) {
    std::string out;
    out.reserve(text.size());
    AppendEscaped(out, text, allowed);
    return out;
}

ParseStatus Unescape(std::string_view text, std::string& out, std::size_t base) {
    const std::size_t firstEscape = text.find('%');
    if (firstEscape == std::string_view::npos) {
        out.assign(text); // the usual case: nothing to decode
        return {};
    }
    out.assign(text.substr(0, firstEscape));
    out.reserve(text.size());
    for (std::size_t i = firstEscape; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) {
            return ParseFailure{base + i, "truncated %-escape"};
        }
        const int high = chars::HexValue(text[i + 1]);
        const int low = chars::HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return ParseFailure{base + i, "bad %-escape"};
        }
        out.push_back(static_cast<char>((high << 4) | low));
        i += 2;
    }
    return {};
}

} // namespace zel::sip::stack

#include "stack/body/detail/MimeGrammar.h"

namespace zel::sip::stack::detail {

bool ReadQuotedString(std::string_view text, std::size_t& i, std::string& out) {
    out.clear();
    ++i; // opening quote
    while (i < text.size()) {
        const char c = text[i++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (i >= text.size()) {
                return false;
            }
            out.push_back(text[i++]);
        } else {
            out.push_back(c);
        }
    }
    return false;
}

std::string Quote(std::string_view value) {
    std::string text;
    text.reserve(value.size() + 2);
    text.push_back('"');
    for (char c : value) {
        if (c == '"' || c == '\\') {
            text.push_back('\\');
        }
        text.push_back(c);
    }
    text.push_back('"');
    return text;
}

} // namespace zel::sip::stack::detail

#include "stack/message/Text.h"

#include "stack/base/CharClass.h"

namespace zel::sip::stack {

ParseStatus Text::TryParse(std::string_view text, Text& out, std::size_t /*base*/) {
    out.value_.clear();
    out.value_.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            // A fold: the line end and the white space after it become one space.
            while (i + 1 < text.size() && (text[i + 1] == '\n' || chars::IsWsp(text[i + 1]))) {
                ++i;
            }
            out.value_.push_back(' ');
            continue;
        }
        out.value_.push_back(c);
    }
    const auto first = out.value_.find_first_not_of(" \t");
    if (first == std::string::npos) {
        out.value_.clear();
    } else {
        out.value_.erase(0, first);
        out.value_.erase(out.value_.find_last_not_of(" \t") + 1);
    }
    return {};
}

Text Text::Parse(std::string_view text) {
    Text value;
    (void)TryParse(text, value);
    return value;
}

} // namespace zel::sip::stack

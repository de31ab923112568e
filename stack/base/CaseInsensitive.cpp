#include "stack/base/CaseInsensitive.h"

#include <algorithm>

namespace zel::sip::stack {

std::string ToLower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), ToLowerAscii);
    return lower;
}

bool ILess::operator()(std::string_view a, std::string_view b) const noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return ToLowerAscii(x) < ToLowerAscii(y); });
}

} // namespace zel::sip::stack

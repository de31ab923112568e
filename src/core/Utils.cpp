#include "core/Utils.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace zel::sip {

stack::Mime Utils::ToMime(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos || text.find('/', slash + 1) != std::string_view::npos)
        throw std::invalid_argument("Invalid MIME type '" + std::string(text) + "'");
    return stack::Mime(std::string(text.substr(0, slash)), std::string(text.substr(slash + 1)));
}

} // namespace zel::sip

#include "stack/message/Mime.h"

#include <boost/algorithm/string/predicate.hpp>

namespace zel::sip::stack {

std::string Mime::ToString() const {
    std::string text;
    text.reserve(type_.size() + 1 + subtype_.size());
    text.append(type_).append(1, '/').append(subtype_);
    return text;
}

bool Mime::Matches(std::string_view type, std::string_view subtype) const noexcept {
    return boost::algorithm::iequals(type_, type) && boost::algorithm::iequals(subtype_, subtype);
}

} // namespace zel::sip::stack

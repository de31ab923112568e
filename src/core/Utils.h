#pragma once

#include "stack/message/Mime.h"

#include <string_view>

namespace zel::sip {

/// Small conversions shared by the user agent and the contents factory.
class Utils {
public:
    /// Turns "type/subtype" into a MIME type, both pieces kept exactly as given (no trimming, no
    /// change of case, no check of the characters; a ";" and what follows stay in the subtype).
    /// Raises std::invalid_argument "Invalid MIME type '<text>'" unless the text has exactly one "/".
    static stack::Mime ToMime(std::string_view text);
};

} // namespace zel::sip

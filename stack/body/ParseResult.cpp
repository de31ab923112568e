#include "stack/body/ParseResult.h"

namespace zel::sip::stack {

std::string BodyError::ToString() const {
    if (line == 0) {
        return message;
    }
    return "line " + std::to_string(line) + ": " + message;
}

} // namespace zel::sip::stack

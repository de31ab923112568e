#include "stack/dum/HandleError.h"

#include <string>

namespace zel::sip::stack {

HandleError HandleError::Uninitialized() {
    // The spelling is the system's own text, which hosts may compare against.
    return HandleError("Reference to unitialized handle.");
}

HandleError HandleError::Ended(std::uint64_t id) {
    return HandleError("Reference to a usage that has ended (id " + std::to_string(id) + ").");
}

} // namespace zel::sip::stack

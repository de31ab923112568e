#include "stack/core/StackOptions.h"

#include <stdexcept>

namespace zel::sip::stack {

void StackOptions::Validate() const {
    transactions.Validate();
    queue.Validate();
    dns.Validate();
    if (congestionTolerance.count() <= 0) {
        throw std::invalid_argument("the congestion tolerance must be positive");
    }
    if (drainTimeout.count() < 0) {
        throw std::invalid_argument("the drain timeout must not be negative");
    }
}

} // namespace zel::sip::stack

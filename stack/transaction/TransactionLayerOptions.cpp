#include "stack/transaction/TransactionLayerOptions.h"

#include <stdexcept>

namespace zel::sip::stack {

void TransactionLayerOptions::Validate() const {
    timers.Validate();
    if (maxServerTransactions == 0 || maxClientRequests == 0) {
        throw std::invalid_argument("the transaction tables need room for at least one transaction");
    }
    if (rememberedTargets == 0 || rememberedAcks == 0) {
        throw std::invalid_argument("the transaction layer must remember at least one target and one ACK");
    }
}

} // namespace zel::sip::stack

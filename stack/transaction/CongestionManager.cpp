#include "stack/transaction/CongestionManager.h"

#include <algorithm>
#include <stdexcept>

#include "stack/message/NameAddr.h"
#include "stack/transaction/TransactionUserQueue.h"

namespace zel::sip::stack {

CongestionManager::CongestionManager(std::chrono::milliseconds tolerance) : tolerance_(tolerance) {
    if (tolerance_.count() <= 0) {
        throw std::invalid_argument("the congestion tolerance must be positive");
    }
}

std::optional<std::uint32_t>
CongestionManager::RetryAfter(std::optional<std::chrono::milliseconds> oldestWait) const noexcept {
    if (!oldestWait || *oldestWait <= tolerance_) {
        return std::nullopt;
    }
    const auto seconds = (oldestWait->count() + 999) / 1000;
    return static_cast<std::uint32_t>(std::clamp<long long>(seconds, 1, 3600));
}

std::optional<std::uint32_t> CongestionManager::RetryAfter(const TransactionUserQueue& queue) const {
    return RetryAfter(queue.OldestWait());
}

bool CongestionManager::IsRefusable(const SipMessage& request) {
    if (!request.IsRequest() || request.Method() == "ACK" || request.Method() == "CANCEL") {
        return false;
    }
    const NameAddr* to = request.Peek<NameAddr>(HeaderType::To);
    return to == nullptr || !to->Params().Has("tag");
}

} // namespace zel::sip::stack

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

class TransactionUserQueue;

/// Decides, by the wait-time metric, whether a new request is refused with 503 (RFC 3261 section
/// 21.5.4) instead of being queued for the transaction user: when the oldest entry of the queue has
/// waited longer than the tolerance, the transaction user is behind, and taking more work only
/// makes every caller wait longer.
///
/// Only requests that start something new are refused: requests outside a dialog (no To tag) other
/// than ACK and CANCEL. Requests inside dialogs, ACK, CANCEL and responses are always queued, so
/// transactions already accepted can finish.
///
/// Thread rules: immutable after construction; any thread.
class CongestionManager {
public:
    /// The default tolerance: 200 ms.
    static constexpr std::chrono::milliseconds kDefaultTolerance{200};

    /// Raises std::invalid_argument for a tolerance that is not positive.
    explicit CongestionManager(std::chrono::milliseconds tolerance = kDefaultTolerance);

    std::chrono::milliseconds Tolerance() const noexcept { return tolerance_; }

    /// The Retry-After value (seconds, at least 1: about the time the backlog needs to clear) when
    /// a new request is to be refused given that the oldest queued entry has waited `oldestWait`
    /// (nullopt: the queue is empty); nullopt when it is to be taken.
    std::optional<std::uint32_t> RetryAfter(std::optional<std::chrono::milliseconds> oldestWait) const noexcept;
    /// The same for `queue`'s oldest entry.
    std::optional<std::uint32_t> RetryAfter(const TransactionUserQueue& queue) const;

    /// True for the requests the manager may refuse: outside a dialog, not ACK, not CANCEL.
    static bool IsRefusable(const SipMessage& request);

private:
    std::chrono::milliseconds tolerance_;
};

} // namespace zel::sip::stack

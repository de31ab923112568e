#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// Detects merged requests (RFC 3261 section 8.2.2.2): one request that forked on its way and
/// reached us twice over different paths. Requests outside any dialog (no To tag) are remembered
/// by From tag, Call-ID and CSeq, together with what identifies their server transaction (the top
/// Via's branch and sent-by, or for an RFC 2543 peer without a branch cookie the Request-URI and the
/// top Via). A later request with the same From tag, Call-ID and CSeq but another transaction is a
/// merged copy, to be answered 482 (Loop Detected).
///
/// Bounded: entries expire after `lifetime` (32 s, the life of a non-INVITE server transaction,
/// 64*T1), and past `capacity` the oldest entry is dropped. Time comes from the caller, so tests
/// need no clock.
///
/// Threads: not thread-safe; the dialog thread owns it.
class MergedRequests {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    static constexpr std::size_t kDefaultCapacity = 4096;
    static constexpr std::chrono::seconds kDefaultLifetime{32};

    explicit MergedRequests(std::size_t capacity = kDefaultCapacity, std::chrono::seconds lifetime = kDefaultLifetime);

    /// Remembers `request` when it is new and says whether it is a merged copy of one seen within
    /// the lifetime. A request with a To tag, an ACK or a CANCEL is never merged (they belong to a
    /// dialog or a transaction) and is not remembered; nor is one without From, Call-ID or CSeq.
    /// Never raises.
    bool IsMerged(const SipMessage& request, TimePoint now) noexcept;

    /// Entries held now (expired ones linger until the next IsMerged).
    std::size_t Size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        std::string transaction;
        TimePoint expires;
    };

    void Expire(TimePoint now);

    std::size_t capacity_;
    std::chrono::seconds lifetime_;
    std::unordered_map<std::string, Entry> entries_;
    // Keys in the order they were added; with one lifetime for all, that is also expiry order.
    std::deque<std::string> order_;
};

} // namespace zel::sip::stack

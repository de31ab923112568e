#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/TransactionUserMessage.h"

namespace zel::sip::stack {

/// Bounds of the TransactionUserQueue.
struct TransactionUserQueueLimits {
    /// Entries in the queue above which no new request is taken (the transaction layer answers it
    /// 503 instead).
    std::size_t requestCapacity = 2000;
    /// Entries in all: responses and events of transactions already running may use the room above
    /// `requestCapacity`; above this even they are dropped (and counted).
    std::size_t capacity = 4000;

    /// Raises std::invalid_argument unless 0 < requestCapacity <= capacity.
    void Validate() const;
};

/// The queue from the transaction layer (stack event thread) to the transaction user (the dialog
/// layer's thread): received requests, responses and transaction events, in arrival order. Each
/// entry is stamped when queued so that the congestion manager can judge how long the oldest one
/// has waited.
///
/// Thread rules: every member is thread-safe. The producer is the stack event thread; any number of
/// consumers may pop. The clock is read by the producer only (Push and OldestWait), so it need not
/// be thread-safe; it must outlive the queue.
class TransactionUserQueue {
public:
    /// Raises std::invalid_argument for bad limits.
    explicit TransactionUserQueue(const TransactionClock& clock, TransactionUserQueueLimits limits = {});

    TransactionUserQueue(const TransactionUserQueue&) = delete;
    TransactionUserQueue& operator=(const TransactionUserQueue&) = delete;

    /// True when a new request would be taken now (`requestCapacity` not reached, not closed).
    bool CanTakeRequest() const;
    /// Queues a request that starts a transaction; false (nothing queued) when `requestCapacity`
    /// is reached or the queue is closed.
    bool PushRequest(TransactionUserMessage message);
    /// Queues anything else; false (nothing queued, counted as dropped) when `capacity` is reached
    /// or the queue is closed.
    bool Push(TransactionUserMessage message);

    /// The oldest entry without waiting; nullopt when empty.
    std::optional<TransactionUserMessage> TryPop();
    /// The oldest entry, waiting up to `timeout` for one; nullopt on timeout, or when the queue is
    /// closed and empty.
    std::optional<TransactionUserMessage> Pop(std::chrono::milliseconds timeout);

    /// How long the oldest entry has waited, by the queue's clock; nullopt when empty. This is the
    /// wait-time metric of the congestion manager.
    std::optional<std::chrono::milliseconds> OldestWait() const;

    std::size_t Size() const;
    /// Entries refused by Push since construction.
    std::uint64_t Dropped() const;

    /// Refuses further entries and wakes every waiting Pop; entries already queued can still be
    /// popped. Idempotent.
    void Close();
    bool IsClosed() const;

private:
    bool PushLocked(std::unique_lock<std::mutex>& lock, TransactionUserMessage& message);

    const TransactionClock& clock_;
    TransactionUserQueueLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<TransactionClock::TimePoint, TransactionUserMessage>> entries_;
    std::uint64_t dropped_ = 0;
    bool closed_ = false;
};

} // namespace zel::sip::stack

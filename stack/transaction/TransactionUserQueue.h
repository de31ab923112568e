#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <boost/asio/any_io_executor.hpp>

#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/TransactionUserMessage.h"
#include "stack/transaction/TransactionUserSink.h"

namespace zel::sip::stack {

/// Bounds of the TransactionUserQueue.
struct TransactionUserQueueLimits {
    /// Entries in the queue above which no new request is taken (the transaction layer answers it
    /// 503 instead).
    std::size_t requestCapacity = 2000;
    /// Entries in all: responses and events of transactions already running may use the room above
    /// `requestCapacity`; above this even they are dropped (and counted).
    std::size_t capacity = 4000;
    /// Entries that belong to no transaction (responses that matched none, ACKs of 2xx) that may
    /// wait at once. A peer can send any number of them; past this bound, and past
    /// `requestCapacity` in all, they are dropped, so they never take the room of the events of
    /// running transactions.
    std::size_t strayCapacity = 200;

    /// Raises std::invalid_argument unless 0 < requestCapacity <= capacity and 0 < strayCapacity.
    void Validate() const;
};

/// The queue from the transaction layer (stack event thread) to the transaction user (the dialog
/// layer's thread): received requests, responses and transaction events, in arrival order. Each
/// entry is stamped when queued so that the congestion manager can judge how long the oldest one
/// has waited: until the sink is called (DeliverTo) or the entry is popped.
///
/// Thread rules: every member is thread-safe. The producer is the stack event thread; any number of
/// consumers may pop. The clock is read by the producer only (Push and OldestWait), so it need not
/// be thread-safe; it must outlive the queue's last Push.
///
/// Lifetime: DeliverTo needs the queue to be owned by a std::shared_ptr; the tasks it posts hold a
/// weak reference and do nothing once the queue is gone.
class TransactionUserQueue : public std::enable_shared_from_this<TransactionUserQueue> {
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

    /// Queues an entry that belongs to no transaction (a stray response, the ACK of a 2xx); false
    /// (nothing queued, counted as dropped) when `strayCapacity` strays are waiting, the queue
    /// holds `requestCapacity` entries or more, or it is closed.
    bool PushStray(TransactionUserMessage message);

    /// Delivers every entry, present and future, by calling `sink` on `executor`: a Push into an
    /// idle queue posts one task, which calls the sink for each entry in order until the queue is
    /// empty (at most `kDeliveryBatch` per task; then it posts itself again, so that other work of
    /// that loop gets its turn). Call once; raises std::logic_error when a sink is attached
    /// already, std::bad_weak_ptr when the queue is not owned by a shared_ptr.
    /// The sink must stay valid until StopDelivery has returned or the executor runs no more
    /// tasks, whichever comes first.
    void DeliverTo(boost::asio::any_io_executor executor, TransactionUserSink& sink);
    /// Ends delivery: when it returns the sink is called no more. Waits for a sink call in
    /// progress on another thread (from within the sink it returns at once, and the call in
    /// progress is the last). Entries stay for TryPop and Pop. Idempotent.
    void StopDelivery();

    /// Sink calls per posted task at most.
    static constexpr std::size_t kDeliveryBatch = 256;

    /// The oldest entry without waiting; nullopt when empty.
    std::optional<TransactionUserMessage> TryPop();
    /// The oldest entry, waiting up to `timeout` for one; nullopt on timeout, or when the queue is
    /// closed and empty.
    std::optional<TransactionUserMessage> Pop(std::chrono::milliseconds timeout);

    /// How long the oldest entry has waited, by the queue's clock; nullopt when empty. This is the
    /// wait-time metric of the congestion manager.
    std::optional<std::chrono::milliseconds> OldestWait() const;

    std::size_t Size() const;
    /// Stray entries waiting.
    std::size_t StrayCount() const;
    /// Entries refused by Push and PushStray since construction.
    std::uint64_t Dropped() const;

    /// Refuses further entries and wakes every waiting Pop; entries already queued can still be
    /// popped. Idempotent.
    void Close();
    bool IsClosed() const;

private:
    struct Entry {
        TransactionClock::TimePoint queued;
        TransactionUserMessage message;
        bool stray = false;
    };

    bool PushLocked(std::unique_lock<std::mutex>& lock, TransactionUserMessage& message, bool stray);
    TransactionUserMessage PopLocked();
    void Deliver();

    const TransactionClock& clock_;
    TransactionUserQueueLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Entry> entries_;
    std::size_t strays_ = 0;
    std::uint64_t dropped_ = 0;
    bool closed_ = false;
    // Delivery to the sink; guarded by mutex_.
    std::optional<boost::asio::any_io_executor> executor_;
    TransactionUserSink* sink_ = nullptr;
    bool taskPosted_ = false;
    bool delivering_ = false;
    std::thread::id deliveringThread_;
    std::condition_variable deliveryDone_;
};

} // namespace zel::sip::stack

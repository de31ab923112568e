#include "stack/transaction/TransactionUserQueue.h"

#include <boost/asio/post.hpp>

#include <stdexcept>

namespace zel::sip::stack {

void TransactionUserQueueLimits::Validate() const {
    if (requestCapacity == 0) {
        throw std::invalid_argument("the transaction user queue needs a request capacity above 0");
    }
    if (capacity < requestCapacity) {
        throw std::invalid_argument("the transaction user queue's capacity must not be below its request capacity");
    }
    if (strayCapacity == 0) {
        throw std::invalid_argument("the transaction user queue needs a stray capacity above 0");
    }
}

TransactionUserQueue::TransactionUserQueue(const TransactionClock& clock, TransactionUserQueueLimits limits)
    : clock_(clock), limits_(limits) {
    limits_.Validate();
}

bool TransactionUserQueue::CanTakeRequest() const {
    std::lock_guard lock(mutex_);
    return !closed_ && entries_.size() < limits_.requestCapacity;
}

bool TransactionUserQueue::PushRequest(TransactionUserMessage message) {
    std::unique_lock lock(mutex_);
    if (closed_ || entries_.size() >= limits_.requestCapacity) {
        return false;
    }
    return PushLocked(lock, message, false);
}

bool TransactionUserQueue::Push(TransactionUserMessage message) {
    std::unique_lock lock(mutex_);
    if (closed_ || entries_.size() >= limits_.capacity) {
        ++dropped_;
        return false;
    }
    return PushLocked(lock, message, false);
}

bool TransactionUserQueue::PushStray(TransactionUserMessage message) {
    std::unique_lock lock(mutex_);
    if (closed_ || strays_ >= limits_.strayCapacity || entries_.size() >= limits_.requestCapacity) {
        ++dropped_;
        return false;
    }
    return PushLocked(lock, message, true);
}

bool TransactionUserQueue::PushLocked(std::unique_lock<std::mutex>& lock, TransactionUserMessage& message,
                                      bool stray) {
    entries_.push_back(Entry{clock_.Now(), std::move(message), stray});
    if (stray) {
        ++strays_;
    }
    std::optional<boost::asio::any_io_executor> post;
    if (sink_ != nullptr && !taskPosted_) {
        taskPosted_ = true;
        post = executor_;
    }
    lock.unlock();
    ready_.notify_one();
    if (post) {
        boost::asio::post(*post, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->Deliver();
            }
        });
    }
    return true;
}

TransactionUserMessage TransactionUserQueue::PopLocked() {
    Entry& front = entries_.front();
    if (front.stray) {
        --strays_;
    }
    TransactionUserMessage message = std::move(front.message);
    entries_.pop_front();
    return message;
}

void TransactionUserQueue::DeliverTo(boost::asio::any_io_executor executor, TransactionUserSink& sink) {
    std::weak_ptr<TransactionUserQueue> weak = shared_from_this(); // raises std::bad_weak_ptr
    std::unique_lock lock(mutex_);
    if (sink_ != nullptr || executor_) {
        throw std::logic_error("the transaction user queue delivers to a sink already");
    }
    executor_ = executor;
    sink_ = &sink;
    if (entries_.empty()) {
        return;
    }
    taskPosted_ = true;
    lock.unlock();
    boost::asio::post(executor, [weak = std::move(weak)] {
        if (auto self = weak.lock()) {
            self->Deliver();
        }
    });
}

void TransactionUserQueue::Deliver() {
    std::unique_lock lock(mutex_);
    if (sink_ == nullptr || delivering_) {
        taskPosted_ = false;
        return;
    }
    delivering_ = true;
    deliveringThread_ = std::this_thread::get_id();
    bool again = false;
    for (std::size_t delivered = 0;; ++delivered) {
        if (sink_ == nullptr || entries_.empty()) {
            break;
        }
        if (delivered == kDeliveryBatch) {
            again = true; // the task stays "posted": it posts itself again below
            break;
        }
        TransactionUserSink* sink = sink_;
        TransactionUserMessage message = PopLocked(); // the entry's wait ends here
        lock.unlock();
        // A sink that raises loses only its own message; the queue keeps delivering.
        try {
            sink->OnTransactionUserMessage(std::move(message));
        } catch (...) {
            lock.lock();
            delivering_ = false;
            taskPosted_ = false;
            deliveryDone_.notify_all();
            lock.unlock();
            throw;
        }
        lock.lock();
    }
    delivering_ = false;
    deliveringThread_ = {};
    if (!again) {
        taskPosted_ = false;
    }
    std::optional<boost::asio::any_io_executor> post = again ? executor_ : std::nullopt;
    lock.unlock();
    deliveryDone_.notify_all();
    if (post) {
        boost::asio::post(*post, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->Deliver();
            }
        });
    }
}

void TransactionUserQueue::StopDelivery() {
    std::unique_lock lock(mutex_);
    sink_ = nullptr;
    if (delivering_ && deliveringThread_ != std::this_thread::get_id()) {
        deliveryDone_.wait(lock, [this] { return !delivering_; });
    }
}

std::optional<TransactionUserMessage> TransactionUserQueue::TryPop() {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    return PopLocked();
}

std::optional<TransactionUserMessage> TransactionUserQueue::Pop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !entries_.empty() || closed_; }) || entries_.empty()) {
        return std::nullopt;
    }
    return PopLocked();
}

std::optional<std::chrono::milliseconds> TransactionUserQueue::OldestWait() const {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    const auto waited = clock_.Now() - entries_.front().queued;
    return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(waited));
}

std::size_t TransactionUserQueue::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::size_t TransactionUserQueue::StrayCount() const {
    std::lock_guard lock(mutex_);
    return strays_;
}

std::uint64_t TransactionUserQueue::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void TransactionUserQueue::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool TransactionUserQueue::IsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

} // namespace zel::sip::stack

#include "stack/transaction/TransactionUserQueue.h"

#include <stdexcept>

namespace zel::sip::stack {

void TransactionUserQueueLimits::Validate() const {
    if (requestCapacity == 0) {
        throw std::invalid_argument("the transaction user queue needs a request capacity above 0");
    }
    if (capacity < requestCapacity) {
        throw std::invalid_argument("the transaction user queue's capacity must not be below its request capacity");
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
    return PushLocked(lock, message);
}

bool TransactionUserQueue::Push(TransactionUserMessage message) {
    std::unique_lock lock(mutex_);
    if (closed_ || entries_.size() >= limits_.capacity) {
        ++dropped_;
        return false;
    }
    return PushLocked(lock, message);
}

bool TransactionUserQueue::PushLocked(std::unique_lock<std::mutex>& lock, TransactionUserMessage& message) {
    entries_.emplace_back(clock_.Now(), std::move(message));
    lock.unlock();
    ready_.notify_one();
    return true;
}

std::optional<TransactionUserMessage> TransactionUserQueue::TryPop() {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    TransactionUserMessage message = std::move(entries_.front().second);
    entries_.pop_front();
    return message;
}

std::optional<TransactionUserMessage> TransactionUserQueue::Pop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !entries_.empty() || closed_; }) || entries_.empty()) {
        return std::nullopt;
    }
    TransactionUserMessage message = std::move(entries_.front().second);
    entries_.pop_front();
    return message;
}

std::optional<std::chrono::milliseconds> TransactionUserQueue::OldestWait() const {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    const auto waited = clock_.Now() - entries_.front().first;
    return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(waited));
}

std::size_t TransactionUserQueue::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
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

#include "capi/SessionHandles.h"

#include "stack/dum/HandleError.h"

#include <algorithm>

namespace zel::sip::capi {

SIPSession* SessionHandles::HandleOf(const std::shared_ptr<ISession>& session) {
    const std::lock_guard lock(mutex_);
    if (const auto known = numbers_.find(session.get()); known != numbers_.end()) {
        // Only the same object, still alive, keeps its number; a new session at a reused address
        // gets a new one.
        const auto entry = sessions_.find(known->second);
        if (entry != sessions_.end() && entry->second.session.lock() == session) {
            return reinterpret_cast<SIPSession*>(known->second);
        }
    }
    if (sessions_.size() >= pruneAt_) {
        PruneExpired();
        pruneAt_ = std::max<std::size_t>(64, 2 * sessions_.size());
    }
    const std::uintptr_t number = next_++;
    sessions_[number] = Entry{session, session->UsageId()};
    numbers_[session.get()] = number;
    return reinterpret_cast<SIPSession*>(number);
}

std::shared_ptr<ISession> SessionHandles::Resolve(const SIPSession* handle) const {
    const auto number = reinterpret_cast<std::uintptr_t>(handle);
    const std::lock_guard lock(mutex_);
    const auto entry = sessions_.find(number);
    return entry != sessions_.end() ? entry->second.session.lock() : nullptr;
}

std::shared_ptr<ISession> SessionHandles::Require(const SIPSession* handle) const {
    const auto number = reinterpret_cast<std::uintptr_t>(handle);
    const std::lock_guard lock(mutex_);
    const auto entry = sessions_.find(number);
    if (entry == sessions_.end()) {
        throw stack::HandleError::Uninitialized();
    }
    auto session = entry->second.session.lock();
    if (!session) {
        throw stack::HandleError::Ended(entry->second.usageId);
    }
    return session;
}

std::size_t SessionHandles::Size() const {
    const std::lock_guard lock(mutex_);
    return sessions_.size();
}

void SessionHandles::PruneExpired() {
    for (auto entry = sessions_.begin(); entry != sessions_.end();) {
        if (entry->second.session.expired()) {
            entry = sessions_.erase(entry);
        } else {
            ++entry;
        }
    }
    for (auto entry = numbers_.begin(); entry != numbers_.end();) {
        entry = sessions_.count(entry->second) == 0 ? numbers_.erase(entry) : std::next(entry);
    }
}

SessionHandles& GetSessionHandles() {
    static auto* handles = new SessionHandles();
    return *handles;
}


} // namespace zel::sip::capi

#pragma once

// The session handles the host holds, resolved through a process-wide table of weak references.

#include "dum/ISession.h"

#include <zelmor/sip.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zel::sip::capi {

/// Session handles are numbers, not addresses: a handle the host keeps after the session's
/// Terminated callbacks have returned (or after its user agent is gone) resolves to nothing, so
/// the functions fail with the handle error instead of reaching freed memory, and a handle is never
/// taken for a later session that happens to sit at the same address. Numbers are never reused.
///
/// Resolving gives a shared pointer, so a session cannot be destroyed while a function of the C
/// interface works on it from a host thread.
///
/// Threads: all members are safe from any thread; the mutex is held for one table operation.
class SessionHandles {
public:
    /// The handle of `session`: the one given out before for the same object while it lives,
    /// else a new one.
    SIPSession* HandleOf(const std::shared_ptr<ISession>& session);

    /// The session behind `handle`, or null when it has ended or the handle is unknown.
    std::shared_ptr<ISession> Resolve(const SIPSession* handle) const;

    /// The session behind `handle`. Raises the dialog layer's handle error: the text for an ended
    /// usage (with the session's number) when the session has gone, the text for an
    /// uninitialised handle for null or a handle never given out (or forgotten long after).
    std::shared_ptr<ISession> Require(const SIPSession* handle) const;

    /// Handles recorded (for tests).
    std::size_t Size() const;

private:
    /// Forgets sessions that have gone; called with the mutex held when the table has doubled.
    void PruneExpired();

    mutable std::mutex mutex_;
    struct Entry {
        std::weak_ptr<ISession> session;
        std::uint64_t usageId = 0;
    };
    std::unordered_map<std::uintptr_t, Entry> sessions_;
    std::unordered_map<const ISession*, std::uintptr_t> numbers_;
    std::uintptr_t next_ = 1;
    std::size_t pruneAt_ = 64;
};

/// The process-wide table. Never destroyed: callbacks of user agents the host did not destroy
/// may still run while the process exits.
SessionHandles& GetSessionHandles();

} // namespace zel::sip::capi

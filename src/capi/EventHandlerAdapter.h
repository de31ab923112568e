#pragma once

// The process-wide registry of the host's event callbacks, keyed by the host's context pointer.

#include "core/EventSignal.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace zel::sip {

/// Every connection an event registration function made, by context, so that SIPRemoveEventHandler
/// can drop all of a context's callbacks at once.
///
/// Disconnecting an EventSignal's callback is checked by the emission just before each call, so
/// once RemoveEventHandler has returned no call of that context's callbacks begins, even from an
/// emission already under way on another thread. A call already running may finish afterwards
/// (removal never waits for one, so a callback may remove its own context).
///
/// The registry holds weak references: a callback's memory goes with its signal (the call or
/// registration that ended) or with its removal, and only the map entry and the reference's
/// count block are left until the next pruning.
///
/// Threads: all members are safe from any thread; the mutex is held for one map operation only.
class EventHandlerAdapter {
public:
    /// Records `connection` under `context`; a context may have any number.
    void AddEventHandler(void* context, std::weak_ptr<EventConnection> connection);
    /// Disconnects every connection recorded under `context` and forgets them. A context with
    /// none is a no-op.
    void RemoveEventHandler(void* context);

    /// Entries recorded (for tests).
    std::size_t Size() const;

private:
    /// Forgets entries whose signal is gone (its object was destroyed): nothing could call them
    /// again, and a host that creates and destroys many user agents without removing its
    /// callbacks would otherwise grow the map for ever. Called with the mutex held.
    void PruneDisconnected();

    mutable std::mutex mutex_;
    std::unordered_multimap<void*, std::weak_ptr<EventConnection>> entries_;
    std::size_t pruneAt_ = 64;
};

/// The process-wide registry. Never destroyed: a user agent the host did not destroy may still
/// emit while the process exits.
EventHandlerAdapter& GetEventHandlerAdapter();

namespace capi {

/// Connects `callback` to `signal` at the back and records the connection under `context`. The
/// callback is called as `Invoke{}(callback, context, args...)`: `invoke` only names a
/// stateless function object that turns the signal's arguments into the callback's plain ones,
/// so the connection keeps two pointers and no copy of it.
template <typename Signal, typename Callback, typename Invoke>
void AddEventHandler(Signal& signal, Callback callback, void* context, Invoke /*invoke*/) {
    static_assert(std::is_empty_v<Invoke> && std::is_default_constructible_v<Invoke>,
                  "the conversion must be a lambda without captures");
    std::weak_ptr<EventConnection> connection = signal.Connect([callback, context](auto&&... arguments) {
        Invoke{}(callback, context, std::forward<decltype(arguments)>(arguments)...);
    });
    GetEventHandlerAdapter().AddEventHandler(context, std::move(connection));
}

} // namespace capi

} // namespace zel::sip

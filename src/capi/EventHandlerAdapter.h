#pragma once

// The process-wide registry of the host's event callbacks, keyed by the host's context pointer.

#include <boost/signals2/connection.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace zel::sip {

/// Every connection an event registration function made, by context, so that SIPRemoveEventHandler
/// can drop all of a context's callbacks at once.
///
/// A signal library disconnect alone does not stop a call that an emission on another thread has
/// already decided to make, so each callback also carries a gate that the removal closes under the
/// registry's mutex: once RemoveEventHandler has returned, no call of that context's callbacks
/// begins. A call already running may finish afterwards (removal never waits for one, so a
/// callback may remove its own context).
///
/// Threads: all members are safe from any thread; the mutex is held for one map operation only.
class EventHandlerAdapter {
public:
    /// Open while the callback may still be called; shared by the slot and the registry entry.
    class Gate {
    public:
        bool IsOpen() const noexcept { return open_.load(std::memory_order_acquire); }
        void Close() noexcept { open_.store(false, std::memory_order_release); }

    private:
        std::atomic<bool> open_{true};
    };

    /// Records `connection` (and its gate) under `context`; a context may have any number.
    void AddEventHandler(void* context, boost::signals2::connection connection, std::shared_ptr<Gate> gate);
    /// Closes the gates and disconnects every connection recorded under `context`, and forgets
    /// them. A context with none is a no-op.
    void RemoveEventHandler(void* context);

    /// Entries recorded (for tests).
    std::size_t Size() const;

private:
    struct Entry {
        boost::signals2::scoped_connection connection;
        std::shared_ptr<Gate> gate;
    };

    /// Forgets entries whose signal is gone (its object was destroyed): nothing could call them
    /// again, and a host that creates and destroys many user agents without removing its
    /// callbacks would otherwise grow the map for ever. Called with the mutex held.
    void PruneDisconnected();

    mutable std::mutex mutex_;
    std::unordered_multimap<void*, Entry> entries_;
    std::size_t pruneAt_ = 64;
};

/// The process-wide registry. Never destroyed: a user agent the host did not destroy may still
/// emit while the process exits.
EventHandlerAdapter& GetEventHandlerAdapter();

namespace capi {

/// Connects `callback` to `signal` at the back and records the connection under `context`. The
/// slot calls `invoke(callback, context, args...)` while the context's gate is open; `invoke`
/// turns the signal's arguments into the callback's plain ones.
template <typename Signal, typename Callback, typename Invoke>
void AddEventHandler(Signal& signal, Callback callback, void* context, Invoke invoke) {
    auto gate = std::make_shared<EventHandlerAdapter::Gate>();
    boost::signals2::connection connection =
        signal.connect([gate, callback, context, invoke](auto&&... arguments) {
            if (gate->IsOpen()) {
                invoke(callback, context, std::forward<decltype(arguments)>(arguments)...);
            }
        });
    GetEventHandlerAdapter().AddEventHandler(context, std::move(connection), std::move(gate));
}

} // namespace capi

} // namespace zel::sip

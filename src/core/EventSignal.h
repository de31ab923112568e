#pragma once

// The host's event signals: a callback list for the events the C interface lets a host subscribe
// to, per user agent, per call and per registration.

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace zel::sip {

/// One callback connected to an EventSignal. Disconnecting it is final and safe from any thread:
/// no call of the callback begins afterwards (one already running may finish).
class EventConnection {
public:
    EventConnection() = default;
    EventConnection(const EventConnection&) = delete;
    EventConnection& operator=(const EventConnection&) = delete;

    bool IsConnected() const noexcept { return connected_.load(std::memory_order_acquire); }
    void Disconnect() noexcept { connected_.store(false, std::memory_order_release); }

protected:
    ~EventConnection() = default;

private:
    std::atomic<bool> connected_{true};
};

template <typename Signature>
class EventSignal;

/// A list of callbacks called in the order they were connected, on the thread that emits.
///
/// It replaces a general signal library for objects that exist once per call or registration:
/// such a signal costs nothing until its first callback connects (one pointer), and a
/// connection is one small record, where the library's empty signal alone takes about 460 bytes
/// of heap and each connection about 400 more.
///
/// Threads: Connect, emission and EventConnection::Disconnect may run on any threads at once. A
/// callback may connect to or disconnect from the signal it is called by, and may destroy the
/// signal's owner: an emission touches nothing of the signal once the first callback has been
/// called. A callback connected during an emission is called from the next emission on.
///
/// Lifetime: the signal owns its callbacks. Connect hands out a weak reference, which expires
/// once the signal is gone and no emission holds the callback any more.
template <typename... Args>
class EventSignal<void(Args...)> {
public:
    using Slot = std::function<void(Args...)>;

    EventSignal() = default;
    EventSignal(const EventSignal&) = delete;
    EventSignal& operator=(const EventSignal&) = delete;
    ~EventSignal() { delete state_.load(std::memory_order_acquire); }

    /// Connects `slot` behind the callbacks connected before. Raises std::bad_alloc only.
    std::weak_ptr<EventConnection> Connect(Slot slot) {
        std::shared_ptr<Entry> entry(new Entry(std::move(slot)));
        State& state = MakeState();
        const std::lock_guard lock(state.mutex);
        DropDisconnected(state);
        state.entries.push_back(entry);
        return entry;
    }

    /// Calls every connected callback with `args`. An exception a callback raises ends the
    /// emission and reaches the caller.
    void operator()(Args... args) const {
        State* state = state_.load(std::memory_order_acquire);
        if (state == nullptr) {
            return;
        }
        // Called outside the lock, so a callback may connect or disconnect; most signals have one
        // or two callbacks, which the list holds without an allocation.
        boost::container::small_vector<std::shared_ptr<Entry>, 4> current;
        {
            const std::lock_guard lock(state->mutex);
            DropDisconnected(*state);
            current.assign(state->entries.begin(), state->entries.end());
        }
        for (const std::shared_ptr<Entry>& entry : current) {
            if (entry->IsConnected()) {
                entry->slot(args...);
            }
        }
    }

    /// Whether no callback is connected. Any thread; the answer may be out of date at once.
    bool Empty() const {
        State* state = state_.load(std::memory_order_acquire);
        if (state == nullptr) {
            return true;
        }
        const std::lock_guard lock(state->mutex);
        return std::none_of(state->entries.begin(), state->entries.end(),
                            [](const std::shared_ptr<Entry>& entry) { return entry->IsConnected(); });
    }

private:
    struct Entry final : EventConnection {
        explicit Entry(Slot function) : slot(std::move(function)) {}
        const Slot slot;
    };
    struct State {
        std::mutex mutex;
        std::vector<std::shared_ptr<Entry>> entries;
    };

    /// Frees what disconnected callbacks hold (a host that removed its callbacks expects their
    /// memory back). Called with the state's mutex held.
    static void DropDisconnected(State& state) {
        std::erase_if(state.entries, [](const std::shared_ptr<Entry>& entry) { return !entry->IsConnected(); });
    }

    /// The list, made by the first Connect; two threads connecting first at once keep one.
    State& MakeState() {
        State* state = state_.load(std::memory_order_acquire);
        if (state != nullptr) {
            return *state;
        }
        auto made = std::make_unique<State>();
        if (state_.compare_exchange_strong(state, made.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
            return *made.release();
        }
        return *state; // the other thread's
    }

    std::atomic<State*> state_{nullptr};
};

} // namespace zel::sip

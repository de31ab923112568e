#pragma once

// The host's event signals: a callback list for the events the C interface lets a host subscribe
// to, per user agent, per call and per registration.

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

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

namespace detail {

/// One of the mutexes shared by every EventSignal, picked by the signal's address.
inline std::mutex& EventSignalMutex(const void* signal) noexcept {
    static constexpr std::size_t kMutexes = 16;
    static std::mutex mutexes[kMutexes];
    // Signals are at least pointer-aligned and often members of one object: skip the low bits.
    return mutexes[(reinterpret_cast<std::uintptr_t>(signal) >> 4) % kMutexes];
}

} // namespace detail

template <typename Signature>
class EventSignal;

/// A list of callbacks called in the order they were connected, on the thread that emits.
///
/// It replaces a general signal library for objects that exist once per call or registration:
/// such a signal costs nothing until its first callback connects (one pointer), then one list
/// that holds its first callback inline, and a connection is one small record, where the
/// library's empty signal alone takes about 460 bytes of heap and each connection about 400 more.
/// The lists are guarded by a fixed set of mutexes shared by every signal, picked by the signal's
/// address, rather than one mutex per signal: a lock is held for a few pointer copies only and
/// never while another is held, so sharing costs no deadlock and almost no waiting, and a
/// registration's three signals are about 240 bytes lighter for it.
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
        Dropped dropped; // released after the lock (see DropDisconnected)
        const std::lock_guard lock(Mutex());
        DropDisconnected(state, dropped);
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
            Dropped dropped;
            const std::lock_guard lock(Mutex());
            DropDisconnected(*state, dropped);
            current.assign(state->entries.begin(), state->entries.end());
        }
        for (const std::shared_ptr<Entry>& entry : current) {
            if (entry != nullptr && entry->IsConnected()) {
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
        const std::lock_guard lock(Mutex());
        return std::none_of(state->entries.begin(), state->entries.end(),
                            [](const std::shared_ptr<Entry>& entry) { return entry != nullptr && entry->IsConnected(); });
    }

private:
    struct Entry final : EventConnection {
        explicit Entry(Slot function) : slot(std::move(function)) {}
        const Slot slot;
    };
    struct State {
        boost::container::small_vector<std::shared_ptr<Entry>, 1> entries;
    };

    /// The mutex guarding this signal's list: one of a fixed set, picked by address.
    std::mutex& Mutex() const noexcept { return detail::EventSignalMutex(this); }

    using Dropped = boost::container::small_vector<std::shared_ptr<Entry>, 2>;

    /// Takes disconnected callbacks off the list (a host that removed its callbacks expects their
    /// memory back) into `dropped`, which the caller releases once the mutex is unlocked: the
    /// last reference may destroy a callback's captures, and those may use another signal that
    /// shares the mutex. Called with the mutex held.
    static void DropDisconnected(State& state, Dropped& dropped) {
        for (std::shared_ptr<Entry>& entry : state.entries) {
            if (entry != nullptr && !entry->IsConnected()) {
                dropped.push_back(std::move(entry)); // a failed allocation leaves a null, skipped by readers
            }
        }
        state.entries.erase(std::remove(state.entries.begin(), state.entries.end(), nullptr), state.entries.end());
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

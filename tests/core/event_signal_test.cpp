// The host's event signals: order of calls, disconnection before and during an emission,
// callbacks that connect or destroy the signal's owner while called, the lifetime of what Connect
// hands out, and connections racing emissions on another thread.
#include "core/EventSignal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zel::sip {
namespace {

TEST(EventSignal, CallsInOrderOfConnectionAndStopsAtDisconnection) {
    EventSignal<void(int, std::string&)> signal;
    EXPECT_TRUE(signal.Empty());
    std::string unused;
    signal(1, unused); // nothing connected: nothing happens

    std::vector<std::string> calls;
    std::weak_ptr<EventConnection> first = signal.Connect([&](int value, std::string& text) {
        calls.push_back("first " + std::to_string(value));
        text += "a";
    });
    signal.Connect([&](int value, std::string& text) {
        calls.push_back("second " + std::to_string(value));
        text += "b";
    });
    EXPECT_FALSE(signal.Empty());
    std::string text;
    signal(7, text);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 7", "second 7"}));
    EXPECT_EQ(text, "ab"); // a reference parameter reaches every callback

    first.lock()->Disconnect();
    signal(8, text);
    EXPECT_EQ(calls.back(), "second 8");
    EXPECT_EQ(calls.size(), 3U);
    EXPECT_TRUE(first.expired()); // the emission dropped it: a removed host callback frees its memory
}

TEST(EventSignal, CallbacksChangingTheSignalWhileCalled) {
    EventSignal<void()> signal;
    int later = 0;
    int disconnected = 0;
    std::weak_ptr<EventConnection> victim;
    bool connectedMore = false;
    signal.Connect([&] {
        if (const auto connection = victim.lock()) {
            connection->Disconnect(); // the callback after this one must not run now
        }
        if (!connectedMore) {
            connectedMore = true;
            signal.Connect([&] { ++later; }); // only from the next emission on
        }
    });
    victim = signal.Connect([&] { ++disconnected; });
    signal();
    EXPECT_EQ(disconnected, 0);
    EXPECT_EQ(later, 0);
    signal();
    EXPECT_EQ(later, 1);

    // A callback may destroy the owner of the signal that calls it (a session ending in its own
    // Terminated callback); the sanitizer builds catch a touch of the freed signal.
    auto owned = std::make_unique<EventSignal<void()>>();
    int after = 0;
    owned->Connect([&] { owned.reset(); });
    owned->Connect([&] { ++after; });
    (*owned)();
    EXPECT_EQ(owned, nullptr);
    EXPECT_EQ(after, 1);
}

TEST(EventSignal, ConnectionsExpireWithTheSignalAndRaceEmissionsSafely) {
    std::weak_ptr<EventConnection> connection;
    {
        EventSignal<void()> signal;
        connection = signal.Connect([] {});
        EXPECT_FALSE(connection.expired());
    }
    EXPECT_TRUE(connection.expired());

    // Host threads connect and disconnect while the dialog thread emits: every callback that is
    // still connected when the last emission starts runs exactly once in it, and ThreadSanitizer
    // checks the rest.
    EventSignal<void(int)> signal;
    std::atomic<int> total{0};
    std::atomic<bool> stop{false};
    std::thread emitter([&] {
        while (!stop.load()) {
            signal(0);
        }
    });
    constexpr int kConnections = 200;
    std::vector<std::weak_ptr<EventConnection>> connections;
    for (int i = 0; i < kConnections; ++i) {
        connections.push_back(signal.Connect([&](int value) { total += value; }));
        if (i % 2 == 1) {
            connections[i - 1].lock()->Disconnect();
        }
    }
    stop = true;
    emitter.join();
    signal(1);
    EXPECT_EQ(total.load(), kConnections / 2);
}

TEST(EventSignal, DroppedCallbackMayUseAnotherSignalSharingItsLock) {
    // Signals share a fixed set of mutexes. A dropped callback's captures are destroyed after the
    // lock is released: here they connect to a signal on the same mutex, which would deadlock
    // under it.
    std::vector<std::unique_ptr<EventSignal<void()>>> signals;
    EventSignal<void()>* first = nullptr;
    EventSignal<void()>* second = nullptr;
    while (second == nullptr) {
        signals.push_back(std::make_unique<EventSignal<void()>>());
        for (std::size_t i = 0; i + 1 < signals.size() && second == nullptr; ++i) {
            if (&detail::EventSignalMutex(signals[i].get()) == &detail::EventSignalMutex(signals.back().get())) {
                first = signals[i].get();
                second = signals.back().get();
            }
        }
    }
    struct ConnectsWhenDestroyed {
        EventSignal<void()>* target;
        ~ConnectsWhenDestroyed() {
            if (target != nullptr) {
                target->Connect([] {});
            }
        }
    };
    auto captured = std::make_shared<ConnectsWhenDestroyed>(ConnectsWhenDestroyed{nullptr});
    std::weak_ptr<EventConnection> connection = first->Connect([captured] {});
    captured->target = second;
    captured.reset();
    connection.lock()->Disconnect();
    (*first)(); // drops the callback
    EXPECT_FALSE(second->Empty());
}

} // namespace
} // namespace zel::sip

// The event handler registry: removal by context across objects and events, duplicates, and the
// pruning of entries whose signal is gone.
#include "capi/EventHandlerAdapter.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace zel::sip {
namespace {

using Signal = EventSignal<void(int)>;

void Count(int* calls, int value) {
    *calls += value;
}

void Connect(Signal& signal, int* calls) {
    capi::AddEventHandler(signal, &Count, calls, [](void (*callback)(int*, int), void* context, int value) {
        callback(static_cast<int*>(context), value);
    });
}

TEST(EventHandlerAdapter, RemovalDuringAnEmissionStopsTheCallsStillToCome) {
    // The host removes its context from inside the first of its callbacks; the second one, which
    // the same emission was about to call, must not run.
    Signal signal;
    int calls = 0;
    capi::AddEventHandler(signal, &Count, &calls, [](void (*callback)(int*, int), void* context, int value) {
        callback(static_cast<int*>(context), value);
        GetEventHandlerAdapter().RemoveEventHandler(context);
    });
    Connect(signal, &calls);
    signal(1);
    EXPECT_EQ(calls, 1);
    signal(1);
    EXPECT_EQ(calls, 1);
}

TEST(EventHandlerAdapter, OneRemovalDropsEveryCallbackOfTheContextAndNoOther) {
    Signal first;
    Signal second;
    int removed = 0;
    int kept = 0;
    Connect(first, &removed);
    Connect(second, &removed);
    Connect(first, &removed); // the same callback twice runs twice
    Connect(first, &kept);

    first(1);
    second(10);
    EXPECT_EQ(removed, 12);
    EXPECT_EQ(kept, 1);

    GetEventHandlerAdapter().RemoveEventHandler(&removed);
    first(1);
    second(10);
    EXPECT_EQ(removed, 12);
    EXPECT_EQ(kept, 2);
    GetEventHandlerAdapter().RemoveEventHandler(&kept);
}

TEST(EventHandlerAdapter, EntriesOfDestroyedSignalsDoNotAccumulate) {
    int context = 0;
    const std::size_t before = GetEventHandlerAdapter().Size();
    for (int i = 0; i < 1000; ++i) {
        Signal shortLived;
        Connect(shortLived, &context);
    }
    // Entries are pruned as the map grows, so it stays within a small multiple of what is live.
    EXPECT_LT(GetEventHandlerAdapter().Size(), before + 200);
    GetEventHandlerAdapter().RemoveEventHandler(&context);
}

} // namespace
} // namespace zel::sip

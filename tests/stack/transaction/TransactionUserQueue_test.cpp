// The queue towards the transaction user (its bounds, delivery through the user's own executor)
// and the congestion manager's wait-time metric, on an injected clock.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <memory>
#include <thread>

#include "TransactionTestSupport.h"
#include "stack/transaction/CongestionManager.h"
#include "stack/transaction/TransactionUserQueue.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TransactionUserMessage::Kind;

TransactionUserMessage Event(TransactionId id, Kind kind = Kind::Terminated) {
    TransactionUserMessage message;
    message.kind = kind;
    message.transaction = id;
    return message;
}

TEST(CongestionManager, RefusesOnlyWhenTheOldestEntryWaitedLongerThanTheTolerance) {
    const CongestionManager manager; // 200 ms
    struct Case {
        std::optional<milliseconds> oldestWait;
        std::optional<std::uint32_t> retryAfter;
    };
    for (const Case& c : std::vector<Case>{{std::nullopt, std::nullopt},
                                           {milliseconds(0), std::nullopt},
                                           {milliseconds(200), std::nullopt},
                                           {milliseconds(201), 1u},
                                           {milliseconds(1000), 1u},
                                           {milliseconds(1001), 2u},
                                           {milliseconds(9500), 10u},
                                           {milliseconds(100'000'000), 3600u}}) {
        EXPECT_EQ(manager.RetryAfter(c.oldestWait), c.retryAfter)
            << (c.oldestWait ? c.oldestWait->count() : -1) << " ms";
    }
    EXPECT_THROW(CongestionManager(milliseconds(0)), std::invalid_argument);
}

TEST(CongestionManager, RefusesNewRequestsOutsideDialogsOnly) {
    struct Case {
        const char* text;
        bool refusable;
    };
    for (const Case& c : std::vector<Case>{
             {kInvite, true},
             {kRegister, true},
             {"BYE sip:a@b SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\nTo: <sip:a@b>;tag=x\nFrom: <sip:c@d>;tag=y\n"
              "Call-ID: 1\nCSeq: 2 BYE\n\n",
              false},
             {"ACK sip:a@b SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\nTo: <sip:a@b>\nFrom: <sip:c@d>;tag=y\n"
              "Call-ID: 1\nCSeq: 1 ACK\n\n",
              false},
             {"CANCEL sip:a@b SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\nTo: <sip:a@b>\nFrom: <sip:c@d>;tag=y\n"
              "Call-ID: 1\nCSeq: 1 CANCEL\n\n",
              false},
         }) {
        EXPECT_EQ(CongestionManager::IsRefusable(Msg(c.text)), c.refusable) << c.text;
    }
}

TEST(TransactionUserQueue, MeasuresTheWaitOfTheOldestEntryOnItsClock) {
    FakeClock clock;
    TransactionUserQueue queue(clock);
    const CongestionManager manager(milliseconds(200));
    EXPECT_FALSE(queue.OldestWait());

    ASSERT_TRUE(queue.PushRequest(Event(1)));
    clock.now += milliseconds(150);
    ASSERT_TRUE(queue.Push(Event(2)));
    EXPECT_EQ(queue.OldestWait(), milliseconds(150));
    EXPECT_FALSE(manager.RetryAfter(queue));

    clock.now += milliseconds(100); // the first has waited 250 ms
    EXPECT_EQ(manager.RetryAfter(queue), 1u);

    // Taking the oldest one makes the second the measure: 100 ms, under the tolerance.
    ASSERT_EQ(queue.TryPop()->transaction, 1u);
    EXPECT_EQ(queue.OldestWait(), milliseconds(100));
    EXPECT_FALSE(manager.RetryAfter(queue));
    ASSERT_EQ(queue.TryPop()->transaction, 2u);
    EXPECT_FALSE(queue.TryPop());
    EXPECT_FALSE(manager.RetryAfter(queue));
}

TEST(TransactionUserQueue, NewRequestsStopAtTheRequestCapacityOtherEntriesAtTheCapacity) {
    FakeClock clock;
    TransactionUserQueue queue(clock, {2, 3});
    EXPECT_TRUE(queue.PushRequest(Event(1)));
    EXPECT_TRUE(queue.PushRequest(Event(2)));
    EXPECT_FALSE(queue.CanTakeRequest());
    EXPECT_FALSE(queue.PushRequest(Event(3)));
    EXPECT_TRUE(queue.Push(Event(4))); // a response of a running transaction still fits
    EXPECT_FALSE(queue.Push(Event(5)));
    EXPECT_EQ(queue.Dropped(), 1u);
    EXPECT_EQ(queue.Size(), 3u);

    std::vector<TransactionId> order;
    while (auto entry = queue.TryPop())
        order.push_back(entry->transaction);
    EXPECT_EQ(order, (std::vector<TransactionId>{1, 2, 4}));
    EXPECT_THROW(TransactionUserQueue(clock, {0, 1}), std::invalid_argument);
    EXPECT_THROW(TransactionUserQueue(clock, {3, 2}), std::invalid_argument);
}

TEST(TransactionUserQueue, CloseWakesAWaitingConsumerAndKeepsWhatIsQueued) {
    FakeClock clock;
    TransactionUserQueue queue(clock);
    ASSERT_TRUE(queue.Push(Event(7)));
    std::optional<TransactionUserMessage> first;
    std::optional<TransactionUserMessage> second{Event(0)};
    std::thread consumer([&] {
        first = queue.Pop(std::chrono::seconds(10));
        second = queue.Pop(std::chrono::seconds(10)); // woken by Close, not by its timeout
    });
    const auto started = std::chrono::steady_clock::now();
    // Not a readiness wait: it gives the consumer time to block in its second Pop, the case under
    // test (a Close that comes first is correct too, it only tests less).
    std::this_thread::sleep_for(milliseconds(20));
    queue.Close();
    consumer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->transaction, 7u);
    EXPECT_FALSE(second);
    EXPECT_FALSE(queue.Push(Event(8)));
    EXPECT_FALSE(queue.PushRequest(Event(9)));
}

/// Records what it is given; optionally runs `action` on each call.
struct RecordingSink final : TransactionUserSink {
    void OnTransactionUserMessage(TransactionUserMessage message) override {
        ids.push_back(message.transaction);
        if (action)
            action();
    }
    std::vector<TransactionId> ids;
    std::function<void()> action;
};

TEST(TransactionUserDelivery, DeliversInOrderInOnePostedTaskAndEndsTheWaitThere) {
    FakeClock clock;
    auto queue = std::make_shared<TransactionUserQueue>(clock);
    boost::asio::io_context tuLoop;
    RecordingSink sink;
    ASSERT_TRUE(queue->Push(Event(1))); // queued before the sink is attached
    queue->DeliverTo(tuLoop.get_executor(), sink);
    clock.now += milliseconds(300);
    for (TransactionId id = 2; id <= 5; ++id)
        ASSERT_TRUE(queue->Push(Event(id)));
    EXPECT_EQ(queue->OldestWait(), milliseconds(300)); // waiting until the sink is called

    EXPECT_EQ(tuLoop.run(), 1U); // one task for the five entries
    EXPECT_EQ(sink.ids, (std::vector<TransactionId>{1, 2, 3, 4, 5}));
    EXPECT_EQ(queue->Size(), 0U);
    EXPECT_FALSE(queue->OldestWait());

    // The next entry posts a new task.
    tuLoop.restart();
    ASSERT_TRUE(queue->Push(Event(6)));
    EXPECT_EQ(tuLoop.run(), 1U);
    EXPECT_EQ(sink.ids.back(), 6U);
    EXPECT_THROW(queue->DeliverTo(tuLoop.get_executor(), sink), std::logic_error);
}

TEST(TransactionUserDelivery, ALongBacklogIsDeliveredInBatchesSoTheLoopGetsOtherWorkDone) {
    FakeClock clock;
    TransactionUserQueueLimits limits;
    limits.requestCapacity = 4 * TransactionUserQueue::kDeliveryBatch;
    limits.capacity = limits.requestCapacity;
    auto queue = std::make_shared<TransactionUserQueue>(clock, limits);
    boost::asio::io_context tuLoop;
    RecordingSink sink;
    queue->DeliverTo(tuLoop.get_executor(), sink);
    const std::size_t total = 2 * TransactionUserQueue::kDeliveryBatch + 1;
    for (std::size_t i = 0; i < total; ++i)
        ASSERT_TRUE(queue->Push(Event(i + 1)));
    EXPECT_EQ(tuLoop.run(), 3U);
    ASSERT_EQ(sink.ids.size(), total);
    EXPECT_EQ(sink.ids.back(), total);
}

TEST(TransactionUserDelivery, TasksOutliveNeitherTheQueueNorStopDelivery) {
    FakeClock clock;
    boost::asio::io_context tuLoop;
    RecordingSink sink;
    {
        auto queue = std::make_shared<TransactionUserQueue>(clock);
        queue->DeliverTo(tuLoop.get_executor(), sink);
        ASSERT_TRUE(queue->Push(Event(1)));
    } // the queue (the stack) is gone before the transaction user's loop runs
    tuLoop.run();
    EXPECT_TRUE(sink.ids.empty());

    auto queue = std::make_shared<TransactionUserQueue>(clock);
    tuLoop.restart();
    queue->DeliverTo(tuLoop.get_executor(), sink);
    ASSERT_TRUE(queue->Push(Event(2)));
    queue->StopDelivery();
    tuLoop.run();
    EXPECT_TRUE(sink.ids.empty());
    EXPECT_EQ(queue->TryPop()->transaction, 2U); // still there for polling

    // Stopping from inside the sink makes the current call the last one.
    RecordingSink stopping;
    auto another = std::make_shared<TransactionUserQueue>(clock);
    stopping.action = [&] { another->StopDelivery(); };
    tuLoop.restart();
    another->DeliverTo(tuLoop.get_executor(), stopping);
    ASSERT_TRUE(another->Push(Event(3)));
    ASSERT_TRUE(another->Push(Event(4)));
    tuLoop.run();
    EXPECT_EQ(stopping.ids, (std::vector<TransactionId>{3}));
    EXPECT_EQ(another->Size(), 1U);
}

TEST(TransactionUserDelivery, StopDeliveryWaitsForACallInProgressOnAnotherThread) {
    FakeClock clock;
    auto queue = std::make_shared<TransactionUserQueue>(clock);
    boost::asio::io_context tuLoop;
    std::atomic<bool> inSink{false};
    std::atomic<bool> release{false};
    std::atomic<bool> returned{false};
    RecordingSink sink;
    sink.action = [&] {
        inSink = true;
        while (!release)
            std::this_thread::yield();
        EXPECT_FALSE(returned.load()); // StopDelivery is still waiting for this call
    };
    queue->DeliverTo(tuLoop.get_executor(), sink);
    ASSERT_TRUE(queue->Push(Event(1)));
    std::thread tuThread([&] { tuLoop.run(); });
    while (!inSink)
        std::this_thread::yield();
    std::thread stopper([&] {
        queue->StopDelivery();
        returned = true;
    });
    release = true;
    stopper.join();
    tuThread.join();
    EXPECT_TRUE(returned);
}

TEST(TransactionUserQueue, StraysHaveTheirOwnBoundAndNeverTakeTheRoomOfTransactionEvents) {
    FakeClock clock;
    TransactionUserQueueLimits limits;
    limits.requestCapacity = 20;
    limits.capacity = 40;
    limits.strayCapacity = 5;
    TransactionUserQueue queue(clock, limits);
    int strays = 0;
    for (int i = 0; i < 100; ++i) { // a peer's flood of responses to nothing
        strays += queue.PushStray(Event(0, Kind::Response)) ? 1 : 0;
    }
    EXPECT_EQ(strays, 5);
    EXPECT_EQ(queue.StrayCount(), 5U);
    // New requests and transaction events still find their room.
    for (int i = 0; i < 15; ++i)
        ASSERT_TRUE(queue.PushRequest(Event(100 + i, Kind::Request)));
    EXPECT_FALSE(queue.PushStray(Event(0, Kind::Response))); // stray room came free, total did not
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(queue.Push(Event(200 + i, Kind::Response)));
    EXPECT_EQ(queue.Size(), 40U);
    // Popping a stray frees stray room.
    ASSERT_EQ(queue.TryPop()->transaction, 0U);
    EXPECT_EQ(queue.StrayCount(), 4U);

    TransactionUserQueueLimits bad;
    bad.strayCapacity = 0;
    EXPECT_THROW(bad.Validate(), std::invalid_argument);
}

} // namespace
} // namespace zel::sip::stack::test

// Delivery of the transaction user queue through the transaction user's own executor, and the
// separate bound of entries that belong to no transaction.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <memory>
#include <thread>
#include <vector>

#include "TransactionTestSupport.h"
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

/// Records what it is given; optionally runs `action` on each call.
struct RecordingSink final : TransactionUserSink {
    void OnTransactionUserMessage(TransactionUserMessage message) override {
        ids.push_back(message.transaction);
        if (action) {
            action();
        }
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
    for (TransactionId id = 2; id <= 5; ++id) {
        ASSERT_TRUE(queue->Push(Event(id)));
    }
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
    for (std::size_t i = 0; i < total; ++i) {
        ASSERT_TRUE(queue->Push(Event(i + 1)));
    }
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
        while (!release) {
            std::this_thread::yield();
        }
        EXPECT_FALSE(returned.load()); // StopDelivery is still waiting for this call
    };
    queue->DeliverTo(tuLoop.get_executor(), sink);
    ASSERT_TRUE(queue->Push(Event(1)));
    std::thread tuThread([&] { tuLoop.run(); });
    while (!inSink) {
        std::this_thread::yield();
    }
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
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(queue.PushRequest(Event(100 + i, Kind::Request)));
    }
    EXPECT_FALSE(queue.PushStray(Event(0, Kind::Response))); // stray room came free, total did not
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(queue.Push(Event(200 + i, Kind::Response)));
    }
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

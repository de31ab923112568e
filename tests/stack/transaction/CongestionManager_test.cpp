// The queue towards the transaction user and the congestion manager's wait-time metric, on an
// injected clock.

#include <gtest/gtest.h>

#include <thread>

#include "TransactionTestSupport.h"
#include "stack/transaction/CongestionManager.h"
#include "stack/transaction/TransactionUserQueue.h"

namespace zel::sip::stack::test {
namespace {

TransactionUserMessage Event(TransactionId id, TransactionUserMessage::Kind kind = TransactionUserMessage::Kind::Terminated) {
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
    while (auto entry = queue.TryPop()) {
        order.push_back(entry->transaction);
    }
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

} // namespace
} // namespace zel::sip::stack::test

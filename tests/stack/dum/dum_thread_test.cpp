#include "stack/dum/DumThread.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zel::sip::stack::test {
namespace {

// Waits for every task posted so far: the dialog thread runs tasks in order.
void Drain(DumThread& thread) {
    std::promise<void> done;
    thread.Post([&done] { done.set_value(); });
    done.get_future().get();
}

TEST(DumThread, RunsCommandsFromEveryThreadInTheOrderEachPostedThem) {
    DumThread thread;
    std::vector<int> seen; // touched only on the dialog thread until drained
    // Posted before Start: queued, then run in order.
    thread.Post([&seen] { seen.push_back(-1); });
    thread.Start();

    constexpr int kPerPoster = 500;
    auto post = [&](int base) {
        for (int i = 0; i < kPerPoster; ++i) {
            thread.Post([&seen, value = base + i] { seen.push_back(value); });
        }
    };
    std::thread other(post, 10000);
    post(0);
    other.join();
    Drain(thread);

    ASSERT_EQ(seen.size(), 1U + 2 * kPerPoster);
    EXPECT_EQ(seen.front(), -1);
    int lastLocal = -1;
    int lastOther = 9999;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        int& last = seen[i] >= 10000 ? lastOther : lastLocal;
        EXPECT_EQ(seen[i], last + 1) << "at " << i;
        last = seen[i];
    }
}

TEST(DumThread, AThrowingTaskIsLoggedAndTheLoopGoesOn) {
    DumThread thread;
    thread.Start();
    std::promise<bool> onThread;
    thread.Post([] { throw std::runtime_error("host callback failed"); });
    thread.Post([] { throw 42; });
    thread.Post([&] { onThread.set_value(thread.IsCurrentThread()); });
    EXPECT_TRUE(onThread.get_future().get());
    EXPECT_FALSE(thread.IsCurrentThread());
}

TEST(DumThread, JoiningFromItselfRaisesInsteadOfDeadlocking) {
    DumThread thread;
    thread.Start();
    std::promise<std::string> error;
    thread.Post([&] {
        try {
            thread.Join();
            error.set_value("no error");
        } catch (const std::logic_error& e) {
            error.set_value(e.what());
        }
    });
    EXPECT_EQ(error.get_future().get(), "the dialog thread cannot join itself");
    thread.Stop();
    thread.Join();
    thread.Join(); // joined already: returns
}

TEST(DumThread, StopFromATaskFinishesItAndDropsTheRest) {
    DumThread thread;
    thread.Start();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool finished = false;
    bool ranAfterStop = false;
    thread.Post([&] {
        released.wait(); // hold the loop until the next task is queued behind this one
        thread.Stop();
        finished = true;
    });
    thread.Post([&] { ranAfterStop = true; });
    release.set_value();
    thread.Join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(ranAfterStop);

    thread.Stop(); // idempotent
    EXPECT_THROW(thread.Start(), std::logic_error);
}

TEST(DumThread, StartsOnceAndStopsWithoutEverStarting) {
    {
        DumThread never;
        never.Post([] {});
        never.Stop();
        never.Join();
    } // the destructor of a thread that never ran returns
    DumThread thread;
    thread.Start();
    EXPECT_THROW(thread.Start(), std::logic_error);
    std::promise<bool> onThread;
    boost::asio::post(thread.Executor(), [&] { onThread.set_value(thread.IsCurrentThread()); });
    EXPECT_TRUE(onThread.get_future().get());
    // The destructor stops and joins.
}

} // namespace
} // namespace zel::sip::stack::test

// Many user agents created and destroyed in a loop from several host threads at once, each with a
// registration against kamailio on loopback: some are destroyed once registered, others while their
// REGISTER is still under way. Afterwards no thread of theirs is left, and (outside the
// sanitizers, whose allocator the heap figures do not see; LeakSanitizer checks there) the heap is
// back where it was.

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <thread>

#include "support/Kamailio.h"
#include "useragent/HostSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEL_TEST_SANITIZED 1
#endif
#endif

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

#ifndef ZEL_TEST_SANITIZED
std::size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

struct Round {
    std::atomic<int> registered{0};
    std::atomic<int> failed{0};
    std::atomic<int> notCreated{0};
};

/// One host thread's share: `count` user agents one after the other; every other one is destroyed
/// without waiting for its registration's outcome.
void RunUserAgents(const std::string& domain, int thread, int count, Round& round) {
    for (int i = 0; i < count; ++i) {
        RegistrationEvents events;
        SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackConfiguration().c_str());
        if (userAgent == nullptr) {
            ++round.notCreated;
            ADD_FAILURE() << "thread " << thread << ": " << LastError();
            continue;
        }
        events.Attach(userAgent);
        const std::string aor = "sip:u" + std::to_string(thread) + "x" + std::to_string(i) + "@" + domain;
        if (SIPUserAgentRegister(userAgent, aor.c_str(), nullptr, nullptr, nullptr, nullptr) != 0) {
            ADD_FAILURE() << aor << ": " << LastError();
        } else if (i % 2 == 0) {
            if (events.WaitFor("success", 1, 20s)) {
                ++round.registered;
            } else {
                ++round.failed;
            }
        }
        DestroySIPUserAgent(userAgent);
    }
}

TEST(UserAgentLifecycle, ManyUserAgentsFromSeveralThreadsLeaveNothingBehind) {
    if (!Kamailio::Installed()) {
        GTEST_SKIP() << "kamailio is not installed";
    }
    constexpr int kThreads = 4;
    constexpr int kPerThread = 24;
    Kamailio kamailio;
    const std::string domain = "127.0.0.1:" + std::to_string(kamailio.Port());

    // One user agent first: whatever the library sets up once per process (the stack's logging,
    // the registries) is then in place before the figures are taken.
    {
        Round warmUp;
        RunUserAgents(domain, kThreads, 2, warmUp);
        ASSERT_EQ(warmUp.registered, 1);
    }
    const int threadsBefore = ThreadCount();
#ifndef ZEL_TEST_SANITIZED
    const std::size_t heapBefore = HeapInUse();
#endif

    Round round;
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < kThreads; ++thread) {
        hosts.emplace_back([&, thread] { RunUserAgents(domain, thread, kPerThread, round); });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    EXPECT_EQ(round.notCreated, 0);
    EXPECT_EQ(round.failed, 0) << kamailio.Log();
    EXPECT_EQ(round.registered, kThreads * kPerThread / 2);

    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }, 5s))
        << ThreadCount() << " threads, " << threadsBefore << " before";
#ifndef ZEL_TEST_SANITIZED
    // Each user agent holds far more than this while it lives (its stack, transports, threads);
    // what is left over does not grow with their number (about 24 KiB whether 100 or 400 user
    // agents came and went: per-host-thread bookkeeping such as the last error store's entries).
    const std::size_t heapAfter = HeapInUse();
    EXPECT_LT(heapAfter, heapBefore + 64 * 1024) << heapBefore << " bytes before, " << heapAfter << " after";
#endif
}

} // namespace
} // namespace zel::sip::test

// Destroying a user agent while calls are in every state: connected in both directions, ringing
// at a callee that never answers, and sent to a peer that never responds. Every session the host
// saw ends with one Terminated callback before DestroySIPUserAgent returns, the peers are told
// (BYE, CANCEL), and no thread of the user agent is left.
#include "SessionTestSupport.h"
#include "support/Sipp.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

bool ThreadsBackTo(std::size_t count) {
    return WaitUntil([&] { return ThreadCount() == count; }, 10s);
}

TEST(SessionShutdown, DestroyWithCallsInEveryStateTerminatesEachBeforeReturningAndLeavesNoThread) {
    if (!SippInstalled()) {
        GTEST_SKIP() << "sipp is not installed (Debian package sip-tester)";
    }
    TempDir dir;
    SippServer server;
    server.scenario = {"-sf", SippScenario("call_cancel_uas.xml")};
    server.timeout = "60s";
    SippProcess ringing(server, dir.Path().string(), "uas");
    LoopbackUdpSocket silent;
    Phone bob(kPcmu);

    const std::size_t threadsBefore = ThreadBaseline();
    Phone alice(kPcmu);

    // Session 0: ringing at SIPp (its 180 makes the session).
    alice.Call("<sip:service@" + ringing.Address() + ">");
    ASSERT_TRUE(alice.WaitForSessions(1));
    // Session 1: connected, placed by alice.
    alice.Call(bob.Uri());
    ASSERT_TRUE(alice.WaitFor(1, "Connected"));
    ASSERT_TRUE(bob.WaitFor(0, "Connected"));
    // Session 2: connected, placed by bob.
    bob.Call(alice.Uri());
    ASSERT_TRUE(alice.WaitFor(2, "Connected"));
    ASSERT_TRUE(bob.WaitFor(1, "Connected"));
    // No session: an INVITE nobody answers, still in its transaction.
    alice.Call("<sip:nobody@" + silent.Address() + ">");
    ASSERT_EQ(alice.SessionCount(), 3U);
    SIPSession* connected = alice.Session(1).handle;

    alice.Destroy();

    // Everything below was recorded before Destroy returned: no waiting.
    ASSERT_EQ(alice.SessionCount(), 3U);
    for (std::size_t index = 0; index < 3; ++index) {
        const auto events = alice.Session(index).events;
        ASSERT_FALSE(events.empty()) << "session " << index;
        EXPECT_EQ(std::count(events.begin(), events.end(), "Terminated"), 1) << "session " << index;
        EXPECT_EQ(events.back(), "Terminated") << "session " << index;
    }
    EXPECT_EQ(alice.Session(0).terminatedReason, TerminatedReason_LocalCancel);
    EXPECT_EQ(alice.Session(1).terminatedReason, TerminatedReason_LocalBye);
    EXPECT_EQ(alice.Session(2).terminatedReason, TerminatedReason_LocalBye);
    EXPECT_EQ(SIPSessionGetCallId(connected), nullptr);
    EXPECT_TRUE(ThreadsBackTo(threadsBefore));

    // The peers were told: bob's calls end with alice's BYEs, SIPp saw its CANCEL.
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    ASSERT_TRUE(bob.WaitFor(1, "Terminated"));
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_RemoteBye);
    EXPECT_EQ(bob.Session(1).terminatedReason, TerminatedReason_RemoteBye);
    const std::optional<int> code = ringing.WaitForExit(60s);
    EXPECT_EQ(code, 0) << ringing.Report();
}

} // namespace
} // namespace zel::sip::test

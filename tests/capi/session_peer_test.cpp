// Calls between a user agent driven through the C interface and SIPp, on 127.0.0.1 over UDP: SIPp
// calls us (offer in the INVITE, late offer, multipart/mixed, SRTP with two crypto lines, a BYE
// with a text body, an offer we must refuse, ten per cent of the packets lost) and we call SIPp
// (busy, digest challenge by a proxy, hang-up, cancel). SIPp checks the wire; the test checks what
// the host saw.
#include "SessionTestSupport.h"
#include "support/Sipp.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

const std::string kBothSuites =
    R"("UseSRTP": "BestEffort", "Cryptos": [
         {"CryptoSuite": "AES_CM_128_HMAC_SHA1_80", "MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1},
         {"CryptoSuite": "AES_CM_128_HMAC_SHA1_32", "MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1}])";

std::vector<std::string> Expected(std::initializer_list<const char*> events) {
    return {events.begin(), events.end()};
}

class SessionWithSipp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SippInstalled()) {
            GTEST_SKIP() << "sipp is not installed (Debian package sip-tester)";
        }
    }

    /// SIPp calls `phone` `calls` times with `scenario`; returns its exit code (0: every call
    /// passed its checks) after printing its report on failure.
    int SippCalls(const Phone& phone, const std::string& scenario, int calls = 1, int lost = 0,
                  std::vector<std::string> extra = {}) {
        SippClient client;
        client.scenario = {"-sf", SippScenario(scenario)};
        client.remote = "127.0.0.1:" + std::to_string(phone.Port());
        client.calls = calls;
        client.rate = 10;
        client.limit = calls;
        client.lostPercent = lost;
        client.timeout = "90s";
        client.extra = std::move(extra);
        SippProcess sipp(client, dir_.Path().string(), "uac");
        const std::optional<int> code = sipp.WaitForExit(120s);
        EXPECT_EQ(code, 0) << sipp.Report();
        return code.value_or(-1);
    }

    /// SIPp answering with `scenario`, listening already.
    std::unique_ptr<SippProcess> SippAnswers(const std::string& scenario, std::vector<std::string> extra = {}) {
        SippServer server;
        server.scenario = {"-sf", SippScenario(scenario)};
        server.timeout = "60s";
        server.extra = std::move(extra);
        return std::make_unique<SippProcess>(server, dir_.Path().string(), "uas");
    }

    static void ExpectExit(SippProcess& sipp) {
        const std::optional<int> code = sipp.WaitForExit(60s);
        EXPECT_EQ(code, 0) << sipp.Report();
    }

    TempDir dir_;
};

// ---- SIPp calls us --------------------------------------------------------------------------------

TEST_F(SessionWithSipp, OfferInTheInviteIsAnsweredIn200AndTheCallersByeEndsIt) {
    Phone phone(kPcmu);
    SippCalls(phone, "call_basic_uac.xml");
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    const auto session = phone.Session(0);
    EXPECT_EQ(session.events, Expected({"MediaNegotiated", "Connected", "Terminated"}));
    EXPECT_EQ(session.terminatedReason, TerminatedReason_RemoteBye);
    EXPECT_NE(session.attributesAtConnect.find("rtpmap:0 PCMU/8000\r\n"), std::string::npos);
}

TEST_F(SessionWithSipp, InviteWithoutSdpGetsOurOfferIn200AndTheAckAnswers) {
    Phone phone(kPcmu);
    SippCalls(phone, "call_nosdp_uac.xml");
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    // The answer in the ACK is verified (MediaNegotiated) before the call counts as connected.
    EXPECT_EQ(phone.Session(0).events, Expected({"MediaNegotiated", "Connected", "Terminated"}));
}

TEST_F(SessionWithSipp, MultipartOfferFiresMessageContentForTheXmlPart) {
    Phone phone(kPcmu + ", " + kMultipart);
    SippCalls(phone, "call_multipart_uac.xml");
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    const auto session = phone.Session(0);
    EXPECT_EQ(session.events, Expected({"MediaNegotiated", "MessageContent", "Connected", "Terminated"}));
    ASSERT_EQ(session.contents.size(), 1U);
    EXPECT_EQ(session.contents[0].first, "application/xml");
    EXPECT_FALSE(session.contents[0].second.empty());
}

TEST_F(SessionWithSipp, SrtpOfferWithTwoCryptoLinesIsAnsweredWithOne) {
    Phone phone(kPcmu + ", " + kBothSuites);
    SippCalls(phone, "call_srtp_uac.xml");
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    const auto session = phone.Session(0);
    EXPECT_EQ(session.events, Expected({"MediaNegotiated", "Connected", "Terminated"}));
    // The offer as accepted keeps the one suite the answer names.
    EXPECT_NE(session.attributesAtConnect.find("crypto:"), std::string::npos) << session.attributesAtConnect;
}

TEST_F(SessionWithSipp, ByeWithATextBodyFiresMessageContentBeforeTerminated) {
    Phone phone(kPcmu + ", " + kMultipart);
    SippCalls(phone, "call_bye_body_uac.xml");
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    const auto session = phone.Session(0);
    EXPECT_EQ(session.events, Expected({"MediaNegotiated", "Connected", "MessageContent", "Terminated"}));
    ASSERT_EQ(session.contents.size(), 1U);
    EXPECT_EQ(session.contents[0].first.rfind("text/plain", 0), 0U) << session.contents[0].first;
    EXPECT_EQ(session.terminatedReason, TerminatedReason_RemoteBye);
}

TEST_F(SessionWithSipp, AnOfferWeCannotAnswerIsRefused488WithWarning399) {
    // SIPp offers PCMU only; this side knows opus only. SIPp checks the Warning's form.
    Phone phone(kOpus);
    testing::internal::CaptureStdout();
    SippCalls(phone, "call_reject_uac.xml");
    const bool ended = phone.WaitFor(0, "Terminated");
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended);
    EXPECT_EQ(phone.Session(0).terminatedReason, TerminatedReason_Rejected);
    EXPECT_NE(output.find("Failed to negotiate answer: offer does not contain a supported codec\n"),
              std::string::npos)
        << output;
}

// Ten per cent of SIPp's packets lost each way: retransmissions carry every call to its end
// (SIPp's tolerance settings as in tests/data/sipp/README.md).
TEST_F(SessionWithSipp, EveryCallCompletesWithTenPercentLoss) {
    Phone phone(kPcmu);
    constexpr int kCalls = 5;
    SippCalls(phone, "call_basic_uac.xml", kCalls, 10, {"-default_behaviors", "all,-abortunexp"});
    for (std::size_t i = 0; i < kCalls; ++i) {
        EXPECT_TRUE(phone.WaitFor(i, "Terminated")) << "call " << i;
        EXPECT_EQ(phone.Session(i).events.front(), "MediaNegotiated") << "call " << i;
    }
}

// The getters are read from a host thread all through a call whose media SIPp changes twice
// (hold and resume by re-INVITE): they wait for each negotiation instead of reading an SDP the
// dialog thread is replacing (ThreadSanitizer watches this test).
TEST_F(SessionWithSipp, GettersFromAHostThreadWhileTheCallIsRenegotiated) {
    Phone phone(kPcmu);
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> reads{0};
    std::thread reader([&] {
        while (!done) {
            if (phone.SessionCount() == 0) {
                std::this_thread::yield();
                continue;
            }
            SIPSession* session = phone.Session(0).handle;
            char address[64] = {};
            (void)SIPSessionGetMediaCount(session);
            (void)SIPSessionMediaGetRemoteMediaPort(session, 0);
            (void)SIPSessionMediaGetLocalControlPort(session, 0);
            SIPSessionMediaGetLocalConnectionAddress(session, 0, address, sizeof(address));
            (void)SIPSessionMediaGetAttributes(session, 0, nullptr, 0);
            ++reads;
        }
    });
    SippCalls(phone, "call_hold_caller_uac.xml");
    EXPECT_TRUE(phone.WaitFor(0, "Terminated"));
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0U);
    EXPECT_EQ(phone.Session(0).events,
              Expected({"MediaNegotiated", "Connected", "MediaNegotiated", "MediaNegotiated", "Terminated"}));
}

// ---- we call SIPp -----------------------------------------------------------------------------------

TEST_F(SessionWithSipp, BusyCalleeReachesTheHostAsFailure486) {
    auto sipp = SippAnswers("call_busy_uas.xml");
    Phone phone(kPcmu);
    phone.Call("<sip:service@" + sipp->Address() + ">");
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    const auto session = phone.Session(0);
    EXPECT_EQ(session.failureCode, 486);
    EXPECT_EQ(session.failureReason, "Busy Here");
    ExpectExit(*sipp);
}

TEST_F(SessionWithSipp, ProxyChallengeIsAnsweredWithTheCallsOwnCredential) {
    auto sipp = SippAnswers("call_auth407_uas.xml");
    Phone phone(kPcmu);
    char callId[128] = {};
    // A From of its own with a password: user and realm default to the From URI's user and the
    // challenge's realm is answered only if the credential names it, so it is given.
    ASSERT_EQ(SIPUserAgentInvite(phone.Handle(), ("<sip:service@" + sipp->Address() + ">").c_str(), callId,
                                 sizeof(callId), "<sip:alice@127.0.0.1>", "secret", nullptr, 0, AddressType_IPv4,
                                 nullptr, "sipp.test"),
              0)
        << LastError();
    ASSERT_TRUE(phone.WaitFor(0, "Connected"));
    EXPECT_EQ(phone.Session(0).callId, callId);
    ASSERT_EQ(SIPSessionTerminate(phone.Session(0).handle), 0) << LastError();
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    EXPECT_EQ(phone.Session(0).terminatedReason, TerminatedReason_LocalBye);
    ExpectExit(*sipp);
}

// A callee that answers in a reliable 183 (RFC 3262; SIPp checks Supported: 100rel and the RAck of
// our PRACK): the media is negotiated once, from the 183, and the 200 that follows connects.
TEST_F(SessionWithSipp, AnswerInAReliable183IsAcknowledgedWithPrack) {
    auto sipp = SippAnswers("call_prack_uas.xml");
    Phone phone(kPcmu);
    phone.Call("<sip:service@" + sipp->Address() + ">");
    ASSERT_TRUE(phone.WaitFor(0, "Connected"));
    const auto events = phone.Session(0).events;
    EXPECT_EQ(std::count(events.begin(), events.end(), "MediaNegotiated"), 1) << testing::PrintToString(events);
    ASSERT_EQ(SIPSessionTerminate(phone.Session(0).handle), 0) << LastError();
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    EXPECT_EQ(phone.Session(0).terminatedReason, TerminatedReason_LocalBye);
    ExpectExit(*sipp);
}

TEST_F(SessionWithSipp, HangUpFromAHostThreadSendsBye) {
    auto sipp = SippAnswers("call_basic_uas.xml");
    Phone phone(kPcmu);
    phone.Call("<sip:service@" + sipp->Address() + ">");
    ASSERT_TRUE(phone.WaitFor(0, "Connected"));
    ASSERT_EQ(SIPSessionTerminate(phone.Session(0).handle), 0) << LastError();
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    EXPECT_EQ(phone.Session(0).terminatedReason, TerminatedReason_LocalBye);
    ExpectExit(*sipp);
}

TEST_F(SessionWithSipp, AnAnswerThatDoesNotVerifyEndsTheCall) {
    auto sipp = SippAnswers("call_bad_answer_uas.xml");
    Phone phone(kPcmu);
    testing::internal::CaptureStdout();
    phone.Call("<sip:service@" + sipp->Address() + ">");
    const bool ended = phone.WaitFor(0, "Terminated");
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended);
    // No MediaNegotiated for an answer that failed; SIPp checks the ACK and the BYE.
    const auto events = phone.Session(0).events;
    EXPECT_EQ(std::count(events.begin(), events.end(), "MediaNegotiated"), 0) << testing::PrintToString(events);
    EXPECT_EQ(events.back(), "Terminated");
    EXPECT_NE(output.find("Failed to verify answer: answer does not contain a supported codec\n"), std::string::npos)
        << output;
    ExpectExit(*sipp);
}

TEST_F(SessionWithSipp, HangUpBeforeTheAnswerCancels) {
    auto sipp = SippAnswers("call_cancel_uas.xml");
    Phone phone(kPcmu);
    phone.Call("<sip:service@" + sipp->Address() + ">");
    // The 180 makes the session; the host hangs up from its own thread.
    ASSERT_TRUE(phone.WaitForSessions(1));
    ASSERT_EQ(SIPSessionTerminate(phone.Session(0).handle), 0) << LastError();
    ASSERT_TRUE(phone.WaitFor(0, "Terminated"));
    EXPECT_EQ(phone.Session(0).terminatedReason, TerminatedReason_LocalCancel);
    ExpectExit(*sipp);
}

} // namespace
} // namespace zel::sip::test

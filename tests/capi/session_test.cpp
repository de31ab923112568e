// Calls between two user agents in one process over 127.0.0.1, driven and observed only through
// the C interface: the course of a call on both sides, the negotiated media the getters report,
// rejecting, ending from either side and from host threads, handles after the end, a refused
// offer, and what SIPUserAgentInvite refuses before anything is sent.
#include "SessionTestSupport.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

namespace {

using zel::sip::test::kOpus;
using zel::sip::test::kPcmu;
using zel::sip::test::kPcmuOpus;
using zel::sip::test::LastError;
using zel::sip::test::Phone;

std::vector<std::string> Expected(std::initializer_list<const char*> events) {
    return {events.begin(), events.end()};
}

/// Places a call from `caller` to `callee` and waits until both sides are connected.
std::string Connect(Phone& caller, Phone& callee, std::size_t index = 0) {
    const std::string callId = caller.Call(callee.Uri());
    EXPECT_TRUE(caller.WaitFor(index, "Connected"));
    EXPECT_TRUE(callee.WaitFor(index, "Connected"));
    return callId;
}

TEST(Session, CallConnectsWithNegotiatedMediaOnBothSidesAndEndsFromEitherSide) {
    Phone alice(kPcmu);
    Phone bob(kPcmu);

    const std::string callId = Connect(alice, bob);
    const auto caller = alice.Session(0);
    const auto callee = bob.Session(0);
    // The Call-ID Invite returned is the one both sessions report.
    EXPECT_EQ(caller.callId, callId);
    EXPECT_EQ(callee.callId, callId);
    EXPECT_EQ(caller.events, Expected({"MediaNegotiated", "Connected"}));
    EXPECT_EQ(callee.events, Expected({"MediaNegotiated", "Connected"}));
    // Each side's remote port is the other's local one, as the host handed them out.
    EXPECT_EQ(caller.mediaCountAtConnect, 1U);
    EXPECT_NE(caller.localPortAtConnect, 0);
    EXPECT_EQ(caller.remotePortAtConnect, callee.localPortAtConnect);
    EXPECT_EQ(callee.remotePortAtConnect, caller.localPortAtConnect);
    EXPECT_EQ(caller.remoteAddressAtConnect, "127.0.0.1");
    EXPECT_EQ(callee.localAddressAtConnect, "127.0.0.1");
    EXPECT_NE(caller.attributesAtConnect.find("rtpmap:0 PCMU/8000\r\n"), std::string::npos)
        << caller.attributesAtConnect;

    // Hung up by the caller from this (host) thread: carried to the dialog thread.
    ASSERT_EQ(SIPSessionTerminate(caller.handle), 0) << LastError();
    ASSERT_TRUE(alice.WaitFor(0, "Terminated"));
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    EXPECT_EQ(alice.Session(0).terminatedReason, TerminatedReason_LocalBye);
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_RemoteBye);

    // A second call, hung up by the callee.
    Connect(alice, bob, 1);
    ASSERT_EQ(SIPSessionTerminate(bob.Session(1).handle), 0) << LastError();
    ASSERT_TRUE(alice.WaitFor(1, "Terminated"));
    ASSERT_TRUE(bob.WaitFor(1, "Terminated"));
    EXPECT_EQ(alice.Session(1).terminatedReason, TerminatedReason_RemoteBye);
    EXPECT_EQ(bob.Session(1).terminatedReason, TerminatedReason_LocalBye);
}

TEST(Session, HandlesAfterTerminatedFailWithTheHandleErrorAndGettersReportAbsence) {
    Phone alice(kPcmu);
    Phone bob(kPcmu);
    Connect(alice, bob);
    SIPSession* stale = alice.Session(0).handle;
    ASSERT_EQ(SIPSessionTerminate(stale), 0) << LastError();
    ASSERT_TRUE(alice.WaitFor(0, "Terminated"));
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    // Once the Terminated callbacks have returned the session is gone; the handle must neither
    // crash nor reach another session.
    ASSERT_TRUE(zel::sip::test::WaitUntil([&] { return SIPSessionGetCallId(stale) == nullptr; }, std::chrono::seconds(10)));
    EXPECT_EQ(SIPSessionTerminate(stale), -1);
    EXPECT_TRUE(std::regex_match(LastError(), std::regex(R"(Reference to a usage that has ended \(id \d+\)\.)")))
        << LastError();
    EXPECT_EQ(SIPSessionReject(stale, 486, "busy"), -1);
    EXPECT_NE(LastError().find("Reference to a usage that has ended"), std::string::npos);
    EXPECT_EQ(SIPSessionGetMediaCount(stale), 0U);
    EXPECT_EQ(SIPSessionMediaGetLabel(stale, 0), nullptr);
    EXPECT_EQ(SIPSessionMediaGetRemoteMediaPort(stale, 0), 0);
    EXPECT_EQ(SIPSessionMediaGetAttributes(stale, 0, nullptr, 0), 1U);
    char untouched[8] = "abcdefg";
    SIPSessionMediaGetRemoteConnectionAddress(stale, 0, 0, untouched, sizeof(untouched));
    EXPECT_STREQ(untouched, "abcdefg");
    // A handle never given out, and null, are the uninitialised handle.
    EXPECT_EQ(SIPSessionTerminate(nullptr), -1);
    EXPECT_EQ(LastError(), "Reference to unitialized handle.");
    SIPSessionAddConnectedEventHandler(stale, [](void*) {}, nullptr); // no effect, no crash
}

// A host that hands work to another thread of its own and waits for it inside a callback: that
// thread reads the session while the dialog thread waits, and sees the exchange that has ended.
TEST(Session, GettersOnAHostThreadThatACallbackWaitsForSeeTheFinishedExchange) {
    Phone alice(kPcmu);
    Phone bob(kPcmu);
    std::atomic<int> checked{0};
    alice.onConnected = [&](SIPSession* session) {
        const std::uint16_t here = SIPSessionMediaGetRemoteMediaPort(session, 0);
        const std::uint64_t size = SIPSessionMediaGetAttributes(session, 0, nullptr, 0);
        std::uint16_t there = 0;
        std::uint64_t sizeThere = 0;
        char address[32] = {};
        std::thread host([&] {
            there = SIPSessionMediaGetRemoteMediaPort(session, 0);
            sizeThere = SIPSessionMediaGetAttributes(session, 0, nullptr, 0);
            SIPSessionMediaGetLocalConnectionAddress(session, 0, address, sizeof(address));
        });
        host.join();
        EXPECT_NE(here, 0);
        EXPECT_EQ(there, here);
        EXPECT_EQ(sizeThere, size);
        EXPECT_STREQ(address, "127.0.0.1");
        ++checked;
    };
    Connect(alice, bob);
    EXPECT_TRUE(zel::sip::test::WaitUntil([&] { return checked.load() == 1; }, std::chrono::seconds(10)));
    ASSERT_EQ(SIPSessionTerminate(alice.Session(0).handle), 0);
    EXPECT_TRUE(bob.WaitFor(0, "Terminated"));
}

TEST(Session, DestroyingAUserAgentEndsItsCallsAndInvalidatesTheirHandles) {
    Phone bob(kPcmu);
    SIPSession* stale = nullptr;
    {
        Phone alice(kPcmu);
        Connect(alice, bob);
        stale = alice.Session(0).handle;
        // The Terminated callbacks run inside the destruction, on the dialog thread.
    }
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_RemoteBye);
    EXPECT_EQ(SIPSessionTerminate(stale), -1);
    EXPECT_NE(LastError().find("Reference to a usage that has ended"), std::string::npos) << LastError();
    EXPECT_EQ(SIPSessionGetCallId(stale), nullptr);
}

TEST(Session, RejectWithACodeReachesTheCallerAsFailure) {
    Phone alice(kPcmu);
    Phone bob(kPcmu);
    // Rejected inside NewSession (dialog thread), before the offer is answered.
    bob.onIncoming = [](SIPSession* session) { EXPECT_EQ(SIPSessionReject(session, 486, "at lunch"), 0); };
    alice.Call(bob.Uri());
    ASSERT_TRUE(alice.WaitFor(0, "Terminated"));
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    const auto caller = alice.Session(0);
    EXPECT_EQ(caller.failureCode, 486);
    EXPECT_EQ(caller.failureReason, "Busy Here");
    EXPECT_EQ(caller.events, Expected({"Failure", "Terminated"}));
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_Rejected);
}

TEST(Session, RejectFromAHostThreadIsCarriedToTheDialogThread) {
    Phone alice(kPcmu);
    Phone bob(kPcmu);
    // Bob's host decides on another thread while the dialog thread waits in NewSession. The
    // reject is a command that runs on the dialog thread before the automatic accept.
    bob.onIncoming = [](SIPSession* session) {
        int32_t result = 1;
        std::string error;
        std::thread host([&] {
            result = SIPSessionReject(session, 603, "not now");
            error = LastError();
        });
        host.join();
        EXPECT_EQ(result, 0) << error;
    };
    alice.Call(bob.Uri());
    ASSERT_TRUE(alice.WaitFor(0, "Terminated"));
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    EXPECT_EQ(alice.Session(0).failureCode, 603);
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_Rejected);
}

TEST(Session, SecondCodecAndSrtpAreNegotiatedFromTheConfiguration) {
    const std::string crypto =
        R"("UseSRTP": "Mandatory", "Cryptos": [
               {"CryptoSuite": "AES_CM_128_HMAC_SHA1_80", "MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1},
               {"CryptoSuite": "AES_CM_128_HMAC_SHA1_32", "MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1}])";
    Phone alice(kPcmuOpus + ", " + crypto);
    Phone bob(kOpus + ", " + crypto);
    Connect(alice, bob);
    const auto caller = alice.Session(0);
    // Bob knows only opus: the answer carries it alone, with its format parameters, and one
    // crypto line of the offered ones.
    EXPECT_EQ(caller.attributesAtConnect.find("PCMU"), std::string::npos) << caller.attributesAtConnect;
    EXPECT_TRUE(std::regex_search(caller.attributesAtConnect,
                                  std::regex(R"(rtpmap:(\d+) opus/48000/2\r\nfmtp:\1 useinbandfec=1[;\r])")))
        << caller.attributesAtConnect;
    EXPECT_TRUE(std::regex_search(caller.attributesAtConnect, std::regex(R"(crypto:1 AES_CM_128_HMAC_SHA1_\d\d inline:)")))
        << caller.attributesAtConnect;
    // Bob keeps the offer as far as he accepted it: both codecs, the crypto line he chose.
    const auto callee = bob.Session(0);
    EXPECT_NE(callee.attributesAtConnect.find("rtpmap:0 PCMU/8000\r\n"), std::string::npos)
        << callee.attributesAtConnect;
    EXPECT_NE(callee.attributesAtConnect.find("crypto:1 AES_CM_128_HMAC_SHA1_80 inline:"), std::string::npos)
        << callee.attributesAtConnect;
    EXPECT_EQ(callee.attributesAtConnect.find("crypto:2"), std::string::npos) << callee.attributesAtConnect;
    // A host thread reads the same narrowed offer from what the dialog thread published, never
    // the offer as received (which the dialog layer keeps as well).
    std::string published(SIPSessionMediaGetAttributes(callee.handle, 0, nullptr, 0), '\0');
    SIPSessionMediaGetAttributes(callee.handle, 0, published.data(), published.size());
    EXPECT_EQ(published.c_str(), callee.attributesAtConnect);
    ASSERT_EQ(SIPSessionTerminate(caller.handle), 0) << LastError();
    EXPECT_TRUE(bob.WaitFor(0, "Terminated"));
}

TEST(Session, SrtpRequiredByTheCalleeAndNotOfferedIsRefusedWith488) {
    Phone alice(kPcmu + R"(, "UseSRTP": "None")");
    Phone bob(kPcmu + R"(, "UseSRTP": "Mandatory", "Cryptos": [{"CryptoSuite": "AES_CM_128_HMAC_SHA1_80", "MasterKeyLength": 30,
                                                   "UseMKI": false, "NumberOfMasterKeys": 1}])");
    alice.Call(bob.Uri());
    ASSERT_TRUE(alice.WaitFor(0, "Terminated"));
    EXPECT_EQ(alice.Session(0).failureCode, 488);
}

TEST(Session, AnOfferWithoutACommonCodecIsRefused488AndReported) {
    Phone alice(kPcmu);
    Phone bob(kOpus);
    testing::internal::CaptureStdout();
    alice.Call(bob.Uri());
    const bool ended = alice.WaitFor(0, "Terminated") && bob.WaitFor(0, "Terminated");
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended);
    EXPECT_EQ(alice.Session(0).failureCode, 488);
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_Rejected);
    EXPECT_NE(output.find("Failed to negotiate answer: offer does not contain a supported codec\n"),
              std::string::npos)
        << output;
}

TEST(Session, FurtherBodiesReachTheCalleeAsMessageContentAndReadyToSendChangesTheBye) {
    Phone alice(kPcmu);
    Phone bob(kPcmu + ", " + zel::sip::test::kMultipart);
    Contents xml{"application/xml", nullptr, nullptr, nullptr, nullptr, nullptr, "<note>hello</note>"};
    alice.stamp = {"X-Test", "from-alice"};
    alice.Call(bob.Uri(), &xml, 1);
    ASSERT_TRUE(alice.WaitFor(0, "Connected")) << testing::PrintToString(alice.Session(0).events) << " "
                                               << alice.Session(0).failureCode;
    ASSERT_TRUE(bob.WaitFor(0, "Connected")) << testing::PrintToString(bob.Session(0).events);
    const auto callee = bob.Session(0);
    ASSERT_EQ(callee.contents.size(), 1U);
    EXPECT_EQ(callee.contents[0].first, "application/xml");
    EXPECT_EQ(callee.contents[0].second, "<note>hello</note>");
    EXPECT_EQ(callee.events, Expected({"MediaNegotiated", "MessageContent", "Connected"}));
    ASSERT_EQ(SIPSessionTerminate(alice.Session(0).handle), 0);
    ASSERT_TRUE(bob.WaitFor(0, "Terminated"));
    // The caller's host stamped its BYE through ReadyToSend.
    EXPECT_EQ(bob.Session(0).terminatedHeader, "from-alice");
}

TEST(Session, InviteRefusesBadInputBeforeAnythingIsSent) {
    Phone alice(kPcmu);
    char callId[16] = "untouched";
    EXPECT_EQ(SIPUserAgentInvite(alice.Handle(), "<sip:bob@127.0.0.1:9>", callId, sizeof(callId), nullptr, nullptr,
                                 nullptr, 0, 2, nullptr, nullptr),
              -1);
    EXPECT_EQ(LastError(), "unexpected address type: 2");
    EXPECT_STREQ(callId, "untouched");
    EXPECT_EQ(alice.EndpointRequests(), 0U);
    EXPECT_EQ(SIPUserAgentInvite(alice.Handle(), "not a name-address <", callId, sizeof(callId), nullptr, nullptr,
                                 nullptr, 0, AddressType_IPv4, nullptr, nullptr),
              -1);
    EXPECT_FALSE(LastError().empty());
    EXPECT_EQ(SIPUserAgentInvite(alice.Handle(), "<tel:+123>", callId, sizeof(callId), nullptr, nullptr, nullptr, 0,
                                 AddressType_IPv4, nullptr, nullptr),
              -1);
    EXPECT_EQ(alice.EndpointRequests(), 0U);

    // A user agent whose host hands out no endpoint cannot offer.
    SIPUserAgent* bare = CreateSIPUserAgent(zel::sip::test::CallConfiguration(0, kPcmu).c_str());
    ASSERT_NE(bare, nullptr) << LastError();
    ASSERT_EQ(SIPUserAgentSetDefaultFrom(bare, "<sip:bare@127.0.0.1>", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(SIPUserAgentInvite(bare, "<sip:bob@127.0.0.1:9>", callId, sizeof(callId), nullptr, nullptr, nullptr, 0,
                                 AddressType_IPv4, nullptr, nullptr),
              -1);
    EXPECT_EQ(LastError(), "unable to get a local media endpoint");
    DestroySIPUserAgent(bare);

    // A buffer of one byte gets only the terminator, and the call still counts as placed.
    Phone bob(kPcmu);
    char one[1] = {'x'};
    EXPECT_EQ(SIPUserAgentInvite(alice.Handle(), bob.Uri().c_str(), one, sizeof(one), nullptr, nullptr, nullptr, 0, AddressType_IPv4, nullptr, nullptr),
              0)
        << LastError();
    EXPECT_EQ(one[0], '\0');
    ASSERT_TRUE(alice.WaitFor(0, "Connected"));
    EXPECT_EQ(SIPSessionTerminate(alice.Session(0).handle), 0);
    EXPECT_TRUE(bob.WaitFor(0, "Terminated"));
}

} // namespace

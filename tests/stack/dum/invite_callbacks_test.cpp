// The invite session handler's rarer callbacks over loopback: each case fails when its callback
// does not fire, or when its default does not do what the handler's documentation says. Peers are
// two user agents of ours, or a peer scripted from the test where one of ours cannot misbehave.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stack/dum/DumTestSupport.h"
#include "stack/message/CSeq.h"

namespace zel::sip::stack::test {
namespace {

// The CANCEL passes onReadyToSend like every message of the session: a header added there reaches
// the peer, while what RFC 3261 section 9.1 fixes (Request-URI, Call-ID, From, To, CSeq number,
// top Via) stays the INVITE's whatever the application wrote.
TEST(InviteCallbacks, CancelPassesReadyToSendAndKeepsItsMatch) {
    Phone alice("alice");
    ScriptedPeer callee;
    alice.Handler().readyToSend = [](InviteSessionHandle, SipMessage& message) {
        if (message.IsRequest() && message.Method() == "CANCEL") {
            message.AddExtension("X-Cancel-Cause", "user pressed hang-up");
            message.Set(HeaderType::CallId, "rewritten@elsewhere");
            message.Set(HeaderType::CSeq, "99 CANCEL");
        }
    };
    alice.Settle();
    alice.Call(callee, Sdp("sendrecv").get());
    auto invite = NextOf(callee, "INVITE");
    ASSERT_TRUE(invite);
    callee.Answer(*invite, 180, "Ringing", FromFork(callee, "ring"));
    ASSERT_TRUE(alice.Handler().WaitFor("provisional"));
    alice.WithSession([](InviteSession& session) { session.End(); });
    auto cancel = NextOf(callee, "CANCEL");
    ASSERT_TRUE(cancel);
    const SipMessage& sent = *cancel->message;
    EXPECT_EQ(sent.RawExtension("X-Cancel-Cause"), "user pressed hang-up");
    EXPECT_EQ(sent.RawRequestUri(), invite->message->RawRequestUri());
    EXPECT_EQ(sent.ValueText(HeaderType::CallId), invite->message->ValueText(HeaderType::CallId));
    EXPECT_EQ(sent.ValueText(HeaderType::From), invite->message->ValueText(HeaderType::From));
    EXPECT_EQ(sent.ValueText(HeaderType::To), invite->message->ValueText(HeaderType::To));
    EXPECT_EQ(sent.Get<CSeq>(HeaderType::CSeq).Sequence(), invite->message->Get<CSeq>(HeaderType::CSeq).Sequence());
    EXPECT_EQ(sent.Count(HeaderType::Via), 1u);
    EXPECT_EQ(sent.ValueText(HeaderType::Via), invite->message->ValueText(HeaderType::Via));
    callee.Answer(*invite, 487, "Request Terminated", FromFork(callee, "ring"));
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalCancel"));
}

// No final response within the profile's stale-call time: onStaleCallTimeout, whose default
// cancels the call.
TEST(InviteCallbacks, StaleCallIsCancelledByDefault) {
    Phone alice("alice");
    alice.Ua().Profile()->SetStaleCallTime(1);
    ScriptedPeer callee;
    alice.Call(callee, Sdp("sendrecv").get());
    auto invite = NextOf(callee, "INVITE");
    ASSERT_TRUE(invite);
    callee.Answer(*invite, 180, "Ringing", FromFork(callee, "ring"));
    auto cancel = NextOf(callee, "CANCEL", 10s);
    ASSERT_TRUE(cancel) << ::testing::PrintToString(alice.Handler().Whats());
    EXPECT_EQ(alice.Handler().Count("staleCall"), 1u);
    callee.Answer(*invite, 487, "Request Terminated", FromFork(callee, "ring"));
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalCancel"));
    EXPECT_EQ(alice.Handler().Count("failure"), 0u);
}

// An offer in the 2xx the application never answers: the 2xx is still ACKed (without a body) and
// the call ended with BYE (RFC 3261 section 13.2.2.4). Before, no ACK ever left.
TEST(InviteCallbacks, UnansweredOfferInTheTwoHundredIsAckedAndEnded) {
    Phone alice("alice");
    alice.Handler().autoAnswer = false;
    alice.Settle();
    ScriptedPeer callee;
    alice.Call(callee, nullptr);
    auto invite = NextOf(callee, "INVITE");
    ASSERT_TRUE(invite);
    const std::unique_ptr<SdpBody> offer = Sdp("sendrecv", 40000);
    callee.Answer(*invite, 200, "OK", FromFork(callee, "answered", offer.get()));
    ASSERT_TRUE(alice.Handler().WaitFor("offer"));
    auto ack = NextOf(callee, "ACK", 10s);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->message->Body().empty());
    auto bye = NextOf(callee, "BYE");
    ASSERT_TRUE(bye);
    EXPECT_EQ(ToTag(*bye->message), "answered");
    callee.Answer(*bye, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
}

// Forks: the early dialog of a fork that loses to another fork's 2xx, and each early dialog a
// failure ends, is reported once with onForkDestroyed; a late 2xx from a reported fork is ACKed
// and ended with BYE without a second report.
TEST(InviteCallbacks, ForksThatLoseOrFailAreReportedOnce) {
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    {
        Phone alice("alice");
        ScriptedPeer forker;
        alice.Call(forker, Sdp("sendrecv").get());
        auto invite = NextOf(forker, "INVITE");
        ASSERT_TRUE(invite);
        forker.Answer(*invite, 180, "Ringing", FromFork(forker, "fork-a"));
        forker.Answer(*invite, 180, "Ringing", FromFork(forker, "fork-b"));
        ASSERT_TRUE(alice.Handler().WaitFor("provisional", 1));
        forker.Answer(*invite, 200, "OK", FromFork(forker, "fork-b", answer.get()));
        ASSERT_TRUE(alice.Handler().WaitFor("fork"));
        auto ack = NextOf(forker, "ACK");
        ASSERT_TRUE(ack);
        EXPECT_EQ(ToTag(*ack->message), "fork-b");
        forker.Answer(*invite, 200, "OK", FromFork(forker, "fork-a", answer.get()));
        auto bye = NextOf(forker, "BYE");
        ASSERT_TRUE(bye);
        EXPECT_EQ(ToTag(*bye->message), "fork-a");
        forker.Answer(*bye, 200, "OK");
        EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "provisional", "answer", "connected", "fork"}));
        alice.WithSession([](InviteSession& session) {
            EXPECT_TRUE(session.IsConnected());
            EXPECT_EQ(session.GetDialog()->Id().remoteTag, "fork-b");
        });
    }
    {
        Phone alice("alice");
        ScriptedPeer forker;
        alice.Call(forker, Sdp("sendrecv").get());
        auto invite = NextOf(forker, "INVITE");
        ASSERT_TRUE(invite);
        forker.Answer(*invite, 180, "Ringing", FromFork(forker, "fork-a"));
        forker.Answer(*invite, 180, "Ringing", FromFork(forker, "fork-b"));
        forker.Answer(*invite, 180, "Ringing", FromFork(forker, "fork-c"));
        ASSERT_TRUE(alice.Handler().WaitFor("provisional", 1));
        forker.Answer(*invite, 486, "Busy Here", FromFork(forker, "fork-c"));
        ASSERT_TRUE(alice.Handler().WaitFor("terminated:Rejected"));
        EXPECT_EQ(alice.Handler().Count("fork"), 2u);
        const std::vector<std::string> whats = alice.Handler().Whats();
        ASSERT_GE(whats.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(whats.end() - 4, whats.end()),
                  (std::vector<std::string>{"fork", "fork", "failure", "terminated:Rejected"}));
    }
}

// RFC 3262 section 5: the answer a reliable 1xx brought may come again in the 2xx; when it differs
// the application hears onRemoteSdpChanged with the new one, and not when it is the same.
TEST(InviteCallbacks, SecondAnswerThatDiffersIsReported) {
    for (const bool differs : {true, false}) {
        SCOPED_TRACE(differs ? "a different SDP in the 200" : "the same SDP in the 200");
        Phone alice("alice");
        ScriptedPeer callee;
        alice.Call(callee, Sdp("sendrecv").get());
        auto invite = NextOf(callee, "INVITE");
        ASSERT_TRUE(invite);
        const std::unique_ptr<SdpBody> early = Sdp("sendrecv", 40000);
        const std::unique_ptr<SdpBody> final = Sdp("sendrecv", differs ? 40010 : 40000);
        callee.Answer(*invite, 183, "Session Progress", [&](SipMessage& response) {
            FromFork(callee, "early", early.get())(response);
            response.Add(HeaderType::Require, "100rel");
            response.Add(HeaderType::RSeq, "1");
        });
        auto prack = NextOf(callee, "PRACK");
        ASSERT_TRUE(prack);
        callee.Answer(*prack, 200, "OK");
        ASSERT_TRUE(alice.Handler().WaitFor("answer"));
        callee.Answer(*invite, 200, "OK", FromFork(callee, "early", final.get()));
        ASSERT_TRUE(alice.Handler().WaitFor("connected"));
        ASSERT_TRUE(NextOf(callee, "ACK"));
        EXPECT_EQ(alice.Handler().Count("remoteSdpChanged"), differs ? 1u : 0u);
        if (differs) {
            EXPECT_NE(alice.Handler().Text("remoteSdpChanged").find("m=audio 40010"), std::string::npos);
            alice.WithSession([](InviteSession& session) {
                ASSERT_NE(session.RemoteBody(), nullptr);
                EXPECT_NE(session.RemoteBody()->Encode().find("m=audio 40010"), std::string::npos);
            });
        }
        EXPECT_EQ(alice.Handler().Count("answer"), 1u);
    }
}

// Between two of ours: onConnectedConfirmed with the ACK; a request for an offer answered (the
// offer in the 200, our answer in the ACK) and refused (onOfferRequestRejected, the call stays);
// REFERs refused by default, with onReferNoSub for Refer-Sub: false, and taken with AnswerRefer.
TEST(InviteCallbacks, ConfirmedOfferRequestsAndRefers) {
    Phone alice("alice");
    Phone bob("bob");
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    ASSERT_TRUE(bob.Handler().WaitFor("confirmed"));
    EXPECT_EQ(bob.Handler().Whats(), (std::vector<std::string>{"new", "offer", "ack", "connected", "confirmed"}));
    EXPECT_EQ(alice.Handler().Count("confirmed"), 0u);

    alice.WithSession([](InviteSession& session) { session.RequestOffer(); });
    ASSERT_TRUE(bob.Handler().WaitFor("answer"));
    EXPECT_EQ(alice.Handler().Count("offer"), 1u);
    EXPECT_NE(bob.Handler().Text("answer").find("m=audio 50000"), std::string::npos);
    EXPECT_EQ(bob.Handler().Count("confirmed"), 1u);

    bob.Handler().autoAnswer = false;
    bob.Settle();
    alice.WithSession([](InviteSession& session) { session.RequestOffer(); });
    ASSERT_TRUE(alice.Handler().WaitFor("offerRequestRejected"));
    EXPECT_EQ(alice.Handler().Text("offerRequestRejected").rfind("SIP/2.0 488", 0), 0u);
    EXPECT_EQ(alice.Handler().Count("offerRejected"), 0u);

    const NameAddr carol = NameAddr::Parse("<sip:carol@127.0.0.1>");
    alice.WithSession([&](InviteSession& session) { session.Refer(carol); });
    ASSERT_TRUE(alice.Handler().WaitFor("referRejected"));
    EXPECT_EQ(alice.Handler().Text("referRejected").rfind("SIP/2.0 603", 0), 0u);
    EXPECT_NE(bob.Handler().Text("refer").find("carol@127.0.0.1"), std::string::npos);

    alice.Handler().readyToSend = [](InviteSessionHandle, SipMessage& message) {
        if (message.IsRequest() && message.Method() == "REFER") {
            message.Set(HeaderType::ReferSub, "false");
        }
    };
    bob.Handler().refer = [](InviteSessionHandle session, const SipMessage&) {
        session->AnswerRefer(202);
        return true;
    };
    alice.Settle();
    bob.Settle();
    alice.WithSession([&](InviteSession& session) { session.Refer(carol); });
    ASSERT_TRUE(alice.Handler().WaitFor("referAccepted"));
    EXPECT_EQ(bob.Handler().Count("referNoSub"), 1u);
    EXPECT_EQ(alice.Handler().Text("referAccepted").rfind("SIP/2.0 202", 0), 0u);

    bool connected = false;
    alice.WithSession([&](InviteSession& session) { connected = session.IsConnected(); });
    EXPECT_TRUE(connected);
}

// Our re-INVITE that the peer keeps open with a provisional only: onStaleReInviteTimeout after the
// profile's time, whose default ends the call.
TEST(InviteCallbacks, StaleReInviteEndsTheCallByDefault) {
    Phone alice("alice");
    alice.Ua().Profile()->SetStaleReInviteTime(1);
    ScriptedPeer callee;
    alice.Call(callee, Sdp("sendrecv").get());
    auto invite = NextOf(callee, "INVITE");
    ASSERT_TRUE(invite);
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    callee.Answer(*invite, 200, "OK", FromFork(callee, "answered", answer.get()));
    ASSERT_TRUE(NextOf(callee, "ACK"));
    alice.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    auto reInvite = NextOf(callee, "INVITE");
    ASSERT_TRUE(reInvite);
    callee.Answer(*reInvite, 180, "Ringing");
    auto bye = NextOf(callee, "BYE", 10s);
    ASSERT_TRUE(bye) << ::testing::PrintToString(alice.Handler().Whats());
    EXPECT_EQ(alice.Handler().Count("staleReInvite"), 1u);
    callee.Answer(*bye, 200, "OK");
    callee.Answer(*reInvite, 487, "Request Terminated");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
}

// A call over WebSocket whose connection closes: the callee cannot reach the caller any more, so
// onFlowTerminated fires and its default ends the call.
TEST(InviteCallbacks, ClosedWebSocketEndsTheCall) {
    Phone bob("bob");
    const Tuple ws = bob.Ua().Stack().AddTransport(TransportType::WS, IpVersion::V4, "127.0.0.1", 0);
    auto caller = std::make_unique<ScriptedPeer>();
    const Tuple callerWs = caller->Stack().AddTransport(TransportType::WS, IpVersion::V4, "127.0.0.1", 0);
    caller->Stack().SendRequest(
        InviteFromCarol("sip:bob@127.0.0.1:" + std::to_string(ws.port) + ";transport=ws",
                        "<sip:carol@127.0.0.1:" + std::to_string(callerWs.port) + ";transport=ws>", "closed-websocket"),
        ws);
    ASSERT_TRUE(bob.Handler().WaitFor("offer"));
    caller->Stack().Shutdown(); // the caller vanishes with its connection
    caller.reset();
    ASSERT_TRUE(bob.Handler().WaitFor("flow"));
    ASSERT_TRUE(zel::sip::test::WaitUntil(
        [&] {
            const std::vector<std::string> whats = bob.Handler().Whats();
            return !whats.empty() && whats.back().rfind("terminated:", 0) == 0;
        },
        10s))
        << ::testing::PrintToString(bob.Handler().Whats());
    EXPECT_EQ(bob.Handler().Count("flow"), 1u);
}

} // namespace
} // namespace zel::sip::stack::test

// Calls between two dialog usage managers of ours over loopback, and against a peer scripted from
// the test where one of ours cannot show a fault (an ACK that never comes, a digest challenge,
// forks, refused refreshes). What SIPp can show on the wire is in invite_peer_test.cpp and the
// state machines' own rules in invite_core_*_test.cpp; here are the paths neither reaches.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stack/body/GenericBody.h"
#include "stack/dum/DumTestSupport.h"
#include "stack/message/CSeq.h"
#include "stack/transport/TestCertificates.h"

namespace zel::sip::stack::test {
namespace {

TEST(InviteSessions, ReInviteHoldAndResumeThenInfoAndMessage) {
    Phone alice("alice");
    Phone bob("bob");
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));

    bob.Handler().answerDirection = "recvonly";
    bob.Settle();
    const std::size_t acks = bob.Handler().Count("ack");
    alice.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    ASSERT_TRUE(alice.Handler().WaitFor("answer", 2));
    // Bob offers again only once the re-INVITE has ended with its ACK.
    ASSERT_TRUE(bob.Handler().WaitFor("ack", acks + 1));
    EXPECT_NE(bob.Handler().Text("offer", 1).find("a=sendonly"), std::string::npos);
    EXPECT_NE(alice.Handler().Text("answer", 1).find("a=recvonly"), std::string::npos);

    // Resume from the other side, as an UPDATE (RFC 3311).
    alice.Handler().answerDirection = "sendrecv";
    alice.Settle();
    bob.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendrecv"), /*useUpdate=*/true); });
    ASSERT_TRUE(bob.Handler().WaitFor("answer"));
    EXPECT_NE(bob.Handler().Text("answer").find("a=sendrecv"), std::string::npos);
    EXPECT_TRUE(bob.Handler().Sent("UPDATE "));

    alice.WithSession([](InviteSession& session) { session.Info(TextBody("dtmf 1")); });
    bob.WithSession([](InviteSession& session) { session.Message(TextBody("hello")); });
    ASSERT_TRUE(alice.Handler().WaitFor("infoSuccess"));
    ASSERT_TRUE(bob.Handler().WaitFor("messageSuccess"));
    EXPECT_NE(bob.Handler().Text("info").find("dtmf 1"), std::string::npos);
    EXPECT_NE(alice.Handler().Text("message").find("hello"), std::string::npos);
    bool connected = false;
    alice.WithSession([&](InviteSession& session) { connected = session.IsConnected(); });
    EXPECT_TRUE(connected);
}

/// A caller scripted from the test: an INVITE with an offer and `supported` (when not empty) to
/// `bob`, over UDP.
SipMessage ScriptedInvite(Phone& bob, ScriptedPeer& caller, const std::string& callId, const std::string& supported) {
    return InviteFromCarol("sip:bob@127.0.0.1:" + std::to_string(bob.Ua().Udp().port),
                           "<sip:carol@127.0.0.1:" + std::to_string(caller.Udp().port) + ">", callId, supported);
}

TEST(InviteSessions, TwoHundredRetransmittedUntilAckThenAckNotReceived) {
    Phone bob("bob");
    ScriptedPeer caller;
    // The scripted caller sends an INVITE with an offer and never ACKs.
    caller.Stack().SendRequest(ScriptedInvite(bob, caller, "retransmit-test", ""), bob.Ua().Udp());

    // The 2xx keeps coming (T1 = 50 ms here, doubling to T2) until 64*T1; then the default
    // onAckNotReceived ends the call with BYE.
    std::size_t okCount = 0;
    auto bye = caller.Next(
        [&](const SipMessage& m) {
            okCount += m.IsResponse() && m.StatusCode() == 200 ? 1 : 0;
            return m.IsRequest() && m.Method() == "BYE";
        },
        10s);
    ASSERT_TRUE(bye) << okCount << " 200s; bob saw: " << ::testing::PrintToString(bob.Handler().Whats());
    EXPECT_GE(okCount, 4u);
    EXPECT_EQ(bob.Handler().Count("ackNotReceived"), 1u);
    caller.Answer(*bye, 200, "OK");
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:LocalBye"));
}

TEST(InviteSessions, ProxyChallengeOnInviteAndBye) {
    Phone alice("alice");
    alice.Ua().Profile()->AddDigestCredential(DigestCredential{"test.realm", "alice", "secret"});
    ScriptedPeer proxy;
    alice.Call(proxy, Sdp("sendrecv").get());

    auto first = NextOf(proxy, "INVITE");
    ASSERT_TRUE(first);
    proxy.Answer(*first, 407, "Proxy Authentication Required", Challenge(HeaderType::ProxyAuthenticate, "n1"));
    auto second = NextOf(proxy, "INVITE");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->message->Get<CSeq>(HeaderType::CSeq).Sequence(), 2u);
    EXPECT_EQ(second->message->ValueText(HeaderType::CallId), first->message->ValueText(HeaderType::CallId));
    EXPECT_NE(second->message->ValueText(HeaderType::ProxyAuthorization).find("username=\"alice\""), std::string::npos);
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    proxy.Answer(*second, 200, "OK", FromFork(proxy, "peer1", answer.get()));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    auto ack = NextOf(proxy, "ACK");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->message->Get<CSeq>(HeaderType::CSeq).Sequence(), 2u);
    // The ACK carries the INVITE's credentials; the BYE gets its own (nc 2).
    EXPECT_NE(ack->message->ValueText(HeaderType::ProxyAuthorization).find("nc=00000001"), std::string::npos);
    const auto bye = HangUp(alice, proxy);
    ASSERT_TRUE(bye);
    EXPECT_NE(bye->message->ValueText(HeaderType::ProxyAuthorization).find("nc=00000002"), std::string::npos);
}

TEST(InviteSessions, ChallengedReInviteAndItsRetransmitted2xx) {
    Phone alice("alice");
    alice.Ua().Profile()->AddDigestCredential(DigestCredential{"test.realm", "alice", "secret"});
    ScriptedPeer peer;
    alice.Call(peer, Sdp("sendrecv").get());
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    const auto withAnswer = FromFork(peer, "peer1", answer.get());
    auto invite = NextOf(peer, "INVITE");
    ASSERT_TRUE(invite);
    peer.Answer(*invite, 200, "OK", withAnswer);
    ASSERT_TRUE(NextOf(peer, "ACK"));

    alice.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    auto reInvite = NextOf(peer, "INVITE");
    ASSERT_TRUE(reInvite);
    peer.Answer(*reInvite, 401, "Unauthorized", Challenge(HeaderType::WwwAuthenticate, "n2"));
    auto retried = NextOf(peer, "INVITE");
    ASSERT_TRUE(retried);
    const std::uint32_t cseq = retried->message->Get<CSeq>(HeaderType::CSeq).Sequence();
    EXPECT_EQ(cseq, reInvite->message->Get<CSeq>(HeaderType::CSeq).Sequence() + 1);
    EXPECT_NE(retried->message->ValueText(HeaderType::Authorization).find("username=\"alice\""), std::string::npos);
    // The 200 again after its ACK (as if that were lost): each is ACKed, with the re-INVITE's CSeq.
    for (int i = 0; i < 2; ++i) {
        peer.Answer(*retried, 200, "OK", withAnswer);
        auto ack = NextOf(peer, "ACK");
        ASSERT_TRUE(ack) << i;
        EXPECT_EQ(ack->message->Get<CSeq>(HeaderType::CSeq).Sequence(), cseq);
    }
    ASSERT_TRUE(alice.Handler().WaitFor("answer", 2));
    HangUp(alice, peer);
}

TEST(InviteSessions, SecondForkAnsweringIsAcknowledgedAndEnded) {
    Phone alice("alice");
    ScriptedPeer forker;
    alice.Call(forker, Sdp("sendrecv").get());
    auto invite = NextOf(forker, "INVITE");
    ASSERT_TRUE(invite);
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    for (const std::string tag : {"fork-a", "fork-b"}) {
        forker.Answer(*invite, 200, "OK", FromFork(forker, tag, answer.get()));
    }
    std::vector<std::string> seen; // method and To tag of what reaches the forker
    auto bye = forker.Next([&](const SipMessage& m) {
        if (m.IsRequest()) {
            seen.push_back(std::string(m.Method()) + " " + ToTag(m));
        }
        return m.IsRequest() && m.Method() == "BYE";
    });
    ASSERT_TRUE(bye) << ::testing::PrintToString(seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"ACK fork-a", "ACK fork-b", "BYE fork-b"}));
    forker.Answer(*bye, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    EXPECT_EQ(alice.Handler().Count("connected"), 1u);
    bool connected = false;
    alice.WithSession([&](InviteSession& session) {
        connected = session.IsConnected();
        EXPECT_EQ(session.GetDialog()->Id().remoteTag, "fork-a");
    });
    EXPECT_TRUE(connected);
    const auto hangUp = HangUp(alice, forker);
    ASSERT_TRUE(hangUp);
    EXPECT_NE(hangUp->message->ValueText(HeaderType::To).find("fork-a"), std::string::npos);
}

// A call over TLS, re-offered once and ended by the called side.
TEST(InviteSessions, CallOverTls) {
    const TestCertificates certificates;
    SecuritySettings settings;
    settings.caDirectoryPath = certificates.caDir;
    settings.certificatePath = certificates.Certificate("server");
    settings.privateKeyPath = certificates.Key("server");
    Phone alice("alice");
    Phone bob("bob");
    alice.Ua().Stack().AddTransport(TransportType::TLS, IpVersion::V4, "127.0.0.1", 0, &settings);
    const Tuple tls = bob.Ua().Stack().AddTransport(TransportType::TLS, IpVersion::V4, "127.0.0.1", 0, &settings);
    alice.Call("<sip:bob@127.0.0.1:" + std::to_string(tls.port) + ";transport=tls>", Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    bob.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    ASSERT_TRUE(bob.Handler().WaitFor("answer"));
    bob.WithSession([](InviteSession& session) { session.End(); });
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:RemoteBye"));
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:LocalBye"));
}

// ---- Session timers (RFC 4028) ------------------------------------------------------------------
// The wire carries intervals of 90 s and more, as the RFC's floor asks; the profiles' test-only
// speed-up runs the session timers so much faster that a 90 s session refreshes in 1.5 s here.

void EnableSessionTimers(Phone& phone, SessionRefresherPreference refresher, std::uint32_t speedup,
                         std::uint32_t interval = 90, std::uint32_t minSE = 90) {
    const std::shared_ptr<MasterProfile>& profile = phone.Ua().Profile();
    profile->SetSessionTimerSupported(true);
    profile->SetDefaultMinSE(minSE);
    profile->SetDefaultSessionExpires(interval);
    profile->SetSessionRefresher(refresher);
    profile->SetSessionTimerSpeedupForTests(speedup);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(InviteSessionTimers, RefresherRefreshesByUpdateOrByReInviteAsThePeerAllows) {
    for (const bool peerAllowsUpdate : {true, false}) {
        SCOPED_TRACE(peerAllowsUpdate ? "by UPDATE" : "by re-INVITE");
        Phone alice("alice");
        Phone bob("bob");
        EnableSessionTimers(alice, SessionRefresherPreference::Local, 20);
        EnableSessionTimers(bob, SessionRefresherPreference::Unspecified, 20);
        if (!peerAllowsUpdate) {
            bob.Ua().Profile()->ClearSupportedMethods();
            for (const char* method : {"INVITE", "ACK", "CANCEL", "BYE", "OPTIONS"}) {
                bob.Ua().Profile()->AddSupportedMethod(method);
            }
        }
        alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
        ASSERT_TRUE(alice.Handler().WaitFor("connected"));
        ASSERT_TRUE(bob.Handler().WaitFor("connected"));
        // Two refreshes 45 s (2.25 s here) apart: the second comes only if the 2xx of the first
        // restarted alice's timer, and finds the call only if the first restarted bob's, who ends
        // it 60 s after the last refresh he answered.
        // The INVITE left before the session existed: what onReadyToSend saw are the refreshes.
        const auto refreshes = [&] { return alice.Handler().SentTexts({"UPDATE ", "INVITE "}); };
        ASSERT_TRUE(zel::sip::test::WaitUntil([&] { return refreshes().size() >= 2; }, 20s)) << alice.Handler().Story();
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string refresh = refreshes().at(i);
            EXPECT_EQ(refresh.rfind(peerAllowsUpdate ? "UPDATE " : "INVITE ", 0), 0u) << refresh;
            EXPECT_TRUE(Contains(refresh, "Session-Expires: 90;refresher=uac")) << refresh;
            EXPECT_TRUE(Contains(refresh, "Min-SE: 90")) << refresh;
            EXPECT_TRUE(Contains(refresh, "timer")) << refresh;
            // An UPDATE refreshes without offer; a re-INVITE offers the SDP it had, unchanged.
            EXPECT_EQ(Contains(refresh, "m=audio 49170"), !peerAllowsUpdate) << refresh;
            EXPECT_EQ(Contains(refresh, "o=zel 1 1 IN IP4"), !peerAllowsUpdate) << refresh;
        }
        EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "answer", "connected"}))
            << "the answers to refreshes are no news to the application";
        if (!peerAllowsUpdate) {
            ASSERT_TRUE(bob.Handler().WaitFor("offer", 3)) << "bob answers each re-INVITE as any offer";
        }
        EXPECT_EQ(bob.Handler().Count("offer"), peerAllowsUpdate ? 1u : 3u);
        EXPECT_EQ(bob.Handler().Count("terminated:Timeout"), 0u);
        alice.WithSession([](InviteSession& session) { session.End(); });
        ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
        ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
    }
}

TEST(InviteSessionTimers, ApplicationMayKeepAnExpiredSession) {
    // onSessionExpired decides: an application that overrides it keeps the call until it ends the
    // call itself; nothing is sent for it meanwhile.
    Phone alice("alice");
    Phone bob("bob");
    EnableSessionTimers(alice, SessionRefresherPreference::Remote, 30);
    EnableSessionTimers(bob, SessionRefresherPreference::Unspecified, 1);
    alice.Handler().keepExpiredSessions = true;
    alice.Settle();
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("sessionExpired", 1, 15s)) << ::testing::PrintToString(alice.Handler().Whats());
    bool connected = false;
    alice.WithSession([&](InviteSession& session) { connected = session.IsConnected(); });
    EXPECT_TRUE(connected);
    EXPECT_FALSE(alice.Handler().Sent("BYE "));
    alice.WithSession([](InviteSession& session) { session.End(EndReason::UserHangup); });
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
    EXPECT_EQ(alice.Handler().Count("sessionExpired"), 1u);
}

TEST(InviteSessionTimers, RequestsInTheCallAfter422AndARefusedRefresh) {
    Phone alice("alice");
    EnableSessionTimers(alice, SessionRefresherPreference::Unspecified, 80);
    ScriptedPeer peer;
    const std::string peerContact = "<sip:bob@127.0.0.1:" + std::to_string(peer.Udp().port) + ">";
    alice.Call(peerContact, Sdp("sendrecv").get());
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    auto answered = [&](const std::string& expires, bool body) {
        return [&answer, &peerContact, expires, body](SipMessage& response) {
            response.Add(HeaderType::Contact, peerContact);
            if (body) {
                response.SetBody(answer->Encode(), Mime("application", "sdp"));
            }
            if (!expires.empty()) {
                response.Add(HeaderType::Require, "timer");
                response.Add(HeaderType::SessionExpires, expires);
            }
        };
    };
    auto invite = NextOf(peer, "INVITE");
    ASSERT_TRUE(invite);
    EXPECT_EQ(invite->message->ValueText(HeaderType::SessionExpires), "90");
    peer.Answer(*invite, 200, "OK", answered("", true)); // a callee without session timers
    ASSERT_TRUE(NextOf(peer, "ACK"));

    // The application's re-INVITE and UPDATE, refused 422: each goes again with the larger Min-SE
    // (and the interval raised to it) and the same offer; its answer is all the application hears.
    struct Step {
        std::string method;
        const char* sent;     // Session-Expires and Min-SE of the refused request
        const char* peerMin;  // Min-SE of the 422
        const char* again;    // Session-Expires of the request sent again
    };
    for (const Step& step : {Step{"INVITE", "90 90", "300", "300"},
                             Step{"UPDATE", "300;refresher=uac 300", "400", "400;refresher=uac"}}) {
        SCOPED_TRACE(step.method);
        alice.WithSession([&](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly"), step.method == "UPDATE"); });
        auto first = NextOf(peer, step.method);
        ASSERT_TRUE(first);
        EXPECT_EQ(first->message->ValueText(HeaderType::SessionExpires) + " " + first->message->ValueText(HeaderType::MinSE),
                  step.sent);
        peer.Answer(*first, 422, "Session Interval Too Small",
                    [&](SipMessage& response) { response.Add(HeaderType::MinSE, step.peerMin); });
        auto again = NextOf(peer, step.method);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->message->Get<CSeq>(HeaderType::CSeq).Sequence(),
                  first->message->Get<CSeq>(HeaderType::CSeq).Sequence() + 1);
        EXPECT_EQ(again->message->ValueText(HeaderType::MinSE), step.peerMin);
        EXPECT_EQ(again->message->ValueText(HeaderType::SessionExpires), step.again);
        EXPECT_TRUE(Contains(std::string(again->message->Body()), "a=sendonly"));
        peer.Answer(*again, 200, "OK", answered(std::string(step.peerMin) + ";refresher=uac", true));
        if (step.method == "INVITE") {
            ASSERT_TRUE(NextOf(peer, "ACK"));
        }
    }
    ASSERT_TRUE(alice.Handler().WaitFor("answer", 3));
    EXPECT_EQ(alice.Handler().Count("offerRejected"), 0u);

    // The peer's UPDATE asking for less than our Min-SE is refused 422 with it (RFC 4028 section 9).
    SipMessage update = SipMessage::MakeRequest("UPDATE", invite->message->Get<NameAddr>(HeaderType::Contact).GetUri());
    update.Add(HeaderType::From, "<sip:bob@127.0.0.1>;tag=peer1");
    update.Add(HeaderType::To, invite->message->ValueText(HeaderType::From));
    update.Add(HeaderType::CallId, invite->message->ValueText(HeaderType::CallId));
    update.Add(HeaderType::CSeq, "1 UPDATE");
    update.Add(HeaderType::Contact, peerContact);
    update.Add(HeaderType::Supported, "timer");
    update.Add(HeaderType::SessionExpires, "60");
    peer.Stack().SendRequest(std::move(update), alice.Ua().Udp());
    const std::optional<SipMessage> refused = NextResponse(peer);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->StatusCode(), 422);
    EXPECT_EQ(refused->ValueText(HeaderType::MinSE), "400") << "the Min-SE raised by the 422s above";

    // Alice refreshes (400 s, so after 200 s, 2.5 s here) by re-INVITE: the peer allows no
    // UPDATE. Refused, it ends the call with BYE (RFC 4028 section 10).
    auto refresh = NextOf(peer, "INVITE", 15s);
    ASSERT_TRUE(refresh);
    EXPECT_EQ(refresh->message->ValueText(HeaderType::SessionExpires), "400;refresher=uac");
    EXPECT_TRUE(Contains(std::string(refresh->message->Body()), "a=sendonly")) << "the SDP as it stands";
    peer.Answer(*refresh, 403, "Forbidden");
    auto bye = NextOf(peer, "BYE");
    ASSERT_TRUE(bye);
    peer.Answer(*bye, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:Error"));
    EXPECT_EQ(alice.Handler().Count("offerRejected"), 0u);
}

// ---- Reliable provisional responses (RFC 3262) ---------------------------------------------------

// A caller that never sends the right PRACK: a PRACK naming another RSeq gets 481, the 183 keeps
// coming (same RSeq) and after 64*T1 the INVITE is refused 504 and the session ends (Timeout). A
// caller without 100rel gets 421 when bob requires it.
TEST(InviteSessionsReliable, NoPrackRefusesTheInviteAndAWrongOneGets481) {
    {
        Phone bob("bob");
        bob.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::Required);
        bob.Handler().onOfferHook = [](InviteSessionHandle session, const SipMessage&) {
            session->ProvideAnswer(*Sdp("sendrecv", 50000));
            dynamic_cast<ServerInviteSession*>(session.Get())->Provisional(183, true);
        };
        bob.Settle();
        ScriptedPeer caller;
        caller.Stack().SendRequest(ScriptedInvite(bob, caller, "no-prack", "100rel"), bob.Ua().Udp());
        std::optional<SipMessage> first;
        std::size_t copies = 0;
        std::optional<SipMessage> final;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!final && std::chrono::steady_clock::now() < deadline) {
            std::optional<SipMessage> response = NextResponse(caller, 1s);
            if (!response || response->StatusCode() == 100) {
                continue;
            }
            if (response->StatusCode() >= 200 && response->Get<CSeq>(HeaderType::CSeq).Method() == "INVITE") {
                final = response;
            } else if (response->StatusCode() == 183) {
                ++copies;
                if (!first) {
                    first = response;
                    // A PRACK for an RSeq that was never sent.
                    SipMessage prack = SipMessage::MakeRequest("PRACK", response->Get<NameAddr>(HeaderType::Contact).GetUri());
                    prack.Add(HeaderType::To, response->ValueText(HeaderType::To));
                    prack.Add(HeaderType::From, "<sip:carol@127.0.0.1>;tag=c1");
                    prack.Add(HeaderType::CallId, "no-prack");
                    prack.Add(HeaderType::CSeq, "2 PRACK");
                    const std::uint32_t rseq = response->Get<Number>(HeaderType::RSeq).Value();
                    prack.Add(HeaderType::RAck, std::to_string(rseq + 5) + " 1 INVITE");
                    caller.Stack().SendRequest(std::move(prack), bob.Ua().Udp());
                } else {
                    EXPECT_EQ(response->ValueText(HeaderType::RSeq), first->ValueText(HeaderType::RSeq));
                }
            } else if (response->Get<CSeq>(HeaderType::CSeq).Method() == "PRACK") {
                EXPECT_EQ(response->StatusCode(), 481);
            }
        }
        ASSERT_TRUE(final) << copies << " copies of the 183";
        EXPECT_EQ(final->StatusCode(), 504);
        EXPECT_GE(copies, 4u); // T1 = 50 ms doubling to T2 = 400 ms within 64*T1
        ASSERT_TRUE(bob.Handler().WaitFor("terminated:Timeout"));
        EXPECT_EQ(bob.Handler().Count("prack"), 0u);
        EXPECT_EQ(bob.Handler().Count("connected"), 0u);
    }
    {
        Phone bob("bob");
        bob.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::Required);
        ScriptedPeer caller;
        caller.Stack().SendRequest(ScriptedInvite(bob, caller, "no-100rel", ""), bob.Ua().Udp());
        std::optional<SipMessage> response = NextResponse(caller);
        while (response && response->StatusCode() == 100) {
            response = NextResponse(caller);
        }
        ASSERT_TRUE(response);
        EXPECT_EQ(response->StatusCode(), 421);
        EXPECT_EQ(response->ValueText(HeaderType::Require), "100rel");
        EXPECT_EQ(bob.Handler().Count("new"), 0u);
    }
}

// Alice's side of forks and retransmissions: the INVITE says Supported: 100rel; a retransmitted
// reliable 183 gets no second PRACK; a challenged PRACK is sent again with credentials and the
// same RAck; a second fork's reliable 180 is PRACKed in that fork's dialog.
TEST(InviteSessionsReliable, CallerPracksOncePerProvisionalAndFork) {
    Phone alice("alice");
    alice.Ua().Profile()->AddDigestCredential(DigestCredential{"test.realm", "alice", "secret"});
    ScriptedPeer callee;
    alice.Call(callee, Sdp("sendrecv").get());
    auto invite = NextOf(callee, "INVITE");
    ASSERT_TRUE(invite);
    EXPECT_EQ(invite->message->ValueText(HeaderType::Supported), "100rel");
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    auto reliable = [&](const std::string& tag, const std::string& rseq, bool withAnswer) {
        return [&, tag, rseq, withAnswer](SipMessage& response) {
            FromFork(callee, tag, withAnswer ? answer.get() : nullptr)(response);
            response.Add(HeaderType::Require, "100rel");
            response.Add(HeaderType::RSeq, rseq);
        };
    };
    callee.Answer(*invite, 183, "Session Progress", reliable("fork-a", "7", true));
    auto prack = NextOf(callee, "PRACK");
    ASSERT_TRUE(prack);
    EXPECT_EQ(prack->message->ValueText(HeaderType::RAck), "7 1 INVITE");
    EXPECT_NE(prack->message->ValueText(HeaderType::To).find("fork-a"), std::string::npos);
    callee.Answer(*prack, 407, "Proxy Authentication Required", Challenge(HeaderType::ProxyAuthenticate, "n1"));
    auto retried = NextOf(callee, "PRACK");
    ASSERT_TRUE(retried);
    EXPECT_EQ(retried->message->ValueText(HeaderType::RAck), "7 1 INVITE");
    EXPECT_EQ(retried->message->Get<CSeq>(HeaderType::CSeq).Sequence(), prack->message->Get<CSeq>(HeaderType::CSeq).Sequence() + 1);
    EXPECT_NE(retried->message->ValueText(HeaderType::ProxyAuthorization).find("username=\"alice\""), std::string::npos);
    callee.Answer(*retried, 200, "OK");

    // The 183 again (its PRACK lost, as the callee sees it), then another fork's first reliable 1xx:
    // the next PRACK to arrive is that fork's.
    callee.Answer(*invite, 183, "Session Progress", reliable("fork-a", "7", true));
    callee.Answer(*invite, 180, "Ringing", reliable("fork-b", "1", false));
    auto forkPrack = NextOf(callee, "PRACK");
    ASSERT_TRUE(forkPrack);
    EXPECT_EQ(forkPrack->message->ValueText(HeaderType::RAck), "1 1 INVITE");
    EXPECT_NE(forkPrack->message->ValueText(HeaderType::To).find("fork-b"), std::string::npos);
    callee.Answer(*forkPrack, 200, "OK");

    callee.Answer(*invite, 200, "OK", FromFork(callee, "fork-a"));
    auto ack = NextOf(callee, "ACK");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->message->Get<CSeq>(HeaderType::CSeq).Sequence(), 1u);
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    EXPECT_EQ(alice.Handler().Count("answer"), 1u);
    EXPECT_EQ(alice.Handler().Count("illegal"), 0u);
    const auto bye = HangUp(alice, callee);
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->message->Get<CSeq>(HeaderType::CSeq).Sequence(), retried->message->Get<CSeq>(HeaderType::CSeq).Sequence() + 1);
}

} // namespace
} // namespace zel::sip::stack::test

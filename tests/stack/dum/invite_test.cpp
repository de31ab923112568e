// Calls between two dialog usage managers of ours over loopback, and against a peer scripted from
// the test where one of ours cannot show a fault (an ACK that never comes, a digest challenge).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "stack/body/GenericBody.h"
#include "stack/body/SdpBody.h"
#include "stack/dum/DumTestSupport.h"
#include "stack/dum/InviteSession.h"
#include "stack/dum/InviteSessionHandler.h"
#include "stack/message/CSeq.h"
#include "stack/transport/TestCertificates.h"

namespace zel::sip::stack::test {
namespace {

std::unique_ptr<SdpBody> Sdp(const std::string& direction, std::uint16_t port = 49170) {
    const std::string text = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                             std::to_string(port) + " RTP/AVP 0\r\na=" + direction + "\r\n";
    auto parsed = SdpBody::Parse(ContentType("application", "sdp"), text);
    EXPECT_TRUE(parsed.Ok());
    return std::move(parsed.Value());
}

struct InviteRecord {
    std::string what;
    Usage::Id id = 0;
    int status = 0;
    std::string text; // the message (or the body for offer/answer)
};

/// Records what it is told and, unless told otherwise, answers like a phone that picks up: every
/// offer is answered with `answer` (and an unanswered INVITE accepted), every request for an offer
/// gets `offer`.
class RecordingInviteHandler : public InviteSessionHandler {
public:
    explicit RecordingInviteHandler(bool generic = false) : InviteSessionHandler(generic) {}

    std::function<void(ServerInviteSessionHandle, const SipMessage&)> onNewServer;
    std::function<void(InviteSessionHandle, const SipMessage&)> onOfferHook; // replaces the automatic answer
    std::function<void(ClientInviteSessionHandle, const SipMessage&)> onProvisionalHook;
    std::function<void(InviteSessionHandle, SipMessage&)> readyToSend;
    bool autoAnswer = true;
    bool keepExpiredSessions = false; // onSessionExpired does not end the session
    std::string answerDirection = "sendrecv";

    void onNewSession(ClientInviteSessionHandle session, OfferAnswerType, const SipMessage& msg) override {
        Record("new", session.Id(), msg);
        SetSession(session);
    }
    void onNewSession(ServerInviteSessionHandle session, OfferAnswerType, const SipMessage& msg) override {
        Record("new", session.Id(), msg);
        SetSession(session);
        if (onNewServer) {
            onNewServer(session, msg);
        }
    }
    void onFailure(ClientInviteSessionHandle session, const SipMessage& msg) override { Record("failure", session.Id(), msg); }
    void onEarlyMedia(ClientInviteSessionHandle session, const SipMessage& msg, const SdpBody&) override {
        Record("early", session.Id(), msg);
    }
    void onProvisional(ClientInviteSessionHandle session, const SipMessage& msg) override {
        Record("provisional", session.Id(), msg);
        if (onProvisionalHook) {
            onProvisionalHook(session, msg);
        }
    }
    void onConnected(ClientInviteSessionHandle session, const SipMessage& msg) override { Record("connected", session.Id(), msg); }
    void onConnected(InviteSessionHandle session, const SipMessage& msg) override { Record("connected", session.Id(), msg); }
    void onTerminated(InviteSessionHandle session, TerminatedReason reason, const SipMessage* msg) override {
        Record("terminated:" + std::string(ToString(reason)), session.Id(), msg != nullptr ? *msg : SipMessage());
    }
    void onForkDestroyed(ClientInviteSessionHandle session) override { Record("fork", session.Id(), SipMessage()); }
    void onRedirected(ClientInviteSessionHandle session, const SipMessage& msg) override { Record("redirected", session.Id(), msg); }
    void onAnswer(InviteSessionHandle session, const SipMessage&, const SdpBody& sdp) override {
        Record("answer", session.Id(), sdp.Encode());
    }
    void onOffer(InviteSessionHandle session, const SipMessage& msg, const SdpBody& sdp) override {
        Record("offer", session.Id(), sdp.Encode());
        if (onOfferHook) {
            onOfferHook(session, msg);
            return;
        }
        if (!autoAnswer) {
            return;
        }
        session->ProvideAnswer(*Sdp(answerDirection, 50000));
        AcceptIfServer(session);
    }
    void onOfferRequired(InviteSessionHandle session, const SipMessage& msg) override {
        Record("offerRequired", session.Id(), msg);
        if (!autoAnswer) {
            return;
        }
        session->ProvideOffer(*Sdp("sendrecv", 50002));
        AcceptIfServer(session);
    }
    void onOfferRejected(InviteSessionHandle session, const SipMessage* msg) override {
        Record("offerRejected", session.Id(), msg != nullptr ? *msg : SipMessage());
    }
    void onInfo(InviteSessionHandle session, const SipMessage& msg) override { Record("info", session.Id(), msg); }
    void onInfoSuccess(InviteSessionHandle session, const SipMessage& msg) override { Record("infoSuccess", session.Id(), msg); }
    void onInfoFailure(InviteSessionHandle session, const SipMessage& msg) override { Record("infoFailure", session.Id(), msg); }
    void onMessage(InviteSessionHandle session, const SipMessage& msg) override { Record("message", session.Id(), msg); }
    void onMessageSuccess(InviteSessionHandle session, const SipMessage& msg) override { Record("messageSuccess", session.Id(), msg); }
    void onMessageFailure(InviteSessionHandle session, const SipMessage& msg) override { Record("messageFailure", session.Id(), msg); }
    void onPrack(ServerInviteSessionHandle session, const SipMessage& msg) override { Record("prack", session.Id(), msg); }
    void onAckNotReceived(InviteSessionHandle session) override {
        Record("ackNotReceived", session.Id(), SipMessage());
        InviteSessionHandler::onAckNotReceived(session);
    }
    void onSessionExpired(InviteSessionHandle session) override {
        Record("sessionExpired", session.Id(), SipMessage());
        if (!keepExpiredSessions) {
            InviteSessionHandler::onSessionExpired(session);
        }
    }
    void onReadyToSend(InviteSessionHandle session, SipMessage& msg) override {
        Record("send", session.Id(), msg);
        if (readyToSend) {
            readyToSend(session, msg);
        }
    }

    std::size_t Count(const std::string& what) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& record : records_) {
            n += record.what == what ? 1 : 0;
        }
        return n;
    }
    bool WaitFor(const std::string& what, std::size_t count = 1, std::chrono::milliseconds timeout = 10s) const {
        return zel::sip::test::WaitUntil([&] { return Count(what) >= count; }, timeout);
    }
    /// The text of the `index`-th record of `what`.
    std::string Text(const std::string& what, std::size_t index = 0) const {
        std::lock_guard lock(mutex_);
        for (const auto& record : records_) {
            if (record.what == what && index-- == 0) {
                return record.text;
            }
        }
        return {};
    }
    std::vector<std::string> Whats() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> whats;
        for (const auto& record : records_) {
            if (record.what != "send") {
                whats.push_back(record.what);
            }
        }
        return whats;
    }
    /// Whether we sent a message whose first line starts with `start`.
    bool Sent(const std::string& start) const {
        std::lock_guard lock(mutex_);
        for (const auto& record : records_) {
            if (record.what == "send" && record.text.rfind(start, 0) == 0) {
                return true;
            }
        }
        return false;
    }
    InviteSessionHandle Session() const {
        std::lock_guard lock(mutex_);
        return session_;
    }

private:
    static void AcceptIfServer(InviteSessionHandle session) {
        if (auto* server = dynamic_cast<ServerInviteSession*>(session.Get()); server != nullptr && !server->IsAccepted()) {
            server->Accept(200);
        }
    }
    void SetSession(InviteSessionHandle session) {
        std::lock_guard lock(mutex_);
        session_ = session;
    }
    void Record(const std::string& what, Usage::Id id, const SipMessage& msg) { Record(what, id, msg.Encode()); }
    void Record(const std::string& what, Usage::Id id, const std::string& text) {
        std::lock_guard lock(mutex_);
        records_.push_back({what, id, 0, text});
    }

    mutable std::mutex mutex_;
    std::vector<InviteRecord> records_;
    InviteSessionHandle session_;
};

/// A user agent with an invite handler and a From of its own.
class Phone {
public:
    explicit Phone(const std::string& user) {
        ua_.OnDialogThread([&] {
            ua_.Manager().SetInviteSessionHandler(&handler_);
            ua_.Profile()->SetDefaultFrom(NameAddr::Parse("<sip:" + user + "@127.0.0.1>"));
        });
    }
    std::string Uri(const std::string& user, TransportType transport = TransportType::UDP) const {
        const std::uint16_t port = transport == TransportType::UDP ? ua_.Udp().port : ua_.Tcp().port;
        return "<sip:" + user + "@127.0.0.1:" + std::to_string(port) +
               (transport == TransportType::UDP ? "" : ";transport=tcp") + ">";
    }
    void Call(const std::string& target, const Body* offer) {
        ua_.Manager().SendCommand(
            ua_.Manager().MakeInviteSession(NameAddr::Parse(target), std::make_shared<UserProfile>(*ua_.Profile()), offer));
    }
    /// Makes the handler settings written on the test thread visible to the dialog thread (a
    /// round trip through its loop), before a peer's message makes it read them.
    void Settle() { ua_.OnDialogThread([] {}); }
    /// Runs `work` with the current session on the dialog thread.
    void WithSession(const std::function<void(InviteSession&)>& work) {
        ua_.OnDialogThread([&] { work(*handler_.Session()); });
    }
    std::size_t Sessions() {
        std::size_t count = 0;
        ua_.OnDialogThread([&] { count = ua_.Manager().InviteSessionCount(); });
        return count;
    }

    RecordingInviteHandler& Handler() { return handler_; }
    DumUnderTest& Ua() { return ua_; }

private:
    RecordingInviteHandler handler_;
    DumUnderTest ua_;
};

TEST(InviteSessions, CallWithOfferThenByeCarryingText) {
    Phone alice("alice");
    Phone bob("bob");
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "answer", "connected"}));
    EXPECT_EQ(bob.Handler().Whats(), (std::vector<std::string>{"new", "offer", "connected"}));
    EXPECT_NE(alice.Handler().Text("answer").find("m=audio 50000"), std::string::npos);
    // The initial INVITE is not reported; the ACK and bob's 200 are.
    EXPECT_FALSE(alice.Handler().Sent("INVITE "));
    EXPECT_TRUE(alice.Handler().Sent("ACK "));
    EXPECT_TRUE(bob.Handler().Sent("SIP/2.0 200"));
    bool connected = false;
    std::string callId;
    alice.WithSession([&](InviteSession& session) {
        connected = session.IsConnected();
        callId = session.CallId();
    });
    EXPECT_TRUE(connected);
    EXPECT_FALSE(callId.empty());

    // Changes made in onReadyToSend reach the wire: the BYE leaves with a text body, which bob
    // gets with onTerminated.
    alice.Handler().readyToSend = [](InviteSessionHandle, SipMessage& message) {
        if (message.IsRequest() && message.Method() == "BYE") {
            message.SetBody("see you", Mime("text", "plain"));
        }
    };
    alice.WithSession([](InviteSession& session) { session.End(EndReason::UserHangup); });
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
    EXPECT_NE(bob.Handler().Text("terminated:RemoteBye").find("see you"), std::string::npos);
    EXPECT_EQ(alice.Sessions(), 0u);
    EXPECT_EQ(bob.Sessions(), 0u);
    // A handle to an ended session raises the handle error.
    EXPECT_THROW((void)alice.Handler().Session().Get(), HandleError);
    EXPECT_THROW((void)InviteSessionHandle().Get(), HandleError);
}

TEST(InviteSessions, CallWithoutOfferIsAnsweredInTheAck) {
    Phone alice("alice");
    Phone bob("bob");
    alice.Call(bob.Uri("bob"), nullptr);
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    EXPECT_EQ(bob.Handler().Whats(), (std::vector<std::string>{"new", "offerRequired", "answer", "connected"}));
    EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "offer", "connected"}));
    EXPECT_NE(bob.Handler().Text("answer").find("m=audio 50000"), std::string::npos);
}

TEST(InviteSessions, RejectedWithWarningBothCodes) {
    for (const int code : {486, 488}) {
        Phone alice("alice");
        Phone bob("bob");
        bob.Handler().autoAnswer = false;
        bob.Handler().onNewServer = [code](ServerInviteSessionHandle session, const SipMessage&) {
            session->Reject(code, Warning(399, "bob.example", "not now"));
        };
        bob.Settle();
        alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
        ASSERT_TRUE(alice.Handler().WaitFor("terminated:Rejected")) << code;
        ASSERT_TRUE(bob.Handler().WaitFor("terminated:Rejected")) << code;
        EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "failure", "terminated:Rejected"}));
        const std::string failure = alice.Handler().Text("failure");
        EXPECT_EQ(failure.rfind("SIP/2.0 " + std::to_string(code), 0), 0u) << failure;
        EXPECT_NE(failure.find("Warning: 399 bob.example \"not now\""), std::string::npos) << failure;
        // The rejected session reported no offer: the application refused it before.
        EXPECT_EQ(bob.Handler().Count("offer"), 0u);
    }
}

TEST(InviteSessions, CancelBeforeTheAnswerAndCrossingIt) {
    {
        Phone alice("alice");
        Phone bob("bob");
        bob.Handler().autoAnswer = false;
        bob.Handler().onNewServer = [](ServerInviteSessionHandle session, const SipMessage&) { session->Provisional(180); };
        alice.Handler().onProvisionalHook = [](ClientInviteSessionHandle session, const SipMessage&) { session->End(); };
        bob.Settle();
        alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
        ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalCancel"));
        ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteCancel"));
        EXPECT_EQ(alice.Handler().Count("failure"), 0u);
        EXPECT_TRUE(bob.Handler().Sent("SIP/2.0 487"));
    }
    {
        // Bob rings and answers; alice cancels on the ringing once bob's 200 has left, so her
        // CANCEL crosses the 200: the 200 is ACKed and the call ended with BYE.
        Phone alice("alice");
        Phone bob("bob");
        std::promise<void> okSent;
        std::atomic<bool> once{false};
        bob.Handler().onNewServer = [](ServerInviteSessionHandle session, const SipMessage&) { session->Provisional(180); };
        bob.Handler().readyToSend = [&](InviteSessionHandle, SipMessage& message) {
            if (message.IsResponse() && message.StatusCode() == 200 && !once.exchange(true)) {
                okSent.set_value();
            }
        };
        bob.Settle();
        alice.Handler().onProvisionalHook = [&](ClientInviteSessionHandle session, const SipMessage&) {
            okSent.get_future().wait();
            session->End();
        };
        alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
        ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalCancel"));
        ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
        EXPECT_TRUE(alice.Handler().Sent("ACK "));
        EXPECT_TRUE(alice.Handler().Sent("BYE "));
        EXPECT_EQ(alice.Handler().Count("connected"), 0u);
    }
}

TEST(InviteSessions, ReInviteHoldAndResumeThenInfoAndMessage) {
    Phone alice("alice");
    Phone bob("bob");
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));

    bob.Handler().answerDirection = "recvonly";
    bob.Settle();
    alice.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    ASSERT_TRUE(alice.Handler().WaitFor("answer", 2));
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

TEST(InviteSessions, GlareIsResolvedOnBothSides) {
    Phone alice("alice");
    Phone bob("bob");
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));

    // Make the re-INVITEs cross for sure: alice's waits in onReadyToSend until bob's has left.
    std::promise<void> bobSent;
    std::atomic<bool> once{false};
    bob.Handler().readyToSend = [&](InviteSessionHandle, SipMessage& message) {
        if (message.IsRequest() && message.Method() == "INVITE" && !once.exchange(true)) {
            bobSent.set_value();
        }
    };
    std::atomic<bool> first{true};
    alice.Handler().readyToSend = [&](InviteSessionHandle, SipMessage& message) {
        if (message.IsRequest() && message.Method() == "INVITE" && first.exchange(false)) {
            bob.Ua().Manager().Post([&] { bob.Handler().Session()->ProvideOffer(*Sdp("sendonly", 50010)); });
            bobSent.get_future().wait();
        }
    };
    alice.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly", 50020)); });
    // The crossing offers are refused with 491 (by both sides, or only by alice when her 491
    // reaches bob before her re-INVITE does) and both get through on their retries.
    ASSERT_TRUE(alice.Handler().WaitFor("answer", 2, 15s));
    ASSERT_TRUE(bob.Handler().WaitFor("answer", 1, 15s));
    EXPECT_TRUE(alice.Handler().Sent("SIP/2.0 491"));
    EXPECT_EQ(alice.Handler().Count("offerRejected"), 0u);
    EXPECT_EQ(bob.Handler().Count("offerRejected"), 0u);
}

/// The requests and ACKs a scripted peer receives, one at a time.
std::optional<TransactionUserMessage> NextOf(ScriptedPeer& peer, const std::string& method,
                                             std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto message = peer.Stack().Queue().Pop(50ms);
        if (message && message->message != nullptr && message->message->IsRequest() &&
            message->message->Method() == method) {
            return message;
        }
    }
    return std::nullopt;
}

TEST(InviteSessions, TwoHundredRetransmittedUntilAckThenAckNotReceived) {
    Phone bob("bob");
    ScriptedPeer caller;
    // The scripted caller sends an INVITE with an offer and never ACKs.
    SipMessage invite = SipMessage::MakeRequest("INVITE", Uri::Parse("sip:bob@127.0.0.1:" + std::to_string(bob.Ua().Udp().port)));
    invite.Add(HeaderType::To, "<sip:bob@127.0.0.1>");
    invite.Add(HeaderType::From, "<sip:carol@127.0.0.1>;tag=c1");
    invite.Add(HeaderType::CallId, "retransmit-test");
    invite.Add(HeaderType::CSeq, "1 INVITE");
    invite.Add(HeaderType::Contact, "<sip:carol@127.0.0.1:" + std::to_string(caller.Udp().port) + ">");
    const std::unique_ptr<SdpBody> offer = Sdp("sendrecv");
    invite.SetBody(offer->Encode(), Mime("application", "sdp"));
    caller.Stack().SendRequest(std::move(invite), bob.Ua().Udp());

    // The 2xx keeps coming (T1 = 50 ms here, doubling to T2) until 64*T1; then the default
    // onAckNotReceived ends the call with BYE.
    std::size_t okCount = 0;
    std::optional<TransactionUserMessage> bye;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!bye && std::chrono::steady_clock::now() < deadline) {
        auto message = caller.Stack().Queue().Pop(50ms);
        if (!message || message->message == nullptr) {
            continue;
        }
        if (message->message->IsResponse() && message->message->StatusCode() == 200) {
            ++okCount;
        } else if (message->message->IsRequest() && message->message->Method() == "BYE") {
            bye = message;
        }
    }
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
    alice.Call("<sip:bob@127.0.0.1:" + std::to_string(proxy.Udp().port) + ">", Sdp("sendrecv").get());

    auto first = NextOf(proxy, "INVITE");
    ASSERT_TRUE(first);
    proxy.Answer(*first, 407, "Proxy Authentication Required", [](SipMessage& response) {
        response.Add(HeaderType::ProxyAuthenticate, "Digest realm=\"test.realm\", nonce=\"n1\", qop=\"auth\"");
    });
    auto second = NextOf(proxy, "INVITE");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->message->Get<CSeq>(HeaderType::CSeq).Sequence(), 2u);
    EXPECT_EQ(second->message->ValueText(HeaderType::CallId), first->message->ValueText(HeaderType::CallId));
    EXPECT_NE(second->message->ValueText(HeaderType::ProxyAuthorization).find("username=\"alice\""), std::string::npos);
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    proxy.Answer(*second, 200, "OK", [&](SipMessage& response) {
        response.Add(HeaderType::Contact, "<sip:bob@127.0.0.1:" + std::to_string(proxy.Udp().port) + ">");
        response.SetBody(answer->Encode(), Mime("application", "sdp"));
    });
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    auto ack = NextOf(proxy, "ACK");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->message->Get<CSeq>(HeaderType::CSeq).Sequence(), 2u);
    // The ACK carries the INVITE's credentials; the BYE gets its own (nc 2).
    EXPECT_NE(ack->message->ValueText(HeaderType::ProxyAuthorization).find("nc=00000001"), std::string::npos);
    alice.WithSession([](InviteSession& session) { session.End(); });
    auto bye = NextOf(proxy, "BYE");
    ASSERT_TRUE(bye);
    EXPECT_NE(bye->message->ValueText(HeaderType::ProxyAuthorization).find("nc=00000002"), std::string::npos);
    proxy.Answer(*bye, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
}

TEST(InviteSessions, ChallengedReInviteAndItsRetransmitted2xx) {
    Phone alice("alice");
    alice.Ua().Profile()->AddDigestCredential(DigestCredential{"test.realm", "alice", "secret"});
    ScriptedPeer peer;
    alice.Call("<sip:bob@127.0.0.1:" + std::to_string(peer.Udp().port) + ">", Sdp("sendrecv").get());
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    auto withAnswer = [&](SipMessage& response) {
        response.Add(HeaderType::Contact, "<sip:bob@127.0.0.1:" + std::to_string(peer.Udp().port) + ">");
        response.SetBody(answer->Encode(), Mime("application", "sdp"));
    };
    auto invite = NextOf(peer, "INVITE");
    ASSERT_TRUE(invite);
    peer.Answer(*invite, 200, "OK", withAnswer);
    ASSERT_TRUE(NextOf(peer, "ACK"));

    alice.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    auto reInvite = NextOf(peer, "INVITE");
    ASSERT_TRUE(reInvite);
    peer.Answer(*reInvite, 401, "Unauthorized", [](SipMessage& response) {
        response.Add(HeaderType::WwwAuthenticate, "Digest realm=\"test.realm\", nonce=\"n2\", qop=\"auth\"");
    });
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
    alice.WithSession([](InviteSession& session) { session.End(); });
    auto bye = NextOf(peer, "BYE");
    ASSERT_TRUE(bye);
    peer.Answer(*bye, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
}

TEST(InviteSessions, SecondForkAnsweringIsAcknowledgedAndEnded) {
    Phone alice("alice");
    ScriptedPeer forker;
    alice.Call("<sip:bob@127.0.0.1:" + std::to_string(forker.Udp().port) + ">", Sdp("sendrecv").get());
    auto invite = NextOf(forker, "INVITE");
    ASSERT_TRUE(invite);
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    for (const std::string tag : {"fork-a", "fork-b"}) {
        forker.Answer(*invite, 200, "OK", [&](SipMessage& response) {
            response.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", tag);
            response.Add(HeaderType::Contact, "<sip:" + tag + "@127.0.0.1:" + std::to_string(forker.Udp().port) + ">");
            response.SetBody(answer->Encode(), Mime("application", "sdp"));
        });
    }
    std::vector<std::string> seen; // method and To tag of what reaches the forker
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::optional<TransactionUserMessage> bye;
    while (!bye && std::chrono::steady_clock::now() < deadline) {
        auto message = forker.Stack().Queue().Pop(50ms);
        if (message && message->message != nullptr && message->message->IsRequest()) {
            const NameAddr* to = message->message->Peek<NameAddr>(HeaderType::To);
            const Parameter* tag = to != nullptr ? to->Params().Find("tag") : nullptr;
            seen.push_back(std::string(message->message->Method()) + " " + (tag != nullptr ? tag->value : ""));
            if (message->message->Method() == "BYE") {
                bye = message;
            }
        }
    }
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
    alice.WithSession([](InviteSession& session) { session.End(); });
    auto hangUp = NextOf(forker, "BYE");
    ASSERT_TRUE(hangUp);
    EXPECT_NE(hangUp->message->ValueText(HeaderType::To).find("fork-a"), std::string::npos);
    forker.Answer(*hangUp, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
}

TEST(InviteSessions, ShutdownEndsEveryCall) {
    Phone alice("alice");
    Phone bob("bob");
    Phone carol("carol");
    carol.Handler().autoAnswer = false; // carol's call stays unanswered
    carol.Settle();
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    alice.Call(carol.Uri("carol"), Sdp("sendrecv").get());
    ASSERT_TRUE(carol.Handler().WaitFor("new"));
    EXPECT_TRUE(alice.Ua().Stop());
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
    ASSERT_TRUE(carol.Handler().WaitFor("terminated:RemoteCancel"));
    EXPECT_EQ(bob.Sessions(), 0u);
    EXPECT_EQ(carol.Sessions(), 0u);
}

/// A call over a stream transport, re-offered once and ended by the called side.
void CallOverStream(Phone& alice, Phone& bob, const std::string& target) {
    alice.Call(target, Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    bob.WithSession([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
    ASSERT_TRUE(bob.Handler().WaitFor("answer"));
    bob.WithSession([](InviteSession& session) { session.End(); });
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:RemoteBye"));
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:LocalBye"));
}

TEST(InviteSessions, CallOverTcp) {
    Phone alice("alice");
    Phone bob("bob");
    CallOverStream(alice, bob, bob.Uri("bob", TransportType::TCP));
}

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
    CallOverStream(alice, bob, "<sip:bob@127.0.0.1:" + std::to_string(tls.port) + ";transport=tls>");
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

/// The messages `phone` sends that `wanted` picks, as sent (after onReadyToSend). What it records
/// is shared with the handler's hook, so it may go before the phone does.
class SentMessages {
public:
    SentMessages(Phone& phone, std::function<bool(const SipMessage&)> wanted) : state_(std::make_shared<State>()) {
        phone.Handler().readyToSend = [state = state_, wanted = std::move(wanted)](InviteSessionHandle, SipMessage& message) {
            if (wanted(message)) {
                std::lock_guard lock(state->mutex);
                state->sent.push_back(message.Encode());
            }
        };
        phone.Settle();
    }
    /// Requests whose method is one of `methods`.
    static std::function<bool(const SipMessage&)> Requests(std::vector<std::string> methods) {
        return [methods = std::move(methods)](const SipMessage& message) {
            return message.IsRequest() && std::find(methods.begin(), methods.end(), message.Method()) != methods.end();
        };
    }
    std::size_t Count() const {
        std::lock_guard lock(state_->mutex);
        return state_->sent.size();
    }
    std::string At(std::size_t index) const {
        std::lock_guard lock(state_->mutex);
        return index < state_->sent.size() ? state_->sent[index] : std::string();
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::string> sent;
    };
    std::shared_ptr<State> state_;
};

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
        SentMessages refreshes(alice, SentMessages::Requests({"UPDATE", "INVITE"}));
        alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
        ASSERT_TRUE(alice.Handler().WaitFor("connected"));
        ASSERT_TRUE(bob.Handler().WaitFor("connected"));
        // Two refreshes 45 s (2.25 s here) apart: the second comes only if the 2xx of the first
        // restarted alice's timer, and finds the call only if the first restarted bob's, who ends
        // it 60 s after the last refresh he answered.
        ASSERT_TRUE(zel::sip::test::WaitUntil([&] { return refreshes.Count() >= 2; }, 20s))
            << ::testing::PrintToString(alice.Handler().Whats());
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string refresh = refreshes.At(i);
            EXPECT_EQ(refresh.rfind(peerAllowsUpdate ? "UPDATE " : "INVITE ", 0), 0u) << refresh;
            EXPECT_TRUE(Contains(refresh, "Session-Expires: 90;refresher=uac")) << refresh;
            EXPECT_TRUE(Contains(refresh, "Min-SE: 90")) << refresh;
            EXPECT_TRUE(Contains(refresh, "timer")) << refresh;
            // An UPDATE refreshes without offer; a re-INVITE offers the SDP it had, unchanged.
            EXPECT_EQ(Contains(refresh, "m=audio 49170"), !peerAllowsUpdate) << refresh;
            EXPECT_EQ(Contains(refresh, "o=- 1 1 IN IP4"), !peerAllowsUpdate) << refresh;
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

TEST(InviteSessionTimers, SessionExpiresWhenTheRefresherFallsSilent) {
    // The refresher runs at real time (its refresh would come after 45 s), the other side 30 times
    // faster: for it the refresher is silent, and after 60 s (2 s here) it ends the call, either
    // as the caller or as the callee.
    for (const bool callerRefreshes : {false, true}) {
        SCOPED_TRACE(callerRefreshes ? "the caller refreshes" : "the callee refreshes");
        Phone alice("alice");
        Phone bob("bob");
        EnableSessionTimers(alice, callerRefreshes ? SessionRefresherPreference::Local : SessionRefresherPreference::Remote,
                            callerRefreshes ? 1 : 30);
        EnableSessionTimers(bob, SessionRefresherPreference::Unspecified, callerRefreshes ? 30 : 1);
        Phone& watcher = callerRefreshes ? bob : alice;
        Phone& refresher = callerRefreshes ? alice : bob;
        SentMessages watcherRequests(watcher, SentMessages::Requests({"UPDATE", "INVITE", "BYE"}));
        alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
        ASSERT_TRUE(refresher.Handler().WaitFor("terminated:RemoteBye", 1, 15s))
            << ::testing::PrintToString(watcher.Handler().Whats());
        ASSERT_TRUE(watcher.Handler().WaitFor("terminated:Timeout"));
        EXPECT_EQ(watcher.Handler().Count("connected"), 1u);
        EXPECT_EQ(watcher.Handler().Count("sessionExpired"), 1u);
        // The side that does not refresh sends nothing but the BYE (RFC 4028 section 10).
        ASSERT_EQ(watcherRequests.Count(), 1u) << watcherRequests.At(0) << watcherRequests.At(1);
        EXPECT_EQ(watcherRequests.At(0).rfind("BYE ", 0), 0u);
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

TEST(InviteSessionTimers, IntervalBelowTheCalleesMinSEIsRaisedAfter422) {
    Phone alice("alice");
    Phone bob("bob");
    EnableSessionTimers(alice, SessionRefresherPreference::Unspecified, 1);
    EnableSessionTimers(bob, SessionRefresherPreference::Unspecified, 1, 1800, 180);
    SentMessages bobResponses(bob, [](const SipMessage& message) { return message.IsResponse(); });
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    // Neither application hears of the refused INVITE: alice's goes again with bob's Min-SE, next CSeq.
    EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "answer", "connected"}));
    EXPECT_EQ(bob.Handler().Whats(), (std::vector<std::string>{"new", "offer", "connected"}));
    ASSERT_GE(bobResponses.Count(), 2u);
    const std::string refused = bobResponses.At(0);
    EXPECT_EQ(refused.rfind("SIP/2.0 422 Session Interval Too Small", 0), 0u) << refused;
    EXPECT_TRUE(Contains(refused, "Min-SE: 180")) << refused;
    EXPECT_TRUE(Contains(refused, "CSeq: 1 INVITE")) << refused;
    const std::string ok = bobResponses.At(bobResponses.Count() - 1);
    EXPECT_TRUE(Contains(ok, "CSeq: 2 INVITE")) << ok;
    EXPECT_TRUE(Contains(ok, "Session-Expires: 180;refresher=uac")) << ok;
    EXPECT_TRUE(Contains(ok, "Require: timer")) << ok;
    EXPECT_TRUE(Contains(ok, "Allow: ")) << ok;
    alice.WithSession([](InviteSession& session) { session.End(); });
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
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
    std::optional<SipMessage> refused;
    for (auto deadline = std::chrono::steady_clock::now() + 5s; !refused && std::chrono::steady_clock::now() < deadline;) {
        auto message = peer.Stack().Queue().Pop(50ms);
        if (message && message->message != nullptr && message->message->IsResponse()) {
            refused = *message->message;
        }
    }
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

/// Every message `phone` sent, in order, as text.
std::vector<std::string> SentTexts(Phone& phone) {
    std::vector<std::string> sent;
    for (std::size_t i = 0;; ++i) {
        std::string text = phone.Handler().Text("send", i);
        if (text.empty()) {
            return sent;
        }
        sent.push_back(std::move(text));
    }
}

/// The first of `messages` that starts with `start` and contains `part`, or empty.
std::string FindMessage(const std::vector<std::string>& messages, const std::string& start, const std::string& part) {
    for (const std::string& message : messages) {
        if (message.rfind(start, 0) == 0 && message.find(part) != std::string::npos) {
            return message;
        }
    }
    return {};
}

/// The index of the first of `messages` that starts with `status` and answers `method` (by its
/// CSeq), or messages.size().
std::size_t IndexOfAnswer(const std::vector<std::string>& messages, const std::string& status, const std::string& method) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const std::size_t cseq = messages[i].find("\r\nCSeq: ");
        const std::size_t end = cseq == std::string::npos ? cseq : messages[i].find("\r\n", cseq + 2);
        if (messages[i].rfind(status, 0) == 0 && end != std::string::npos &&
            messages[i].compare(end - method.size() - 1, method.size() + 1, " " + method) == 0) {
            return i;
        }
    }
    return messages.size();
}

std::size_t IndexOf(const std::vector<std::string>& messages, const std::string& start, const std::string& part) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].rfind(start, 0) == 0 && messages[i].find(part) != std::string::npos) {
            return i;
        }
    }
    return messages.size();
}

// Bob answers in a reliable 183 and accepts at once: his 200 waits for alice's PRACK, goes without
// a body (the answer went in the 183), and the call is ACKed and ended, over UDP and TCP.
TEST(InviteSessionsReliable, AnswerInReliableProvisionalHoldsTheTwoHundredUntilPrack) {
    for (const TransportType transport : {TransportType::UDP, TransportType::TCP}) {
        Phone alice("alice");
        Phone bob("bob");
        bob.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::SupportedEssential);
        bob.Handler().onOfferHook = [](InviteSessionHandle session, const SipMessage&) {
            session->ProvideAnswer(*Sdp("sendrecv", 50000));
            auto* server = dynamic_cast<ServerInviteSession*>(session.Get());
            server->Provisional(180); // no description: sent as it is
            server->Provisional(183, /*withBody=*/true);
            server->Accept(200);
        };
        bob.Settle();
        alice.Call(bob.Uri("bob", transport), Sdp("sendrecv").get());
        ASSERT_TRUE(alice.Handler().WaitFor("connected")) << ToString(transport);
        ASSERT_TRUE(bob.Handler().WaitFor("connected")) << ToString(transport);
        EXPECT_EQ(alice.Handler().Whats(),
                  (std::vector<std::string>{"new", "provisional", "answer", "provisional", "connected"}));
        EXPECT_EQ(bob.Handler().Whats(), (std::vector<std::string>{"new", "offer", "prack", "connected"}));
        EXPECT_NE(alice.Handler().Text("answer").find("m=audio 50000"), std::string::npos);

        const std::vector<std::string> bobSent = SentTexts(bob);
        const std::string ringing = FindMessage(bobSent, "SIP/2.0 180", "");
        EXPECT_EQ(ringing.find("RSeq"), std::string::npos) << ringing;
        const std::string progress = FindMessage(bobSent, "SIP/2.0 183", "");
        EXPECT_NE(progress.find("Require: 100rel"), std::string::npos) << progress;
        EXPECT_NE(progress.find("RSeq: "), std::string::npos) << progress;
        const std::size_t at = progress.find("RSeq: ") + 6;
        const std::string rseq = progress.substr(at, progress.find("\r\n", at) - at);
        const std::vector<std::string> aliceSent = SentTexts(alice);
        const std::string prack = FindMessage(aliceSent, "PRACK ", "");
        EXPECT_NE(prack.find("RAck: " + rseq + " 1 INVITE"), std::string::npos) << prack;
        EXPECT_EQ(std::count_if(aliceSent.begin(), aliceSent.end(),
                                [](const std::string& m) { return m.rfind("PRACK ", 0) == 0; }),
                  1);
        // The 200 for the PRACK before the 200 for the INVITE, which repeats no description.
        const std::size_t prackOk = IndexOfAnswer(bobSent, "SIP/2.0 200", "PRACK");
        const std::size_t inviteOk = IndexOfAnswer(bobSent, "SIP/2.0 200", "INVITE");
        ASSERT_LT(prackOk, bobSent.size());
        ASSERT_LT(inviteOk, bobSent.size());
        EXPECT_LT(prackOk, inviteOk);
        EXPECT_EQ(bobSent[inviteOk].find("m=audio"), std::string::npos) << bobSent[inviteOk];

        alice.WithSession([](InviteSession& session) { session.End(); });
        ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
        ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
    }
}

// Bob sends every 1xx reliably (mode Supported): his 183 with the answer waits behind the
// unacknowledged 180 and leaves with the next RSeq once alice PRACKs the 180; his 200 waits for the
// 183's PRACK in turn.
TEST(InviteSessionsReliable, ProvisionalsQueueBehindTheUnacknowledgedOne) {
    Phone alice("alice");
    Phone bob("bob");
    bob.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::Supported);
    bob.Handler().onOfferHook = [](InviteSessionHandle session, const SipMessage&) {
        session->ProvideAnswer(*Sdp("sendrecv", 50000));
        auto* server = dynamic_cast<ServerInviteSession*>(session.Get());
        server->Provisional(180);
        server->Provisional(183, /*withBody=*/true);
        server->Accept(200);
    };
    bob.Settle();
    alice.Call(bob.Uri("bob"), Sdp("sendrecv").get());
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "provisional", "answer", "provisional", "connected"}));
    EXPECT_EQ(bob.Handler().Count("prack"), 2u);
    const std::vector<std::string> bobSent = SentTexts(bob);
    const std::size_t ringing = IndexOf(bobSent, "SIP/2.0 180", "RSeq: ");
    const std::size_t firstPrackOk = IndexOfAnswer(bobSent, "SIP/2.0 200", "PRACK");
    const std::size_t progress = IndexOf(bobSent, "SIP/2.0 183", "RSeq: ");
    const std::size_t inviteOk = IndexOfAnswer(bobSent, "SIP/2.0 200", "INVITE");
    ASSERT_LT(inviteOk, bobSent.size());
    EXPECT_LT(ringing, firstPrackOk);
    EXPECT_LT(firstPrackOk, progress);
    EXPECT_LT(progress, inviteOk);
    auto rseqOf = [](const std::string& message) {
        const std::size_t at = message.find("RSeq: ") + 6;
        return std::stoul(message.substr(at, message.find("\r\n", at) - at));
    };
    EXPECT_EQ(rseqOf(bobSent[progress]), rseqOf(bobSent[ringing]) + 1);
    alice.WithSession([](InviteSession& session) { session.End(); });
    ASSERT_TRUE(bob.Handler().WaitFor("terminated:RemoteBye"));
}

// Alice calls without an offer; bob offers in a reliable 183: alice's answer leaves in the PRACK,
// bob hears it there (onAnswer, then onPrack), and neither the 200 nor the ACK carries SDP.
TEST(InviteSessionsReliable, OfferInReliableProvisionalIsAnsweredInThePrack) {
    Phone alice("alice");
    Phone bob("bob");
    bob.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::Supported);
    bob.Handler().autoAnswer = false;
    bob.Handler().onNewServer = [](ServerInviteSessionHandle session, const SipMessage&) {
        session->ProvideOffer(*Sdp("sendrecv", 50002));
        session->Provisional(183, true);
        session->Accept(200);
    };
    bob.Settle();
    alice.Call(bob.Uri("bob"), nullptr);
    ASSERT_TRUE(bob.Handler().WaitFor("connected"));
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    EXPECT_EQ(bob.Handler().Whats(), (std::vector<std::string>{"new", "offerRequired", "answer", "prack", "connected"}));
    EXPECT_EQ(alice.Handler().Whats(), (std::vector<std::string>{"new", "offer", "provisional", "connected"}));
    EXPECT_NE(bob.Handler().Text("answer").find("m=audio 50000"), std::string::npos);
    const std::string prack = FindMessage(SentTexts(alice), "PRACK ", "");
    EXPECT_NE(prack.find("m=audio 50000"), std::string::npos) << prack;
    const std::vector<std::string> bobSent = SentTexts(bob);
    const std::size_t inviteOk = IndexOfAnswer(bobSent, "SIP/2.0 200", "INVITE");
    ASSERT_LT(inviteOk, bobSent.size());
    EXPECT_EQ(bobSent[inviteOk].find("m=audio"), std::string::npos);
    EXPECT_EQ(FindMessage(SentTexts(alice), "ACK ", "").find("m=audio"), std::string::npos);
    EXPECT_EQ(bob.Handler().Count("illegal"), 0u);
}

/// A caller scripted from the test: an INVITE with an offer and `supported` (when not empty) to
/// `bob`, over UDP.
SipMessage ScriptedInvite(Phone& bob, ScriptedPeer& caller, const std::string& callId, const std::string& supported) {
    SipMessage invite = SipMessage::MakeRequest("INVITE", Uri::Parse("sip:bob@127.0.0.1:" + std::to_string(bob.Ua().Udp().port)));
    invite.Add(HeaderType::To, "<sip:bob@127.0.0.1>");
    invite.Add(HeaderType::From, "<sip:carol@127.0.0.1>;tag=c1");
    invite.Add(HeaderType::CallId, callId);
    invite.Add(HeaderType::CSeq, "1 INVITE");
    invite.Add(HeaderType::Contact, "<sip:carol@127.0.0.1:" + std::to_string(caller.Udp().port) + ">");
    if (!supported.empty()) {
        invite.Add(HeaderType::Supported, supported);
    }
    const std::unique_ptr<SdpBody> offer = Sdp("sendrecv");
    invite.SetBody(offer->Encode(), Mime("application", "sdp"));
    return invite;
}

/// The next response the scripted caller gets.
std::optional<SipMessage> NextResponse(ScriptedPeer& peer, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto message = peer.Stack().Queue().Pop(50ms);
        if (message && message->message != nullptr && message->message->IsResponse()) {
            return *message->message;
        }
    }
    return std::nullopt;
}

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
    alice.Call("<sip:bob@127.0.0.1:" + std::to_string(callee.Udp().port) + ">", Sdp("sendrecv").get());
    auto invite = NextOf(callee, "INVITE");
    ASSERT_TRUE(invite);
    EXPECT_EQ(invite->message->ValueText(HeaderType::Supported), "100rel");
    const std::unique_ptr<SdpBody> answer = Sdp("sendrecv", 40000);
    auto reliable = [&](const std::string& tag, const std::string& rseq, bool withAnswer) {
        return [&, tag, rseq, withAnswer](SipMessage& response) {
            response.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", tag);
            response.Add(HeaderType::Contact, "<sip:" + tag + "@127.0.0.1:" + std::to_string(callee.Udp().port) + ">");
            response.Add(HeaderType::Require, "100rel");
            response.Add(HeaderType::RSeq, rseq);
            if (withAnswer) {
                response.SetBody(answer->Encode(), Mime("application", "sdp"));
            }
        };
    };
    callee.Answer(*invite, 183, "Session Progress", reliable("fork-a", "7", true));
    auto prack = NextOf(callee, "PRACK");
    ASSERT_TRUE(prack);
    EXPECT_EQ(prack->message->ValueText(HeaderType::RAck), "7 1 INVITE");
    EXPECT_NE(prack->message->ValueText(HeaderType::To).find("fork-a"), std::string::npos);
    callee.Answer(*prack, 407, "Proxy Authentication Required", [](SipMessage& response) {
        response.Add(HeaderType::ProxyAuthenticate, "Digest realm=\"test.realm\", nonce=\"n1\", qop=\"auth\"");
    });
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

    callee.Answer(*invite, 200, "OK", [&](SipMessage& response) {
        response.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", "fork-a");
        response.Add(HeaderType::Contact, "<sip:fork-a@127.0.0.1:" + std::to_string(callee.Udp().port) + ">");
    });
    auto ack = NextOf(callee, "ACK");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->message->Get<CSeq>(HeaderType::CSeq).Sequence(), 1u);
    ASSERT_TRUE(alice.Handler().WaitFor("connected"));
    EXPECT_EQ(alice.Handler().Count("answer"), 1u);
    EXPECT_EQ(alice.Handler().Count("illegal"), 0u);
    alice.WithSession([](InviteSession& session) { session.End(); });
    auto bye = NextOf(callee, "BYE");
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->message->Get<CSeq>(HeaderType::CSeq).Sequence(), retried->message->Get<CSeq>(HeaderType::CSeq).Sequence() + 1);
    callee.Answer(*bye, 200, "OK");
    ASSERT_TRUE(alice.Handler().WaitFor("terminated:LocalBye"));
}

} // namespace
} // namespace zel::sip::stack::test

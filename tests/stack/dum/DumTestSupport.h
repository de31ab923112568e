#pragma once

// A dialog usage manager on its own stack and thread for tests, handlers that record what they
// are told (registrations, invite sessions), a phone built from them, and a scripted peer (another
// SipStack of ours, driven from the test thread) that plays a registrar, a callee or a caller.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <exception>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "stack/core/SipStack.h"
#include "stack/dum/ClientRegistration.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/DumThread.h"
#include "stack/dum/InviteSession.h"
#include "stack/dum/InviteSessionHandler.h"
#include "support/Process.h"

namespace zel::sip::stack::test {

using namespace std::chrono_literals;

/// Short timers so that failures and retransmissions show quickly.
inline StackOptions FastStackOptions() {
    StackOptions options;
    options.transactions.timers.t1 = std::chrono::milliseconds(50);
    options.transactions.timers.t2 = std::chrono::milliseconds(400);
    options.transactions.timers.t4 = std::chrono::milliseconds(500);
    options.drainTimeout = std::chrono::milliseconds(200);
    return options;
}

/// One handler call, as recorded.
struct RegistrationEvent {
    std::string what; // "success", "removed", "retry", "failure", "flow"
    Usage::Id id = 0;
    int status = 0;
    std::string response; // the response as text
};

/// Records registration events; everything it is told comes on the dialog thread, the test reads
/// from its own.
class RecordingRegistrationHandler : public ClientRegistrationHandler {
public:
    /// Seconds onRequestRetry answers (negative: never retry).
    std::atomic<int> retryAnswer{-1};
    /// Called from onReadyToSend, on the dialog thread.
    std::function<void(SipMessage&)> readyToSend;

    void onSuccess(ClientRegistrationHandle registration, const SipMessage& response) override {
        Record("success", registration, response);
    }
    void onRemoved(ClientRegistrationHandle registration, const SipMessage& response) override {
        Record("removed", registration, response);
    }
    int onRequestRetry(ClientRegistrationHandle registration, int, const SipMessage& response) override {
        Record("retry", registration, response);
        return retryAnswer.load();
    }
    void onFailure(ClientRegistrationHandle registration, const SipMessage& response) override {
        Record("failure", registration, response);
    }
    void onFlowTerminated(ClientRegistrationHandle registration) override {
        Record("flow", registration, SipMessage::MakeResponse(200, "OK"));
        ClientRegistrationHandler::onFlowTerminated(registration);
    }
    void onReadyToSend(ClientRegistrationHandle, SipMessage& message) override {
        if (readyToSend) {
            readyToSend(message);
        }
    }

    /// Every registration that succeeded at least once, by id.
    std::map<Usage::Id, ClientRegistrationHandle> Registered() const {
        std::lock_guard lock(mutex_);
        return registered_;
    }
    /// The handle of the last call.
    ClientRegistrationHandle LastHandle() const {
        std::lock_guard lock(mutex_);
        return last_;
    }
    std::vector<RegistrationEvent> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::size_t Count(const std::string& what) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& event : events_) {
            n += event.what == what ? 1 : 0;
        }
        return n;
    }
    /// Waits until `what` has been recorded `count` times.
    bool WaitFor(const std::string& what, std::size_t count = 1, std::chrono::milliseconds timeout = 10s) const {
        return zel::sip::test::WaitUntil([&] { return Count(what) >= count; }, timeout);
    }

private:
    void Record(const std::string& what, ClientRegistrationHandle registration, const SipMessage& response) {
        std::lock_guard lock(mutex_);
        last_ = registration;
        if (what == "success") {
            registered_.emplace(registration.Id(), registration);
        }
        events_.push_back({what, registration.Id(), response.StatusCode(), response.Encode()});
    }

    mutable std::mutex mutex_;
    std::vector<RegistrationEvent> events_;
    ClientRegistrationHandle last_;
    std::map<Usage::Id, ClientRegistrationHandle> registered_;
};

/// Shutdown handler a test thread can wait on.
class WaitableShutdown : public DumShutdownHandler {
public:
    void onDumCanBeDeleted() override {
        std::lock_guard lock(mutex_);
        ++calls_;
        done_.notify_all();
    }
    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, timeout, [this] { return calls_ > 0; });
    }
    int Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    int calls_ = 0;
};

/// A user agent's dialog layer: stack, dialog thread and manager, torn down in the right order.
class DumUnderTest {
public:
    explicit DumUnderTest(StackOptions options = FastStackOptions(), DumOptions dumOptions = {})
        : stack_(std::make_unique<SipStack>(std::move(options))) {
        udp_ = stack_->AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
        tcp_ = stack_->AddTransport(TransportType::TCP, IpVersion::V4, "127.0.0.1", 0);
        manager_ = std::make_unique<DialogUsageManager>(*stack_, thread_, dumOptions);
        profile_ = std::make_shared<MasterProfile>();
        profile_->SetUserAgent("zel-test");
        manager_->SetMasterProfile(profile_);
        manager_->SetClientRegistrationHandler(&handler_);
        thread_.Start();
    }
    ~DumUnderTest() { Stop(); }

    /// Shuts the manager down (waiting for it), then the thread and the stack.
    bool Stop(std::chrono::milliseconds timeout = 10s) {
        if (!manager_) {
            return true;
        }
        WaitableShutdown shutdown;
        manager_->Shutdown(shutdown);
        const bool done = shutdown.Wait(timeout);
        thread_.Stop();
        thread_.Join();
        manager_.reset();
        stack_->Shutdown();
        stack_.reset();
        return done;
    }

    /// Runs `work` on the dialog thread and waits for it; what `work` raises is raised here, so a
    /// refused operation fails the test instead of leaving it waiting.
    void OnDialogThread(std::function<void()> work) {
        std::promise<void> done;
        manager_->Post([&] {
            try {
                work();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
        done.get_future().get();
    }

    DialogUsageManager& Manager() { return *manager_; }
    SipStack& Stack() { return *stack_; }
    const std::shared_ptr<MasterProfile>& Profile() { return profile_; }
    RecordingRegistrationHandler& Handler() { return handler_; }
    const Tuple& Udp() const { return udp_; }
    const Tuple& Tcp() const { return tcp_; }

private:
    RecordingRegistrationHandler handler_;
    std::unique_ptr<SipStack> stack_;
    Tuple udp_;
    Tuple tcp_;
    DumThread thread_;
    std::unique_ptr<DialogUsageManager> manager_;
    std::shared_ptr<MasterProfile> profile_;
};

/// A scripted peer: another stack of ours whose received requests the test takes one by one and
/// answers itself.
class ScriptedPeer {
public:
    ScriptedPeer() : stack_(FastStackOptions()) {
        udp_ = stack_.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
        tcp_ = stack_.AddTransport(TransportType::TCP, IpVersion::V4, "127.0.0.1", 0);
    }

    /// The next message received that `wanted` picks (the others are dropped), or nullopt.
    std::optional<TransactionUserMessage> Next(const std::function<bool(const SipMessage&)>& wanted,
                                               std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto message = stack_.Queue().Pop(std::chrono::milliseconds(50));
            if (message && message->message != nullptr && wanted(*message->message)) {
                return message;
            }
        }
        return std::nullopt;
    }
    /// The next request but an ACK (retransmissions are absorbed by the peer's transaction layer).
    std::optional<TransactionUserMessage> NextRequest(std::chrono::milliseconds timeout = 5s) {
        return Next([](const SipMessage& m) { return m.IsRequest() && m.Method() != "ACK"; }, timeout);
    }

    /// Answers `request` with `code`; `edit` may add headers first.
    void Answer(const TransactionUserMessage& request, int code, std::string_view reason,
                const std::function<void(SipMessage&)>& edit = {}) {
        SipMessage response = SipMessage::MakeResponse(code, reason);
        const SipMessage& r = *request.message;
        for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq}) {
            for (std::size_t i = 0; i < r.Count(type); ++i) {
                response.Add(type, r.ValueText(type, i));
            }
        }
        if (NameAddr* to = response.Edit<NameAddr>(HeaderType::To); to != nullptr && !to->Params().Has("tag")) {
            to->Params().Set("tag", "peer1");
        }
        if (edit) {
            edit(response);
        }
        stack_.SendResponse(request.transaction, std::move(response));
    }

    /// A 200 to a REGISTER that echoes its Contacts with `expires`.
    void AcceptRegister(const TransactionUserMessage& request, std::uint32_t expires,
                        const std::function<void(SipMessage&)>& edit = {}) {
        Answer(request, 200, "OK", [&](SipMessage& response) {
            for (std::size_t i = 0; i < request.message->Count(HeaderType::Contact); ++i) {
                if (const NameAddr* contact = request.message->Peek<NameAddr>(HeaderType::Contact, i)) {
                    NameAddr echoed = *contact;
                    echoed.Params().SetUInt32("expires", expires);
                    response.Add(HeaderType::Contact, echoed);
                }
            }
            if (edit) {
                edit(response);
            }
        });
    }

    SipStack& Stack() { return stack_; }
    const Tuple& Udp() const { return udp_; }
    const Tuple& Tcp() const { return tcp_; }
    std::string UdpUri() const { return "sip:127.0.0.1:" + std::to_string(udp_.port); }
    std::string TcpUri() const { return "sip:127.0.0.1:" + std::to_string(tcp_.port) + ";transport=tcp"; }

private:
    SipStack stack_;
    Tuple udp_;
    Tuple tcp_;
};

/// The next request of `method` a scripted peer receives (ACKs included), or nullopt.
inline std::optional<TransactionUserMessage> NextOf(ScriptedPeer& peer, const std::string& method,
                                                    std::chrono::milliseconds timeout = 5s) {
    return peer.Next([&](const SipMessage& m) { return m.IsRequest() && m.Method() == method; }, timeout);
}

/// The next response a scripted peer receives, or nullopt.
inline std::optional<SipMessage> NextResponse(ScriptedPeer& peer, std::chrono::milliseconds timeout = 5s) {
    auto message = peer.Next([](const SipMessage& m) { return m.IsResponse(); }, timeout);
    return message ? std::optional<SipMessage>(*message->message) : std::nullopt;
}

/// Edits a scripted peer's 401 (WWW-Authenticate) or 407 (Proxy-Authenticate) into a digest
/// challenge of the realm "test.realm".
inline std::function<void(SipMessage&)> Challenge(HeaderType header, const std::string& nonce) {
    return [header, nonce](SipMessage& response) {
        response.Add(header, "Digest realm=\"test.realm\", nonce=\"" + nonce + "\", qop=\"auth\"");
    };
}

/// Edits a scripted peer's response as if it came from the fork `tag`: To tag, Contact and, when
/// given, `body` as SDP.
inline std::function<void(SipMessage&)> FromFork(const ScriptedPeer& peer, const std::string& tag,
                                                 const SdpBody* body = nullptr) {
    return [&peer, tag, body](SipMessage& response) {
        response.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", tag);
        response.Add(HeaderType::Contact, "<sip:" + tag + "@127.0.0.1:" + std::to_string(peer.Udp().port) + ">");
        if (body != nullptr) {
            response.SetBody(body->Encode(), Mime("application", "sdp"));
        }
    };
}

/// The To tag of `message`, or empty.
inline std::string ToTag(const SipMessage& message) {
    const NameAddr* to = message.Peek<NameAddr>(HeaderType::To);
    const Parameter* tag = to != nullptr ? to->Params().Find("tag") : nullptr;
    return tag != nullptr ? tag->value : "";
}

/// An audio-only SDP on 127.0.0.1 with PCMU at `port` and the direction attribute `direction`.
inline std::unique_ptr<SdpBody> Sdp(const std::string& direction, std::uint16_t port = 49170) {
    const std::string text = "v=0\r\no=zel 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                             std::to_string(port) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=" + direction + "\r\n";
    auto parsed = SdpBody::Parse(ContentType("application", "sdp"), text);
    EXPECT_TRUE(parsed.Ok());
    return std::move(parsed.Value());
}

/// An INVITE from carol (From tag c1) to `target` with an audio offer, `contact` as its Contact
/// and `supported` (when not empty) as its Supported.
inline SipMessage InviteFromCarol(const std::string& target, const std::string& contact, const std::string& callId,
                                  const std::string& supported = "") {
    SipMessage invite = SipMessage::MakeRequest("INVITE", Uri::Parse(target));
    invite.Add(HeaderType::To, "<sip:bob@127.0.0.1>");
    invite.Add(HeaderType::From, "<sip:carol@127.0.0.1>;tag=c1");
    invite.Add(HeaderType::CallId, callId);
    invite.Add(HeaderType::CSeq, "1 INVITE");
    invite.Add(HeaderType::Contact, contact);
    if (!supported.empty()) {
        invite.Add(HeaderType::Supported, supported);
    }
    invite.SetBody(Sdp("sendrecv")->Encode(), Mime("application", "sdp"));
    return invite;
}

/// Records every invite session callback by name, with the message (or the SDP, for offers and
/// answers), and keeps the documented defaults of the callbacks it watches by calling the base
/// class. Unless told otherwise it answers like a phone that picks up: every offer is answered
/// with `answerDirection` on port 50000 (and an unanswered INVITE accepted), every request for an
/// offer gets one on port 50002; with `autoAnswer` off a request for an offer in a call is refused
/// 488. Everything it is told comes on the dialog thread; settings written on the test thread
/// reach it through Phone::Settle.
class RecordingInviteHandler : public InviteSessionHandler {
public:
    explicit RecordingInviteHandler(bool genericOfferAnswer = false) : InviteSessionHandler(genericOfferAnswer) {}

    std::atomic<bool> autoAnswer{true};
    bool keepExpiredSessions = false; // onSessionExpired does not end the session
    std::string answerDirection = "sendrecv";
    /// Replaces the automatic answer to an offer.
    std::function<void(InviteSessionHandle, const SipMessage&)> onOfferHook;
    /// Called from onReadyToSend, before the message is recorded as sent.
    std::function<void(InviteSessionHandle, SipMessage&)> readyToSend;
    /// Replaces the default of onRefer and onReferNoSub.
    std::function<bool(InviteSessionHandle, const SipMessage&)> refer;

    void onNewSession(ClientInviteSessionHandle s, OfferAnswerType, const SipMessage& m) override { Keep(s, "new", m); }
    void onNewSession(ServerInviteSessionHandle s, OfferAnswerType, const SipMessage& m) override { Keep(s, "new", m); }
    void onFailure(ClientInviteSessionHandle, const SipMessage& m) override { Add("failure", m); }
    void onEarlyMedia(ClientInviteSessionHandle, const SipMessage& m, const SdpBody&) override { Add("early", m); }
    void onProvisional(ClientInviteSessionHandle, const SipMessage& m) override { Add("provisional", m); }
    void onConnected(ClientInviteSessionHandle, const SipMessage& m) override { Add("connected", m); }
    void onConnected(InviteSessionHandle, const SipMessage& m) override { Add("connected", m); }
    void onConnectedConfirmed(InviteSessionHandle, const SipMessage& m) override { Add("confirmed", m); }
    void onTerminated(InviteSessionHandle, TerminatedReason reason, const SipMessage* m) override {
        Add("terminated:" + std::string(ToString(reason)), m != nullptr ? m->Encode() : std::string());
    }
    void onForkDestroyed(ClientInviteSessionHandle) override { Add("fork", std::string()); }
    void onRedirected(ClientInviteSessionHandle, const SipMessage& m) override { Add("redirected", m); }
    void onAnswer(InviteSessionHandle, const SipMessage&, const SdpBody& sdp) override { Add("answer", sdp.Encode()); }
    void onOffer(InviteSessionHandle s, const SipMessage& m, const SdpBody& sdp) override {
        Add("offer", sdp.Encode());
        if (onOfferHook) {
            onOfferHook(s, m);
        } else if (autoAnswer) {
            s->ProvideAnswer(*Sdp(answerDirection, 50000));
            AcceptIfServer(s);
        }
    }
    void onOfferRequired(InviteSessionHandle s, const SipMessage& m) override {
        Add("offerRequired", m);
        if (autoAnswer) {
            s->ProvideOffer(*Sdp("sendrecv", 50002));
            AcceptIfServer(s);
        } else if (s->IsConnected()) {
            s->Reject(488, Warning(399, "callee.test", "no offer from here"));
        }
    }
    void onOfferRejected(InviteSessionHandle, const SipMessage* m) override {
        Add("offerRejected", m != nullptr ? m->Encode() : std::string());
    }
    void onInfo(InviteSessionHandle, const SipMessage& m) override { Add("info", m); }
    void onInfoSuccess(InviteSessionHandle, const SipMessage& m) override { Add("infoSuccess", m); }
    void onInfoFailure(InviteSessionHandle, const SipMessage& m) override { Add("infoFailure", m); }
    void onMessage(InviteSessionHandle, const SipMessage& m) override { Add("message", m); }
    void onMessageSuccess(InviteSessionHandle, const SipMessage& m) override { Add("messageSuccess", m); }
    void onMessageFailure(InviteSessionHandle, const SipMessage& m) override { Add("messageFailure", m); }
    bool onRefer(InviteSessionHandle s, const SipMessage& m) override {
        Add("refer", m);
        return refer ? refer(s, m) : InviteSessionHandler::onRefer(s, m);
    }
    bool onReferNoSub(InviteSessionHandle s, const SipMessage& m) override {
        Add("referNoSub", m);
        return refer ? refer(s, m) : InviteSessionHandler::onReferNoSub(s, m);
    }
    void onReferAccepted(InviteSessionHandle, const SipMessage& m) override { Add("referAccepted", m); }
    void onReferRejected(InviteSessionHandle, const SipMessage& m) override { Add("referRejected", m); }
    void onPrack(ServerInviteSessionHandle, const SipMessage& m) override { Add("prack", m); }
    void onStaleCallTimeout(ClientInviteSessionHandle s) override {
        Add("staleCall", std::string());
        InviteSessionHandler::onStaleCallTimeout(s);
    }
    void onStaleReInviteTimeout(InviteSessionHandle s) override {
        Add("staleReInvite", std::string());
        InviteSessionHandler::onStaleReInviteTimeout(s);
    }
    void onRemoteSdpChanged(InviteSessionHandle, const SipMessage&, const SdpBody& sdp) override {
        Add("remoteSdpChanged", sdp.Encode());
    }
    void onOfferRequestRejected(InviteSessionHandle, const SipMessage& m) override { Add("offerRequestRejected", m); }
    void onAckReceived(InviteSessionHandle s, const SipMessage& m) override {
        Add("ack", m);
        InviteSessionHandler::onAckReceived(s, m);
    }
    void onAckNotReceived(InviteSessionHandle s) override {
        Add("ackNotReceived", std::string());
        InviteSessionHandler::onAckNotReceived(s);
    }
    void onIllegalNegotiation(InviteSessionHandle s, const SipMessage& m) override {
        Add("illegal", m);
        InviteSessionHandler::onIllegalNegotiation(s, m);
    }
    void onSessionExpired(InviteSessionHandle s) override {
        Add("sessionExpired", std::string());
        if (!keepExpiredSessions) {
            InviteSessionHandler::onSessionExpired(s);
        }
    }
    void onFlowTerminated(InviteSessionHandle s) override {
        Add("flow", std::string());
        InviteSessionHandler::onFlowTerminated(s);
    }
    void onReadyToSend(InviteSessionHandle s, SipMessage& m) override {
        if (readyToSend) {
            readyToSend(s, m);
        }
        Add("send", m);
    }

    std::size_t Count(const std::string& what) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(records_.begin(), records_.end(), [&](const auto& record) { return record.first == what; }));
    }
    bool WaitFor(const std::string& what, std::size_t count = 1, std::chrono::milliseconds timeout = 20s) const {
        return zel::sip::test::WaitUntil([&] { return Count(what) >= count; }, timeout);
    }
    /// The text of the `index`-th record of `what` (empty when there is none).
    std::string Text(const std::string& what, std::size_t index = 0) const {
        std::lock_guard lock(mutex_);
        for (const auto& [name, text] : records_) {
            if (name == what && index-- == 0) {
                return text;
            }
        }
        return {};
    }
    /// Everything but the messages sent, in order.
    std::vector<std::string> Whats() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> whats;
        for (const auto& record : records_) {
            if (record.first != "send") {
                whats.push_back(record.first);
            }
        }
        return whats;
    }
    /// The messages we sent whose first line starts with one of `starts`, in order, as sent.
    std::vector<std::string> SentTexts(const std::vector<std::string>& starts) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> texts;
        for (const auto& record : records_) {
            const std::string& text = record.second;
            if (record.first == "send" && std::any_of(starts.begin(), starts.end(),
                                                      [&](const std::string& start) { return text.rfind(start, 0) == 0; })) {
                texts.push_back(text);
            }
        }
        return texts;
    }
    /// How many messages we sent whose first line starts with `start`.
    std::size_t Sent(const std::string& start) const { return SentTexts({start}).size(); }
    /// What the application heard, for failure messages.
    std::string Story() const { return ::testing::PrintToString(Whats()); }
    /// The session of the last onNewSession.
    InviteSessionHandle Session() const {
        std::lock_guard lock(mutex_);
        return session_;
    }

protected:
    static void AcceptIfServer(InviteSessionHandle s) {
        if (auto* server = dynamic_cast<ServerInviteSession*>(s.Get()); server != nullptr && !server->IsAccepted()) {
            server->Accept(200);
        }
    }
    void Keep(InviteSessionHandle s, const std::string& what, const SipMessage& m) {
        {
            std::lock_guard lock(mutex_);
            session_ = s;
        }
        Add(what, m);
    }
    void Add(const std::string& what, const SipMessage& m) { Add(what, m.Encode()); }
    void Add(const std::string& what, std::string text) {
        std::lock_guard lock(mutex_);
        records_.emplace_back(what, std::move(text));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> records_;
    InviteSessionHandle session_;
};

/// A user agent with the invite recorder and a From of its own, over UDP and TCP.
class Phone {
public:
    explicit Phone(const std::string& user, StackOptions options = FastStackOptions()) : ua_(std::move(options)) {
        ua_.OnDialogThread([&] {
            ua_.Manager().SetInviteSessionHandler(&handler_);
            ua_.Profile()->SetDefaultFrom(NameAddr::Parse("<sip:" + user + "@127.0.0.1>"));
        });
    }
    /// `user` at this phone's UDP (or TCP) address.
    std::string Uri(const std::string& user, TransportType transport = TransportType::UDP) const {
        const std::uint16_t port = transport == TransportType::UDP ? ua_.Udp().port : ua_.Tcp().port;
        return "<sip:" + user + "@127.0.0.1:" + std::to_string(port) +
               (transport == TransportType::UDP ? "" : ";transport=tcp") + ">";
    }
    void Call(const std::string& target, const Body* offer) {
        ua_.Manager().SendCommand(
            ua_.Manager().MakeInviteSession(NameAddr::Parse(target), std::make_shared<UserProfile>(*ua_.Profile()), offer));
    }
    /// Calls `peer`'s UDP address.
    void Call(const ScriptedPeer& peer, const Body* offer) {
        Call("<sip:bob@127.0.0.1:" + std::to_string(peer.Udp().port) + ">", offer);
    }
    /// Makes the handler settings written on the test thread visible to the dialog thread (a
    /// round trip through its loop), before a peer's message makes it read them.
    void Settle() { ua_.OnDialogThread([] {}); }
    /// Runs `work` with the current session on the dialog thread.
    void WithSession(const std::function<void(InviteSession&)>& work) {
        ua_.OnDialogThread([&] { work(*handler_.Session()); });
    }

    RecordingInviteHandler& Handler() { return handler_; }
    DumUnderTest& Ua() { return ua_; }

private:
    RecordingInviteHandler handler_;
    DumUnderTest ua_;
};

/// Ends `phone`'s call with `peer`, answers the BYE there and waits for the end; the BYE.
inline std::optional<TransactionUserMessage> HangUp(Phone& phone, ScriptedPeer& peer) {
    phone.WithSession([](InviteSession& session) { session.End(); });
    auto bye = NextOf(peer, "BYE");
    EXPECT_TRUE(bye) << phone.Handler().Story();
    if (bye) {
        peer.Answer(*bye, 200, "OK");
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:LocalBye"));
    }
    return bye;
}

} // namespace zel::sip::stack::test

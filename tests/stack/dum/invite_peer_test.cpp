// Calls between our dialog usage manager and SIPp over loopback, in both directions: SIPp's
// scenarios (tests/data/sipp/call_*.xml) check what reaches the wire, our handler what reaches the
// application. SIPp's exit code says whether every call of its run passed its checks.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "stack/body/GenericBody.h"
#include "stack/body/MultipartBody.h"
#include "stack/body/SdpBody.h"
#include "stack/dum/DumTestSupport.h"
#include "stack/dum/InviteSession.h"
#include "stack/dum/InviteSessionHandler.h"
#include "support/Sipp.h"

namespace zel::sip::stack::test {
namespace {

using zel::sip::test::SippClient;
using zel::sip::test::SippInstalled;
using zel::sip::test::SippProcess;
using zel::sip::test::SippScenario;
using zel::sip::test::SippServer;
using zel::sip::test::TempDir;
using zel::sip::test::WaitUntil;

/// The direction that answers an offer's (RFC 3264 section 6.1): sendonly gets recvonly and so on.
std::string AnswerDirection(const std::string& offer) {
    if (offer.find("a=sendonly") != std::string::npos) {
        return "recvonly";
    }
    if (offer.find("a=recvonly") != std::string::npos) {
        return "sendonly";
    }
    if (offer.find("a=inactive") != std::string::npos) {
        return "inactive";
    }
    return "sendrecv";
}

/// A phone that takes whole bodies (generic offer/answer; an offer or answer is recorded as the
/// body with its Content-Type first). Incoming calls ring or are answered at once (offers mirrored,
/// requests for an offer met), or are refused; every offer in a call is answered with the mirrored
/// direction. The settings are written before a call starts and read on the dialog thread.
class PeerHandler : public RecordingInviteHandler {
public:
    PeerHandler() : RecordingInviteHandler(/*genericOfferAnswer=*/true) {}

    enum class Incoming { Answer, Ring, Reject };
    Incoming incoming = Incoming::Answer;
    /// Answer an incoming call's offer first in a 183 (reliable as the profile and the caller
    /// allow, RFC 3262), then accept it.
    bool earlyAnswer = false;
    int rejectCode = 486;
    std::optional<Warning> rejectWarning;
    /// Called once a call is up (either side), on the dialog thread.
    std::function<void(InviteSessionHandle)> connectedHook;
    std::function<void(ClientInviteSessionHandle)> provisionalHook;
    /// Called after an answer is recorded, with its text, on the dialog thread.
    std::function<void(InviteSessionHandle, const std::string&)> answerHook;

    void onNewSession(ServerInviteSessionHandle session, OfferAnswerType type, const SipMessage& msg) override {
        RecordingInviteHandler::onNewSession(session, type, msg);
        if (incoming == Incoming::Ring) {
            session->Provisional(180);
        } else if (incoming == Incoming::Reject) {
            session->Reject(rejectCode, rejectWarning);
        }
    }
    using RecordingInviteHandler::onNewSession;
    void onProvisional(ClientInviteSessionHandle session, const SipMessage& msg) override {
        RecordingInviteHandler::onProvisional(session, msg);
        if (provisionalHook) {
            provisionalHook(session);
        }
    }
    void onConnected(ClientInviteSessionHandle session, const SipMessage& msg) override { Connected(session, msg); }
    void onConnected(InviteSessionHandle session, const SipMessage& msg) override { Connected(session, msg); }
    void onTerminated(InviteSessionHandle session, TerminatedReason reason, const SipMessage* msg) override {
        RecordingInviteHandler::onTerminated(session, reason, msg);
        std::lock_guard lock(liveMutex_);
        live_.erase(session.Id());
    }
    // Whole bodies come through the Body forms; the SDP forms are never called with generic on.
    void onAnswer(InviteSessionHandle, const SipMessage&, const SdpBody&) override { ADD_FAILURE() << "SDP form"; }
    void onOffer(InviteSessionHandle, const SipMessage&, const SdpBody&) override { ADD_FAILURE() << "SDP form"; }
    void onAnswer(InviteSessionHandle session, const SipMessage&, const Body& body) override {
        const std::string text = Describe(body);
        Add("answer", text);
        if (answerHook) {
            answerHook(session, text);
        }
    }
    void onOffer(InviteSessionHandle session, const SipMessage&, const Body& body) override {
        const std::string text = Describe(body);
        Add("offer", text);
        if (incoming != Incoming::Answer && !session->IsConnected()) {
            return; // a ringing or refused call keeps its offer unanswered
        }
        session->ProvideAnswer(*Sdp(AnswerDirection(text), 50000));
        if (auto* server = dynamic_cast<ServerInviteSession*>(session.Get());
            earlyAnswer && server != nullptr && !server->IsAccepted()) {
            server->Provisional(183, /*withBody=*/true);
        }
        AcceptIfServer(session);
    }

    /// The calls up now.
    std::vector<InviteSessionHandle> Live() const {
        std::lock_guard lock(liveMutex_);
        std::vector<InviteSessionHandle> live;
        for (const auto& [id, handle] : live_) {
            live.push_back(handle);
        }
        return live;
    }

private:
    static std::string Describe(const Body& body) {
        return "Content-Type: " + body.ContentType().Encode() + "\r\n\r\n" + body.Encode();
    }
    void Connected(InviteSessionHandle session, const SipMessage& msg) {
        Add("connected", msg);
        {
            std::lock_guard lock(liveMutex_);
            live_.emplace(session.Id(), session);
        }
        if (connectedHook) {
            connectedHook(session);
        }
    }

    mutable std::mutex liveMutex_;
    std::map<Usage::Id, InviteSessionHandle> live_;
};

/// Counts the responses the stack receives by status code and CSeq method ("200 UPDATE"): what
/// the peer has answered, which no callback reports for a session refresh.
class ResponseCounter : public MessageLoggingHandler {
public:
    void outboundMessage(const Tuple&, const Tuple&, std::string_view) override {}
    void inboundMessage(const Tuple&, const Tuple&, std::string_view wire) override {
        SipMessage message;
        if (!SipMessage::TryParse(std::string(wire), message) || !message.IsResponse() ||
            !message.Has(HeaderType::CSeq)) {
            return;
        }
        const std::string key =
            std::to_string(message.StatusCode()) + " " + std::string(message.Get<CSeq>(HeaderType::CSeq).Method());
        std::lock_guard lock(mutex_);
        ++counts_[key];
    }
    std::size_t Count(const std::string& key) const {
        std::lock_guard lock(mutex_);
        const auto found = counts_.find(key);
        return found == counts_.end() ? 0 : found->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::size_t> counts_;
};

StackOptions CountingResponses(StackOptions options, const std::shared_ptr<ResponseCounter>& counter) {
    options.messageLogger = counter;
    return options;
}

/// Our user agent: a manager with the handler above, on UDP and TCP.
class SippPhone {
public:
    explicit SippPhone(StackOptions options = FastStackOptions())
        : ua_(CountingResponses(std::move(options), responses_)) {
        ua_.OnDialogThread([&] {
            ua_.Manager().SetInviteSessionHandler(&handler_);
            ua_.Profile()->SetDefaultFrom(NameAddr::Parse("<sip:alice@127.0.0.1>"));
        });
    }

    /// Calls SIPp listening at "127.0.0.1:port" (`transport` "u1" or "t1").
    void Call(const SippProcess& sipp, const std::string& transport, const Body* offer) {
        const std::string target = "<sip:service@" + sipp.Address() + (transport == "t1" ? ";transport=tcp" : "") + ">";
        ua_.Manager().SendCommand(ua_.Manager().MakeInviteSession(
            NameAddr::Parse(target), std::make_shared<UserProfile>(*ua_.Profile()), offer));
    }
    /// Our address for SIPp calling us.
    std::string Address(const std::string& transport) const {
        return "127.0.0.1:" + std::to_string(transport == "t1" ? ua_.Tcp().port : ua_.Udp().port);
    }
    /// Ends every call that is up and waits for the first to be reported ended by our BYE.
    void HangUp() {
        WithLive([](InviteSession& session) { session.End(); });
        EXPECT_TRUE(handler_.WaitFor("terminated:LocalBye"));
    }
    /// Runs `work` with every call that is up, on the dialog thread.
    void WithLive(const std::function<void(InviteSession&)>& work) {
        ua_.OnDialogThread([&] {
            for (const InviteSessionHandle& handle : handler_.Live()) {
                if (handle.IsValid()) {
                    work(*handle);
                }
            }
        });
    }
    /// Ends each of our calls once it is up, until `count` have been, within 90 s.
    void EndOurCallsOnceUp(std::size_t count) {
        std::set<Usage::Id> ended;
        const bool allUp = WaitUntil(
            [&] {
                WithLive([&](InviteSession& session) {
                    if (dynamic_cast<ClientInviteSession*>(&session) != nullptr && ended.insert(session.GetId()).second) {
                        session.End();
                    }
                });
                return ended.size() == count;
            },
            90s);
        EXPECT_TRUE(allUp) << ended.size() << " of our calls came up\n" << handler_.Story();
    }
    std::size_t Sessions() {
        std::size_t count = 0;
        ua_.OnDialogThread([&] { count = ua_.Manager().InviteSessionCount(); });
        return count;
    }

    PeerHandler& Handler() { return handler_; }
    DumUnderTest& Ua() { return ua_; }
    /// Responses received with this status code and CSeq method ("200 UPDATE").
    std::size_t Received(const std::string& response) const { return responses_->Count(response); }

private:
    PeerHandler handler_;
    std::shared_ptr<ResponseCounter> responses_ = std::make_shared<ResponseCounter>();
    DumUnderTest ua_;
};

class InvitePeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SippInstalled()) {
            GTEST_SKIP() << "sipp is not installed (Debian package sip-tester)";
        }
    }

    /// SIPp answering `calls` calls of tests/data/sipp/`scenario`, listening now.
    std::unique_ptr<SippProcess> Server(const std::string& scenario, int calls = 1, std::vector<std::string> extra = {},
                                        int lost = 0) {
        SippServer server;
        server.scenario = {"-sf", SippScenario(scenario)};
        server.transport = transport;
        server.calls = calls;
        server.lostPercent = lost;
        server.timeout = "60s";
        server.extra = std::move(extra);
        server.injection = injection;
        server.variables = variables;
        return std::make_unique<SippProcess>(server, dir_.Path().string(), Name(scenario));
    }
    /// SIPp answering one call of `scenario`, and `phone` calling it with an offer.
    std::unique_ptr<SippProcess> Dial(SippPhone& phone, const std::string& scenario, std::vector<std::string> extra = {}) {
        auto sipp = Server(scenario, 1, std::move(extra));
        phone.Call(*sipp, transport, Sdp("sendrecv").get());
        return sipp;
    }
    /// SIPp placing `calls` calls of `scenario` to `phone`.
    std::unique_ptr<SippProcess> Client(const std::string& scenario, SippPhone& phone, int calls = 1,
                                        std::vector<std::string> extra = {}, int lost = 0) {
        SippClient client;
        client.scenario = {"-sf", SippScenario(scenario)};
        client.transport = transport;
        client.remote = phone.Address(transport);
        client.calls = calls;
        client.limit = calls;
        client.lostPercent = lost;
        client.timeout = "60s";
        client.extra = std::move(extra);
        return std::make_unique<SippProcess>(client, dir_.Path().string(), Name(scenario));
    }
    /// SIPp ended by itself with every call passed, and our side keeps no session of them.
    static void ExpectPassed(SippProcess& sipp, SippPhone& phone) {
        const std::optional<int> code = sipp.WaitForExit(60s);
        EXPECT_EQ(code, 0) << sipp.Report() << "--- we heard ---\n" << phone.Handler().Story();
        EXPECT_TRUE(WaitUntil([&] { return phone.Sessions() == 0; }, 40s))
            << phone.Sessions() << " sessions left\n" << phone.Handler().Story();
    }

    /// Ends our calls with BYE, then as ExpectPassed.
    static void HangUpAndPass(SippProcess& sipp, SippPhone& phone) {
        phone.HangUp();
        ExpectPassed(sipp, phone);
    }

    /// SIPp's transport ("u1" or "t1") for the runs of a test.
    std::string transport = "u1";
    std::vector<std::vector<std::string>> injection;
    std::vector<std::pair<std::string, std::string>> variables;

private:
    std::string Name(const std::string& scenario) { return scenario + "_" + std::to_string(runs_++); }

    TempDir dir_;
    int runs_ = 0;
};

class InvitePeersOverTransport : public InvitePeers, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        InvitePeers::SetUp();
        transport = GetParam();
    }
};

// ---- We call SIPp -------------------------------------------------------------------------------

// Calls with an offer, ended by us (several at once), by SIPp, and by us with a text body in the
// BYE.
TEST_P(InvitePeersOverTransport, OurCallEndedByEitherSide) {
    {
        // Several at once: Call-IDs, tags and CSeqs of our calls must not clash.
        constexpr std::size_t kCalls = 8;
        SippPhone phone;
        auto sipp = Server("call_basic_uas.xml", kCalls);
        for (std::size_t i = 0; i < kCalls; ++i) {
            phone.Call(*sipp, transport, Sdp("sendrecv").get());
        }
        ASSERT_TRUE(phone.Handler().WaitFor("connected", kCalls)) << sipp->Report() << phone.Handler().Story();
        EXPECT_NE(phone.Handler().Text("answer").find("m=audio"), std::string::npos);
        phone.WithLive([](InviteSession& session) { session.End(); });
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:LocalBye", kCalls));
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Dial(phone, "call_callee_bye_uas.xml", {"-d", "100"});
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << phone.Handler().Story();
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        phone.Handler().readyToSend = [](InviteSessionHandle, SipMessage& message) {
            if (message.IsRequest() && message.Method() == "BYE") {
                message.SetBody("hanging up: meeting starts", Mime("text", "plain"));
            }
        };
        auto sipp = Dial(phone, "call_bye_body_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        HangUpAndPass(*sipp, phone);
    }
}

// No offer in our INVITE: SIPp offers in its 200 and checks our answer in the ACK. Then an offer
// in a multipart/mixed body (SDP and XML): SIPp checks the parts and answers with plain SDP.
TEST_P(InvitePeersOverTransport, OurCallsWithLateOfferAndMultipartOffer) {
    {
        SippPhone phone;
        auto sipp = Server("call_nosdp_uas.xml");
        phone.Call(*sipp, transport, nullptr);
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        EXPECT_NE(phone.Handler().Text("offer").find("application/sdp"), std::string::npos);
        EXPECT_EQ(phone.Handler().Sent("ACK "), 1u);
        HangUpAndPass(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Server("call_multipart_uas.xml");
        MultipartBody offer;
        offer.AddPart(*Sdp("sendrecv"));
        offer.AddPart(GenericBody(ContentType("application", "xml"), "<call><purpose>test</purpose></call>"));
        phone.Call(*sipp, transport, &offer);
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Text("answer").rfind("Content-Type: application/sdp", 0), 0u)
            << phone.Handler().Text("answer");
        HangUpAndPass(*sipp, phone);
    }
}

// Hold and resume in our call: we hold SIPp (our re-INVITEs), then SIPp holds us (its re-INVITEs,
// which we answer recvonly, then sendrecv).
TEST_P(InvitePeersOverTransport, OurCallHeldAndResumedByEitherSide) {
    {
        SippPhone phone;
        auto sipp = Dial(phone, "call_hold_caller_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        phone.WithLive([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
        ASSERT_TRUE(phone.Handler().WaitFor("answer", 2)) << sipp->Report();
        EXPECT_NE(phone.Handler().Text("answer", 1).find("a=recvonly"), std::string::npos);
        phone.WithLive([](InviteSession& session) { session.ProvideOffer(*Sdp("sendrecv")); });
        ASSERT_TRUE(phone.Handler().WaitFor("answer", 3)) << sipp->Report();
        EXPECT_NE(phone.Handler().Text("answer", 2).find("a=sendrecv"), std::string::npos);
        HangUpAndPass(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Dial(phone, "call_hold_callee_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("offer", 2)) << sipp->Report() << phone.Handler().Story();
        EXPECT_NE(phone.Handler().Text("offer", 0).find("a=sendonly"), std::string::npos);
        EXPECT_NE(phone.Handler().Text("offer", 1).find("a=sendrecv"), std::string::npos);
        // SIPp's ACK of our answer to the resume, then our BYE.
        ASSERT_TRUE(phone.Handler().WaitFor("ack", 2)) << sipp->Report();
        HangUpAndPass(*sipp, phone);
    }
}

// SIPp challenges our INVITE as a user agent (401; it recomputes the digest) and as a proxy (407;
// it checks each field); we answer with the profile's credentials and the call goes through.
TEST_P(InvitePeersOverTransport, OurCallsAnswerDigestChallenges) {
    for (const std::string scenario : {"call_auth401_uas.xml", "call_auth407_uas.xml"}) {
        SippPhone phone;
        phone.Ua().Profile()->AddDigestCredential(DigestCredential{"sipp.test", "alice", "secret"});
        injection = {{"alice", "secret"}};
        auto sipp = Dial(phone, scenario);
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << scenario << sipp->Report();
        EXPECT_EQ(phone.Handler().Count("failure"), 0u);
        HangUpAndPass(*sipp, phone);
    }
}

// SIPp refuses our call: 486, then 488 with a Warning the application sees; CANCEL after ringing.
TEST_P(InvitePeersOverTransport, OurCallsRefusedOrCancelled) {
    {
        SippPhone phone;
        auto sipp = Dial(phone, "call_busy_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:Rejected")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Text("failure").rfind("SIP/2.0 486", 0), 0u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Dial(phone, "call_reject_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:Rejected")) << sipp->Report();
        const std::string failure = phone.Handler().Text("failure");
        EXPECT_EQ(failure.rfind("SIP/2.0 488", 0), 0u) << failure;
        EXPECT_NE(failure.find("Warning: 399 "), std::string::npos) << failure;
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        phone.Handler().provisionalHook = [](ClientInviteSessionHandle session) { session->End(); };
        auto sipp = Dial(phone, "call_cancel_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:LocalCancel")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Count("failure"), 0u);
        EXPECT_EQ(phone.Handler().Count("connected"), 0u);
        ExpectPassed(*sipp, phone);
    }
}

// Glare where we own the Call-ID: our re-INVITE crosses SIPp's (SIPp sends first, or takes ours
// first); each side answers the other 491 and our retry, 2.1-4 s later, gets through.
TEST_P(InvitePeersOverTransport, GlareInOurCallIsResolvedByOurRetry) {
    {
        SippPhone phone; // SIPp answers our re-INVITE only after sending its own
        auto sipp = Dial(phone, "call_glare_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        phone.WithLive([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
        ASSERT_TRUE(phone.Handler().WaitFor("answer", 2)) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("SIP/2.0 491"), 1u);
        EXPECT_EQ(phone.Handler().Sent("INVITE "), 2u); // the re-INVITE and its retry
        EXPECT_EQ(phone.Handler().Count("offerRejected"), 0u);
        HangUpAndPass(*sipp, phone);
    }
    {
        SippPhone phone; // SIPp sends its re-INVITE right after our ACK; so do we
        phone.Handler().connectedHook = [](InviteSessionHandle session) { session->ProvideOffer(*Sdp("sendonly")); };
        auto sipp = Dial(phone, "call_glare_first_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("answer", 2)) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("SIP/2.0 491"), 1u);
        EXPECT_EQ(phone.Handler().Count("offerRejected"), 0u);
        HangUpAndPass(*sipp, phone);
    }
}

// ---- SIPp calls us -------------------------------------------------------------------------------

// SIPp's calls with an offer, ended by SIPp (several at once), by us, and by SIPp with a text body
// in its BYE, which reaches onTerminated.
TEST_P(InvitePeersOverTransport, TheirCallEndedByEitherSide) {
    {
        constexpr std::size_t kCalls = 8;
        SippPhone phone;
        auto sipp = Client("call_basic_uac.xml", phone, kCalls);
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye", kCalls)) << sipp->Report();
        EXPECT_NE(phone.Handler().Text("offer").find("m=audio"), std::string::npos);
        EXPECT_EQ(phone.Handler().Count("connected"), kCalls);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Client("call_callee_bye_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        HangUpAndPass(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Client("call_bye_body_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report();
        const std::string bye = phone.Handler().Text("terminated:RemoteBye");
        EXPECT_EQ(bye.rfind("BYE ", 0), 0u) << bye;
        EXPECT_NE(bye.find("Content-Type: text/plain"), std::string::npos) << bye;
        const std::size_t body = bye.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_GT(bye.size(), body + 4) << "the BYE's text is lost: " << bye;
        ExpectPassed(*sipp, phone);
    }
}

// SIPp's INVITE without offer gets our offer in the 200 and its answer comes in the ACK, and so
// does its re-INVITE without offer; its
// multipart/mixed offer (SDP and XML) reaches the application whole and is answered with plain
// SDP once the profile accepts multipart/mixed for INVITE.
TEST_P(InvitePeersOverTransport, TheirCallsWithLateOfferAndMultipartOffer) {
    {
        SippPhone phone;
        auto sipp = Client("call_nosdp_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Count("offerRequired"), 1u);
        EXPECT_NE(phone.Handler().Text("answer").find("m=audio"), std::string::npos) << phone.Handler().Story();
        ExpectPassed(*sipp, phone);
    }
    {
        // A re-INVITE without offer in the call: our offer goes in the 200, the answer comes in
        // SIPp's ACK.
        SippPhone phone;
        auto sipp = Client("call_reinvite_nosdp_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Count("offerRequired"), 1u) << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Count("answer"), 1u) << phone.Handler().Story();
        EXPECT_NE(phone.Handler().Text("answer").find("a=sendrecv"), std::string::npos);
        EXPECT_EQ(phone.Handler().Count("ack"), 2u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        // RFC 5621 section 3.1: a body type the profile does not list gets 415.
        phone.Ua().Profile()->AddSupportedMimeType("INVITE", Mime("multipart", "mixed"));
        auto sipp = Client("call_multipart_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report();
        const std::string offer = phone.Handler().Text("offer");
        EXPECT_EQ(offer.rfind("Content-Type: multipart/mixed", 0), 0u) << offer;
        EXPECT_NE(offer.find("application/sdp"), std::string::npos) << offer;
        EXPECT_NE(offer.find("application/xml"), std::string::npos) << offer;
        EXPECT_NE(offer.find("m=audio"), std::string::npos) << offer;
        ExpectPassed(*sipp, phone);
    }
}

// Hold and resume in SIPp's call: SIPp holds us, then we hold SIPp.
TEST_P(InvitePeersOverTransport, TheirCallHeldAndResumedByEitherSide) {
    {
        SippPhone phone;
        auto sipp = Client("call_hold_caller_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Count("offer"), 3u);
        EXPECT_NE(phone.Handler().Text("offer", 1).find("a=sendonly"), std::string::npos);
        EXPECT_NE(phone.Handler().Text("offer", 2).find("a=sendrecv"), std::string::npos);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        auto sipp = Client("call_hold_callee_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report();
        phone.WithLive([](InviteSession& session) { session.ProvideOffer(*Sdp("sendonly")); });
        ASSERT_TRUE(phone.Handler().WaitFor("answer", 1)) << sipp->Report();
        EXPECT_NE(phone.Handler().Text("answer").find("a=recvonly"), std::string::npos);
        phone.WithLive([](InviteSession& session) { session.ProvideOffer(*Sdp("sendrecv")); });
        ASSERT_TRUE(phone.Handler().WaitFor("answer", 2)) << sipp->Report();
        EXPECT_NE(phone.Handler().Text("answer", 1).find("a=sendrecv"), std::string::npos);
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report();
        ExpectPassed(*sipp, phone);
    }
}

// We refuse SIPp's calls: 486, 488 with a Warning (SIPp checks its form), and SIPp cancels a call
// that rings.
TEST_P(InvitePeersOverTransport, TheirCallsRefusedOrCancelled) {
    {
        SippPhone phone;
        phone.Handler().incoming = PeerHandler::Incoming::Reject;
        phone.Handler().rejectCode = 486;
        auto sipp = Client("call_busy_uac.xml", phone);
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:Rejected")) << sipp->Report();
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        phone.Handler().incoming = PeerHandler::Incoming::Reject;
        phone.Handler().rejectCode = 488;
        phone.Handler().rejectWarning = Warning(399, "zel.test", "no common codec");
        auto sipp = Client("call_reject_uac.xml", phone);
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:Rejected")) << sipp->Report();
        const std::vector<std::string> refusals = phone.Handler().SentTexts({"SIP/2.0 488"});
        ASSERT_FALSE(refusals.empty()) << phone.Handler().Story();
        const std::string& sent = refusals.front();
        EXPECT_NE(sent.find("Warning: 399 zel.test \"no common codec\""), std::string::npos) << sent;
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        phone.Handler().incoming = PeerHandler::Incoming::Ring;
        auto sipp = Client("call_cancel_uac.xml", phone);
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteCancel")) << sipp->Report();
        EXPECT_EQ(phone.Handler().Sent("SIP/2.0 487"), 1u);
        ExpectPassed(*sipp, phone);
    }
}

// Glare in SIPp's call (SIPp owns the Call-ID): both send a re-INVITE once the call is up, each
// answers the other 491; our retry comes first (0-2 s) and gets through, then SIPp's (2.1-4 s).
TEST_P(InvitePeersOverTransport, GlareInTheirCallIsResolvedByBothRetries) {
    SippPhone phone;
    phone.Handler().connectedHook = [](InviteSessionHandle session) { session->ProvideOffer(*Sdp("sendonly")); };
    auto sipp = Client("call_glare_retry_uac.xml", phone);
    ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Sent("SIP/2.0 491"), 1u);
    EXPECT_EQ(phone.Handler().Sent("INVITE "), 2u); // the re-INVITE and its retry
    EXPECT_EQ(phone.Handler().Count("answer"), 1u);
    EXPECT_EQ(phone.Handler().Count("offer"), 2u); // the INVITE's and SIPp's retry
    EXPECT_EQ(phone.Handler().Count("offerRejected"), 0u);
    ExpectPassed(*sipp, phone);
}

// Shutting our manager down with three calls in progress: SIPp's call and ours are up (each gets
// our BYE), and ours to a third SIPp rings (it gets our CANCEL); the manager reports it may be
// deleted once they are answered.
TEST_P(InvitePeersOverTransport, ShutdownEndsCallsInProgress) {
    SippPhone phone;
    auto theirs = Client("call_callee_bye_uac.xml", phone);
    auto ours = Server("call_basic_uas.xml");
    auto ringing = Server("call_cancel_uas.xml");
    phone.Call(*ours, transport, Sdp("sendrecv").get());
    ASSERT_TRUE(phone.Handler().WaitFor("connected", 2)) << phone.Handler().Story();
    phone.Call(*ringing, transport, Sdp("sendrecv").get());
    ASSERT_TRUE(phone.Handler().WaitFor("provisional", 2)) << ringing->Report(); // our first call rang too
    EXPECT_TRUE(phone.Ua().Stop());
    for (SippProcess* sipp : {theirs.get(), ours.get(), ringing.get()}) {
        const std::optional<int> code = sipp->WaitForExit(60s);
        EXPECT_EQ(code, 0) << sipp->Report() << "--- we heard ---\n" << phone.Handler().Story();
    }
    EXPECT_EQ(phone.Handler().Count("terminated:LocalBye"), 2u) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("terminated:LocalCancel"), 1u) << phone.Handler().Story();
}

INSTANTIATE_TEST_SUITE_P(Transports, InvitePeersOverTransport, ::testing::Values("u1", "t1"),
                         [](const ::testing::TestParamInfo<const char*>& transport) {
                             return std::string(transport.param[0] == 'u' ? "Udp" : "Tcp");
                         });

// ---- Losses --------------------------------------------------------------------------------------

// SIPp drops one in ten packets each way (-lost 10) while it calls us and we call it, with an offer
// in the INVITE and without: every call completes, by our retransmissions of the 2xx until the
// ACK, our ACKs of retransmitted 2xx (carrying the answer again for a late offer) and the
// transactions' retransmissions. RFC 3261 timers; SIPp tolerates retransmissions that cross its
// answers and lingers to answer a retransmitted BYE.
TEST_F(InvitePeers, CallsCompleteDespiteLosses) {
    constexpr int kCalls = 10;
    const std::vector<std::string> tolerant = {"-default_behaviors", "all,-abortunexp"};
    variables = {{"linger_ms", "8000"}};
    SippPhone phone{StackOptions{}};
    auto basicIn = Client("call_basic_uac.xml", phone, kCalls, tolerant, 10);
    std::vector<std::string> pause = tolerant;
    pause.insert(pause.end(), {"-d", "4000"});
    auto lateIn = Client("call_nosdp_uac.xml", phone, kCalls, pause, 10);
    auto basicOut = Server("call_basic_uas.xml", kCalls, tolerant, 10);
    auto lateOut = Server("call_nosdp_uas.xml", kCalls, tolerant, 10);
    for (int i = 0; i < kCalls; ++i) {
        phone.Call(*basicOut, transport, Sdp("sendrecv").get());
        phone.Call(*lateOut, transport, nullptr);
    }
    phone.EndOurCallsOnceUp(2 * kCalls); // SIPp's calls end by its own BYE
    for (SippProcess* sipp : {basicIn.get(), lateIn.get(), basicOut.get(), lateOut.get()}) {
        EXPECT_EQ(sipp->WaitForExit(90s), 0) << sipp->Report();
    }
    EXPECT_EQ(phone.Handler().Count("terminated:LocalBye"), 2u * kCalls) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("terminated:RemoteBye"), 2u * kCalls) << phone.Handler().Story();
    EXPECT_TRUE(WaitUntil([&] { return phone.Sessions() == 0; }, 40s));
}

// SIPp holds and resumes each of its calls to us with re-INVITEs while dropping one packet in ten
// each way: our 2xx to each re-INVITE is sent again until its ACK, so every call completes.
TEST_F(InvitePeers, ReInvitesCompleteDespiteLosses) {
    constexpr std::size_t kCalls = 10;
    SippPhone phone{StackOptions{}};
    auto sipp = Client("call_hold_caller_uac.xml", phone, kCalls, {"-default_behaviors", "all,-abortunexp"}, 10);
    EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye", kCalls, 90s)) << sipp->Report();
    EXPECT_EQ(phone.Handler().Count("offer"), 3 * kCalls) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("ackNotReceived"), 0u);
    ExpectPassed(*sipp, phone);
}

// ACKs matched by CSeq (RFC 3261 section 13.3.1.4): a late copy of the first ACK (CSeq 1) arrives
// after our 200 with an offer to SIPp's re-INVITE without one (CSeq 2). It acknowledges nothing new;
// the ACK that follows carries the answer, and the call goes on until SIPp's BYE.
TEST_P(InvitePeersOverTransport, LateCopyOfAnAckIsNotTakenForTheNextOne) {
    SippPhone phone;
    auto sipp = Client("call_stale_ack_uac.xml", phone);
    ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("illegal"), 0u) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("answer"), 1u) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Sent("BYE "), 0u);
    ExpectPassed(*sipp, phone);
}

// SIPp's first ACK is lost and its re-INVITE (hold) comes while our 200 to the INVITE still waits
// for it. The offer/answer exchange of the INVITE is complete and our final response has gone, so
// the re-INVITE is answered (RFC 3261 section 14.2 asks for 500 only before that response); the
// late ACK of the INVITE changes nothing.
TEST_P(InvitePeersOverTransport, ReInviteBeforeTheAckIsAnswered) {
    SippPhone phone;
    auto sipp = Client("call_reinvite_before_ack_uac.xml", phone, 1, {"-default_behaviors", "all,-abortunexp"});
    ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Sent("SIP/2.0 500"), 0u) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("offer"), 2u) << phone.Handler().Story();
    EXPECT_NE(phone.Handler().Text("offer", 1).find("a=sendonly"), std::string::npos);
    EXPECT_EQ(phone.Handler().Count("connected"), 1u);
    EXPECT_EQ(phone.Handler().Count("ackNotReceived"), 0u);
    ExpectPassed(*sipp, phone);
}

// We hold and resume each of our calls to SIPp while it drops one packet in ten each way: our
// re-INVITEs are retransmitted until answered and SIPp's retransmitted 200s get our ACK again.
TEST_F(InvitePeers, OurReInvitesCompleteDespiteLosses) {
    constexpr std::size_t kCalls = 10;
    SippPhone phone{StackOptions{}};
    phone.Handler().connectedHook = [](InviteSessionHandle session) { session->ProvideOffer(*Sdp("sendonly")); };
    std::map<Usage::Id, int> answers; // dialog thread only
    phone.Handler().answerHook = [&answers](InviteSessionHandle session, const std::string& answer) {
        const int n = ++answers[session.Id()];
        if (n == 2) { // the first is the answer in the 200 to our INVITE
            EXPECT_NE(answer.find("a=recvonly"), std::string::npos) << answer;
            session->ProvideOffer(*Sdp("sendrecv"));
        } else if (n == 3) {
            session->End();
        }
    };
    variables = {{"linger_ms", "8000"}}; // to answer a retransmitted BYE again
    auto sipp = Server("call_hold_caller_uas.xml", kCalls, {"-default_behaviors", "all,-abortunexp"}, 10);
    for (std::size_t i = 0; i < kCalls; ++i) {
        phone.Call(*sipp, transport, Sdp("sendrecv").get());
    }
    EXPECT_TRUE(phone.Handler().WaitFor("terminated:LocalBye", kCalls, 90s)) << sipp->Report() << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("answer"), 3 * kCalls) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Count("offerRejected"), 0u);
    ExpectPassed(*sipp, phone);
}

// SIPp sends the 200 to our re-INVITE (hold) again after our ACK, as a callee whose ACK was lost
// does: every 2xx retransmission gets the ACK again (RFC 3261 section 13.2.2.4), not only the
// INVITE's.
TEST_P(InvitePeersOverTransport, RetransmittedTwoHundredToOurReInviteIsAckedAgain) {
    SippPhone phone;
    phone.Handler().connectedHook = [](InviteSessionHandle session) { session->ProvideOffer(*Sdp("sendonly")); };
    // -nr: else SIPp takes our ACK, rightly sent again unchanged, for a retransmission of the first
    // and answers it with its 200 once more instead of moving on.
    auto sipp = Dial(phone, "call_reinvite_ack_again_uas.xml", {"-nr"});
    ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
    EXPECT_NE(phone.Handler().Text("answer", 1).find("a=recvonly"), std::string::npos);
    ExpectPassed(*sipp, phone);
}

// ---- Reliable provisional responses (RFC 3262) ---------------------------------------------------

// SIPp calls us with Supported: 100rel: our answer goes in a reliable 183 (Require: 100rel, RSeq),
// SIPp PRACKs it with the right RAck, and only then does our 200 leave; SIPp ends the call. Then we
// call SIPp, which answers in a reliable 183 and checks the RAck of our single PRACK before its 200.
// RFC 3261 timers: a PRACK crossing a retransmitted 183 is not what these scenarios check.
TEST_P(InvitePeersOverTransport, ReliableProvisionalsBothWays) {
    {
        SippPhone phone{StackOptions{}};
        phone.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::SupportedEssential);
        phone.Handler().earlyAnswer = true;
        auto sipp = Client("call_prack_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Count("prack"), 1u) << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("SIP/2.0 183"), 1u);
        EXPECT_EQ(phone.Handler().Count("connected"), 1u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone{StackOptions{}};
        auto sipp = Dial(phone, "call_prack_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("PRACK "), 1u);
        EXPECT_EQ(phone.Handler().Count("answer"), 1u) << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Count("early"), 0u);
        HangUpAndPass(*sipp, phone);
    }
}

// The same both ways while SIPp drops one packet in ten each way: our 183 is sent again until
// SIPp's PRACK, its PRACK and our answer to it are retransmitted by the transactions, our 200 waits
// for the PRACK and then until the ACK; SIPp's retransmitted 183 gets no second PRACK.
TEST_F(InvitePeers, ReliableProvisionalsCompleteDespiteLosses) {
    constexpr int kCalls = 5;
    const std::vector<std::string> tolerant = {"-default_behaviors", "all,-abortunexp"};
    SippPhone phone{StackOptions{}};
    phone.Ua().Profile()->SetUasReliableProvisionalMode(ReliableProvisionalMode::SupportedEssential);
    phone.Handler().earlyAnswer = true;
    auto in = Client("call_prack_uac.xml", phone, kCalls, tolerant, 10);
    auto out = Server("call_prack_uas.xml", kCalls, tolerant, 10);
    for (int i = 0; i < kCalls; ++i) {
        phone.Call(*out, transport, Sdp("sendrecv").get());
    }
    phone.EndOurCallsOnceUp(kCalls);
    for (SippProcess* sipp : {in.get(), out.get()}) {
        EXPECT_EQ(sipp->WaitForExit(90s), 0) << sipp->Report();
    }
    EXPECT_EQ(phone.Handler().Count("terminated:RemoteBye"), static_cast<std::size_t>(kCalls)) << phone.Handler().Story();
    EXPECT_EQ(phone.Handler().Sent("PRACK "), static_cast<std::size_t>(kCalls));
    EXPECT_TRUE(WaitUntil([&] { return phone.Sessions() == 0; }, 40s));
}

// ---- Session timers (RFC 4028) ------------------------------------------------------------------
// SIPp's scenarios carry intervals of 90 s (120 s after their 422) and check them on the wire; our
// side runs its session timers 20 times faster (a test-only profile setting), so our refreshes
// come after 2.25 s and our expiry after 3 s, well within the bounds SIPp checks.

void EnableSessionTimers(SippPhone& phone, SessionRefresherPreference refresher, std::uint32_t minSE = 90) {
    const std::shared_ptr<MasterProfile>& profile = phone.Ua().Profile();
    profile->SetSessionTimerSupported(true);
    profile->SetDefaultSessionExpires(90);
    profile->SetDefaultMinSE(minSE);
    profile->SetSessionRefresher(refresher);
    profile->SetSessionTimerSpeedupForTests(20);
}

// We call SIPp: we refresh by UPDATE (SIPp allows it), we retry its 422 with its Min-SE, we end
// the call when SIPp, the refresher, stays silent, and we take SIPp's BYE as the refresher.
TEST_P(InvitePeersOverTransport, OurCallsWithSessionTimers) {
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Local);
        auto sipp = Dial(phone, "call_timer_uas.xml");
        // The BYE waits for the refresh's answer: SIPp takes a request that comes while it is
        // still to send its 200 to the previous one for an unexpected message.
        ASSERT_TRUE(WaitUntil([&] { return phone.Received("200 UPDATE") >= 1; }, 20s))
            << sipp->Report() << phone.Handler().Story();
        ASSERT_TRUE(phone.Handler().WaitFor("connected"));
        phone.WithLive([](InviteSession& session) { session.End(); });
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:LocalBye")) << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Count("answer"), 1u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Unspecified);
        auto sipp = Dial(phone, "call_timer_422_uas.xml");
        ASSERT_TRUE(phone.Handler().WaitFor("connected")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Count("failure"), 0u);
        HangUpAndPass(*sipp, phone);
    }
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Unspecified);
        auto sipp = Dial(phone, "call_timer_expiry_uas.xml");
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:Timeout")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("UPDATE "), 0u);
        EXPECT_EQ(phone.Handler().Sent("BYE "), 1u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Local);
        auto sipp = Dial(phone, "call_timer_bye_uas.xml", {"-d", "500"});
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
        ExpectPassed(*sipp, phone);
    }
}

// SIPp calls us: its refreshes (UPDATE, re-INVITE) are answered with the session interval and
// keep the call up past our expiry time; a Session-Expires below our Min-SE gets 422; a SIPp that
// does not refresh has its call ended by us; and as the refresher we tell SIPp so.
TEST_P(InvitePeersOverTransport, TheirCallsWithSessionTimers) {
    for (const char* scenario : {"call_timer_uac.xml", "call_timer_reinvite_uac.xml"}) {
        SCOPED_TRACE(scenario);
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Unspecified);
        // SIPp refreshes after 2 s, 40 s of our sped-up time, and ends the call 2 s later: past
        // the 60 s at which we would end a call it had not refreshed.
        auto sipp = Client(scenario, phone, 1, {"-d", "2000"});
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("BYE "), 0u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Unspecified, 120);
        auto sipp = Client("call_timer_422_uac.xml", phone);
        ASSERT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("SIP/2.0 422 "), 1u);
        EXPECT_EQ(phone.Handler().Count("new"), 1u) << "the refused INVITE never reached the application";
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Unspecified);
        auto sipp = Client("call_timer_expiry_uac.xml", phone);
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:Timeout")) << sipp->Report() << phone.Handler().Story();
        EXPECT_EQ(phone.Handler().Sent("BYE "), 1u);
        ExpectPassed(*sipp, phone);
    }
    {
        SippPhone phone;
        EnableSessionTimers(phone, SessionRefresherPreference::Local);
        auto sipp = Client("call_timer_bye_uac.xml", phone, 1, {"-d", "500"});
        EXPECT_TRUE(phone.Handler().WaitFor("terminated:RemoteBye")) << sipp->Report() << phone.Handler().Story();
        ExpectPassed(*sipp, phone);
    }
}

} // namespace
} // namespace zel::sip::stack::test

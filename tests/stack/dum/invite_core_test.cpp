// The offer/answer and invite session cores, driven without sockets or clocks: tables of inputs
// per state with the messages, timers and events each must give.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stack/dum/InviteCoreSupport.h"
#include "stack/dum/OfferAnswer.h"

namespace zel::sip::stack::test {
namespace {

using Carrier = OfferAnswer::Carrier;
using Verdict = OfferAnswer::Verdict;

TEST(OfferAnswer, EveryCarrierInEveryState) {
    struct Case {
        OfferAnswer::State from;
        Carrier carrier;
        Verdict verdict;
        OfferAnswer::State to;
    };
    using S = OfferAnswer::State;
    const std::vector<Case> cases = {
        {S::Idle, Carrier::Request, Verdict::Offer, S::RemoteOffer},
        {S::Idle, Carrier::Reliable, Verdict::Offer, S::RemoteOffer},
        {S::Idle, Carrier::Unreliable1xx, Verdict::Ignored, S::Idle},
        {S::Idle, Carrier::Ack, Verdict::Ignored, S::Idle},
        {S::LocalOffer, Carrier::Request, Verdict::Glare, S::LocalOffer},
        {S::LocalOffer, Carrier::Reliable, Verdict::Answer, S::Idle},
        {S::LocalOffer, Carrier::Ack, Verdict::Answer, S::Idle},
        {S::LocalOffer, Carrier::Unreliable1xx, Verdict::EarlyMedia, S::LocalOffer},
        {S::RemoteOffer, Carrier::Request, Verdict::Pending, S::RemoteOffer},
        {S::RemoteOffer, Carrier::Reliable, Verdict::Illegal, S::RemoteOffer},
        {S::RemoteOffer, Carrier::Ack, Verdict::Illegal, S::RemoteOffer},
        {S::RemoteOffer, Carrier::Unreliable1xx, Verdict::Ignored, S::RemoteOffer},
    };
    for (const Case& c : cases) {
        OfferAnswer oa;
        if (c.from == S::LocalOffer) {
            ASSERT_TRUE(oa.OfferSent());
        } else if (c.from == S::RemoteOffer) {
            ASSERT_EQ(oa.OnReceived(Carrier::Request), Verdict::Offer);
        }
        EXPECT_EQ(oa.OnReceived(c.carrier), c.verdict) << ToString(c.from) << " carrier " << static_cast<int>(c.carrier);
        EXPECT_EQ(oa.GetState(), c.to) << ToString(c.from) << " carrier " << static_cast<int>(c.carrier);
        EXPECT_EQ(oa.HasNegotiated(), c.verdict == Verdict::Answer);
    }
}

TEST(OfferAnswer, SendingNeedsTheRightStateAndRollBackKeepsTheLastSession) {
    OfferAnswer oa;
    EXPECT_FALSE(oa.AnswerSent());
    EXPECT_TRUE(oa.OfferSent());
    EXPECT_FALSE(oa.OfferSent()); // one offer at a time (RFC 3264 section 4)
    EXPECT_EQ(oa.OnReceived(Carrier::Reliable), Verdict::Answer);
    EXPECT_TRUE(oa.HasNegotiated());
    EXPECT_TRUE(oa.OfferSent());
    oa.RollBack(); // a refused re-offer
    EXPECT_EQ(oa.GetState(), OfferAnswer::State::Idle);
    EXPECT_TRUE(oa.HasNegotiated());
    EXPECT_EQ(oa.OnReceived(Carrier::Request), Verdict::Offer);
    EXPECT_FALSE(oa.OfferSent());
    EXPECT_TRUE(oa.AnswerSent());
}

std::vector<InviteEvent> Events(std::initializer_list<InviteEvent> events) { return events; }

TEST(InviteCore, OutgoingCallResponses) {
    struct Case {
        const char* name;
        bool offerInInvite;
        std::vector<std::pair<int, bool>> responses; // code, has SDP
        std::vector<InviteEvent> lastEvents;
        std::vector<Kind> lastSends;
        InviteSessionCore::State state;
        std::optional<TerminatedReason> terminated;
    };
    using E = InviteEvent;
    using St = InviteSessionCore::State;
    const std::vector<Case> cases = {
        {"ringing then answer", true, {{180, false}, {200, true}}, {E::Answer, E::Connected}, {Kind::Ack}, St::Connected, {}},
        {"first response is the 2xx", true, {{200, true}}, {E::NewSession, E::Answer, E::Connected}, {Kind::Ack}, St::Connected, {}},
        {"early media preview", true, {{183, true}}, {E::NewSession, E::EarlyMedia, E::Provisional}, {}, St::Early, {}},
        {"2xx without the answer", true, {{200, false}}, {E::NewSession, E::IllegalNegotiation, E::Connected}, {Kind::Ack}, St::Connected, {}},
        {"offer in the 2xx waits for our answer", false, {{200, true}}, {E::NewSession, E::Offer, E::Connected}, {}, St::Connected, {}},
        {"busy", true, {{180, false}, {486, false}}, {E::Failure, E::Terminated}, {}, St::Terminated, TerminatedReason::Rejected},
        {"refused before any provisional", true, {{486, false}}, {E::NewSession, E::Failure, E::Terminated}, {}, St::Terminated, TerminatedReason::Rejected},
        {"redirected", true, {{302, false}}, {E::NewSession, E::Redirected, E::Failure, E::Terminated}, {}, St::Terminated, TerminatedReason::Rejected},
        {"100 is no session", true, {{100, false}}, {}, {}, St::Calling, {}},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Client(c.offerInInvite, Timings());
        InviteStep step;
        for (const auto& [code, sdp] : c.responses) {
            step = core.OnInviteResponse(code, sdp, false, kStart);
        }
        EXPECT_EQ(step.events, c.lastEvents) << c.name;
        std::vector<Kind> sends;
        for (const InviteSend& send : step.send) {
            sends.push_back(send.kind);
        }
        EXPECT_EQ(sends, c.lastSends) << c.name;
        EXPECT_EQ(core.GetState(), c.state) << c.name << ": " << ToString(core.GetState());
        EXPECT_EQ(step.terminated, c.terminated) << c.name;
    }
}

TEST(InviteCore, OfferInThe2xxIsAnsweredInTheAck) {
    InviteSessionCore core = InviteSessionCore::Client(false, Timings());
    core.OnInviteResponse(200, true, false, kStart);
    // A retransmitted 2xx before our answer is not ACKed without it.
    EXPECT_TRUE(core.On2xxRetransmission().send.empty());
    const InviteStep step = core.ProvideAnswer(kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].kind, Kind::Ack);
    EXPECT_TRUE(step.send[0].withBody);
    EXPECT_TRUE(core.Negotiation().HasNegotiated());
    EXPECT_TRUE(core.On2xxRetransmission().Sends(Kind::RetransmitAck));
}

TEST(InviteCore, CancelBeforeAndCrossingTheAnswer) {
    {
        InviteSessionCore core = InviteSessionCore::Client(true, Timings());
        core.OnInviteResponse(180, false, false, kStart);
        InviteStep step = core.End();
        EXPECT_TRUE(step.Sends(Kind::Cancel));
        EXPECT_TRUE(core.End().send.empty()); // once
        step = core.OnInviteResponse(487, false, false, kStart);
        EXPECT_EQ(step.terminated, TerminatedReason::LocalCancel);
        EXPECT_FALSE(step.Has(InviteEvent::Failure));
        EXPECT_TRUE(step.Has(InviteEvent::Terminated));
    }
    {
        InviteSessionCore core = InviteSessionCore::Client(true, Timings());
        core.OnInviteResponse(180, false, false, kStart);
        core.End();
        const InviteStep step = core.OnInviteResponse(200, true, false, kStart);
        ASSERT_EQ(step.send.size(), 2u);
        EXPECT_EQ(step.send[0].kind, Kind::Ack);
        EXPECT_EQ(step.send[1].kind, Kind::Bye);
        EXPECT_EQ(step.terminated, TerminatedReason::LocalCancel);
    }
    {
        // Cancelled before anything came: the application never heard of the session.
        InviteSessionCore core = InviteSessionCore::Client(true, Timings());
        core.End();
        const InviteStep step = core.OnInviteResponse(487, false, false, kStart);
        EXPECT_EQ(step.terminated, TerminatedReason::LocalCancel);
        EXPECT_TRUE(step.events.empty());
    }
}

TEST(InviteCore, IncomingCallAcceptedRetransmitsUntilAck) {
    InviteSessionCore core = InviteSessionCore::Server(Timings());
    EXPECT_EQ(core.Start(true).events, Events({InviteEvent::NewSession, InviteEvent::Offer}));
    EXPECT_THROW(core.Accept(200, kStart), std::logic_error); // no answer yet
    EXPECT_TRUE(core.ProvideAnswer(kStart).send.empty());   // waits for the 2xx
    InviteStep step = core.Accept(200, kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 200);
    EXPECT_TRUE(step.send[0].withBody);
    ASSERT_EQ(step.arm.size(), 2u);
    EXPECT_EQ(step.arm[0], std::make_pair(InviteTimer::Retransmit2xx, kStart + 500ms));
    EXPECT_EQ(step.arm[1], std::make_pair(InviteTimer::AckWait, kStart + 32s));
    // T1, 2T1, 4T1, then capped at T2.
    std::vector<std::chrono::milliseconds> intervals;
    Clock::time_point now = kStart + 500ms;
    for (int i = 0; i < 5; ++i) {
        step = core.OnTimer(InviteTimer::Retransmit2xx, now);
        ASSERT_TRUE(step.Sends(Kind::Retransmit2xx));
        ASSERT_EQ(step.arm.size(), 1u);
        intervals.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(step.arm[0].second - now));
        now = step.arm[0].second;
    }
    EXPECT_EQ(intervals, (std::vector<std::chrono::milliseconds>{1000ms, 2000ms, 4000ms, 4000ms, 4000ms}));
    step = core.OnAck(false);
    EXPECT_EQ(step.events, Events({InviteEvent::AckReceived, InviteEvent::Connected, InviteEvent::ConnectedConfirmed}));
    EXPECT_TRUE(core.OnTimer(InviteTimer::Retransmit2xx, now).send.empty()); // stale
    EXPECT_TRUE(core.OnAck(false).events.empty());                          // retransmitted ACK
}

// The peer's first ACK is lost and its re-INVITE comes while our 2xx still waits for it: the 2xx
// has gone and the INVITE's exchange is complete, so the re-INVITE confirms the dialog and is taken
// (RFC 3261 section 14.2 asks for 500 only before the final response). With our offer in the 2xx
// still unanswered it is refused.
TEST(InviteCore, ReInviteBeforeTheAckOfOurTwoHundred) {
    InviteSessionCore core = AcceptedServer();
    InviteStep step = core.OnRequest("INVITE", true, kStart);
    EXPECT_TRUE(step.send.empty());
    EXPECT_EQ(step.events, Events({InviteEvent::Connected, InviteEvent::ConnectedConfirmed, InviteEvent::Offer}));
    EXPECT_EQ(step.stop, (std::vector<InviteTimer>{InviteTimer::Retransmit2xx, InviteTimer::AckWait}));
    EXPECT_TRUE(core.IsConnected());
    step = core.ProvideAnswer(kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 200);
    // Its ACK is lost too, and the next re-INVITE comes: taken the same way.
    step = core.OnRequest("INVITE", true, kStart);
    EXPECT_TRUE(step.send.empty());
    EXPECT_EQ(step.events, Events({InviteEvent::Offer}));
    EXPECT_EQ(step.stop, (std::vector<InviteTimer>{InviteTimer::Retransmit2xx, InviteTimer::AckWait}));
    step = core.ProvideAnswer(kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 200);
    EXPECT_EQ(core.OnAck(false).events, Events({InviteEvent::AckReceived}));

    InviteSessionCore offered = InviteSessionCore::Server(Timings());
    offered.Start(false);
    offered.ProvideOffer(kStart);
    offered.Accept(200, kStart);
    step = offered.OnRequest("INVITE", true, kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 500);
    EXPECT_TRUE(step.events.empty());
    EXPECT_FALSE(offered.IsConnected());
}

TEST(InviteCore, IncomingCallWithoutOfferOrAck) {
    InviteSessionCore core = InviteSessionCore::Server(Timings());
    EXPECT_EQ(core.Start(false).events, Events({InviteEvent::NewSession, InviteEvent::OfferRequired}));
    EXPECT_THROW(core.ProvideAnswer(kStart), std::logic_error);
    core.ProvideOffer(kStart);
    core.Accept(200, kStart);
    // The ACK must carry the answer; one without is an illegal negotiation.
    InviteStep step = core.OnAck(true);
    EXPECT_EQ(step.events, Events({InviteEvent::Answer, InviteEvent::AckReceived, InviteEvent::Connected,
                                   InviteEvent::ConnectedConfirmed}));

    InviteSessionCore silent = AcceptedServer();
    step = silent.OnTimer(InviteTimer::AckWait, kStart + 32s);
    EXPECT_EQ(step.events, Events({InviteEvent::AckNotReceived}));
    EXPECT_EQ(step.stop, std::vector<InviteTimer>{InviteTimer::Retransmit2xx});
}

TEST(InviteCore, RejectCancelAndEndOfAnIncomingCall) {
    struct Case {
        const char* name;
        std::function<InviteStep(InviteSessionCore&)> act;
        int code;
        TerminatedReason reason;
    };
    const std::vector<Case> cases = {
        {"reject", [](InviteSessionCore& c) { return c.Reject(486); }, 486, TerminatedReason::Rejected},
        {"cancelled", [](InviteSessionCore& c) { return c.OnCancel(); }, 487, TerminatedReason::RemoteCancel},
        {"ended unanswered", [](InviteSessionCore& c) { return c.End(); }, 480, TerminatedReason::Rejected},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Server(Timings());
        core.Start(true);
        const InviteStep step = c.act(core);
        ASSERT_EQ(step.send.size(), 1u) << c.name;
        EXPECT_EQ(step.send[0].kind, Kind::Response) << c.name;
        EXPECT_EQ(step.send[0].code, c.code) << c.name;
        EXPECT_EQ(step.send[0].method, "INVITE") << c.name;
        EXPECT_EQ(step.terminated, c.reason) << c.name;
        EXPECT_TRUE(core.OnCancel().send.empty()) << c.name;
    }
    InviteSessionCore core = InviteSessionCore::Server(Timings());
    core.Start(true);
    EXPECT_THROW(core.Reject(200), std::logic_error);
}

TEST(InviteCore, ByeBothWays) {
    InviteSessionCore local = ConnectedServer();
    InviteStep step = local.End();
    EXPECT_TRUE(step.Sends(Kind::Bye));
    EXPECT_FALSE(step.terminated);
    EXPECT_TRUE(local.End().send.empty());
    step = local.OnInDialogResponse("BYE", 200, false, kStart);
    EXPECT_EQ(step.terminated, TerminatedReason::LocalBye);

    InviteSessionCore remote = ConnectedClient();
    step = remote.OnRequest("BYE", true, kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 200);
    EXPECT_EQ(step.terminated, TerminatedReason::RemoteBye);
    EXPECT_EQ(remote.OnRequest("INFO", false, kStart).send[0].code, 481);

    // Ending before the ACK of our 2xx waits for it (RFC 3261 section 15).
    InviteSessionCore early = AcceptedServer();
    EXPECT_TRUE(early.End().send.empty());
    EXPECT_TRUE(early.OnAck(false).Sends(Kind::Bye));
}

TEST(InviteCore, ReInviteHoldAndOfferRequired) {
    InviteSessionCore core = ConnectedClient();
    InviteStep step = core.ProvideOffer(kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].kind, Kind::ReInvite);
    EXPECT_THROW(core.ProvideOffer(kStart), std::logic_error); // one at a time
    step = core.OnInDialogResponse("INVITE", 200, true, kStart);
    EXPECT_TRUE(step.Sends(Kind::Ack));
    EXPECT_EQ(step.events, Events({InviteEvent::Answer}));

    // A re-INVITE without offer: our offer in the 2xx, the answer in the ACK.
    step = core.OnRequest("INVITE", false, kStart);
    EXPECT_EQ(step.events, Events({InviteEvent::OfferRequired}));
    step = core.ProvideOffer(kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 200);
    EXPECT_TRUE(step.send[0].withBody);
    EXPECT_EQ(core.OnAck(true).events, Events({InviteEvent::Answer, InviteEvent::AckReceived}));
    EXPECT_TRUE(core.IsConnected());

    // A refused re-INVITE leaves the session up.
    core.ProvideOffer(kStart);
    step = core.OnInDialogResponse("INVITE", 488, false, kStart);
    EXPECT_EQ(step.events, Events({InviteEvent::OfferRejected}));
    EXPECT_TRUE(core.IsConnected());
    EXPECT_TRUE(core.Negotiation().CanSendOffer());
}

TEST(InviteCore, PeerOffersInReInviteAndUpdate) {
    for (const char* method : {"INVITE", "UPDATE"}) {
        InviteSessionCore core = ConnectedServer();
        InviteStep step = core.OnRequest(method, true, kStart);
        EXPECT_EQ(step.events, Events({InviteEvent::Offer})) << method;
        // A second offer before we answered: 500 (RFC 3311 section 5.2, RFC 3261 section 14.2).
        step = core.OnRequest(method, true, kStart);
        ASSERT_EQ(step.send.size(), 1u) << method;
        EXPECT_EQ(step.send[0].code, 500) << method;
        step = core.ProvideAnswer(kStart);
        ASSERT_EQ(step.send.size(), 1u) << method;
        EXPECT_EQ(step.send[0].code, 200) << method;
        EXPECT_EQ(step.send[0].method, method);
        EXPECT_EQ(core.RemoteRequestPending(), std::string(method) == "INVITE") << method;

        // Refusing the next offer keeps the call.
        InviteSessionCore refusing = ConnectedServer();
        refusing.OnRequest(method, true, kStart);
        step = refusing.Reject(488);
        EXPECT_EQ(step.send[0].code, 488);
        EXPECT_FALSE(step.terminated);
        EXPECT_TRUE(refusing.IsConnected());
        EXPECT_FALSE(refusing.RemoteRequestPending());
    }
}

TEST(InviteCore, GlareBothSides) {
    struct Case {
        bool client;
        double uniform;
        std::chrono::milliseconds delay;
    };
    // The owner of the Call-ID (the UAC) waits 2.1-4 s, the other side 0-2 s (RFC 3261 section 14.1).
    const std::vector<Case> cases = {
        {true, 0.0, 2100ms}, {true, 0.999, 4000ms}, {false, 0.0, 0ms}, {false, 0.999, 2000ms}, {false, 0.5, 1000ms},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = c.client ? ConnectedClient(c.uniform) : ConnectedServer(c.uniform);
        core.ProvideOffer(kStart);
        // The peer's re-INVITE crosses ours: 491.
        InviteStep step = core.OnRequest("INVITE", true, kStart);
        ASSERT_EQ(step.send.size(), 1u);
        EXPECT_EQ(step.send[0].code, 491);
        EXPECT_TRUE(step.events.empty());
        // Ours is refused with 491 too: retry later.
        step = core.OnInDialogResponse("INVITE", 491, false, kStart);
        ASSERT_EQ(step.arm.size(), 1u);
        EXPECT_EQ(step.arm[0].first, InviteTimer::GlareRetry);
        EXPECT_EQ(step.arm[0].second - kStart, c.delay) << c.client << " " << c.uniform;
        EXPECT_TRUE(step.events.empty());
        EXPECT_THROW(core.ProvideOffer(kStart), std::logic_error);
        step = core.OnTimer(InviteTimer::GlareRetry, step.arm[0].second);
        ASSERT_EQ(step.send.size(), 1u);
        EXPECT_EQ(step.send[0].kind, Kind::ReInvite);
        EXPECT_TRUE(step.send[0].withBody);
    }
    // The peer's offer arriving while we wait wins: ours is dropped when the timer fires.
    InviteSessionCore core = ConnectedClient();
    core.ProvideOffer(kStart);
    core.OnInDialogResponse("INVITE", 491, false, kStart);
    EXPECT_EQ(core.OnRequest("INVITE", true, kStart).events, Events({InviteEvent::Offer}));
    InviteStep step = core.OnTimer(InviteTimer::GlareRetry, kStart + 5s);
    EXPECT_TRUE(step.send.empty());
    ASSERT_EQ(step.arm.size(), 1u);
    EXPECT_EQ(step.arm[0].second, kStart + 5s + 3050ms);
    core.ProvideAnswer(kStart + 5s);
    core.OnAck(false);
    step = core.OnTimer(InviteTimer::GlareRetry, step.arm[0].second);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].kind, Kind::ReInvite);
}

TEST(InviteCore, InDialogRequestsAndFailures) {
    InviteSessionCore core = ConnectedClient();
    struct Case {
        const char* method;
        int code;
        std::vector<InviteEvent> events;
    };
    const std::vector<Case> cases = {
        {"INFO", 200, {InviteEvent::Info}},     {"MESSAGE", 200, {InviteEvent::Message}},
        {"OPTIONS", 200, {}},                   {"PRACK", 481, {}},
        {"NOTIFY", 501, {}},                    {"UPDATE", 200, {}}, // a target refresh without offer
    };
    for (const Case& c : cases) {
        const InviteStep step = core.OnRequest(c.method, false, kStart);
        ASSERT_EQ(step.send.size(), 1u) << c.method;
        EXPECT_EQ(step.send[0].code, c.code) << c.method;
        EXPECT_EQ(step.events, c.events) << c.method;
    }
    EXPECT_EQ(core.OnRequest("REFER", false, kStart).events, Events({InviteEvent::Refer}));
    EXPECT_EQ(core.OnInDialogResponse("INFO", 200, false, kStart).events, Events({InviteEvent::InfoSuccess}));
    EXPECT_EQ(core.OnInDialogResponse("MESSAGE", 404, false, kStart).events, Events({InviteEvent::MessageFailure}));
    // A re-INVITE answered 481: the dialog is gone (RFC 5057).
    core.ProvideOffer(kStart);
    const InviteStep step = core.OnInDialogResponse("INVITE", 481, false, kStart);
    EXPECT_EQ(step.terminated, TerminatedReason::Error);
}

TEST(InviteCore, InviteTimeoutAndTransportError) {
    InviteSessionCore timedOut = InviteSessionCore::Client(true, Timings());
    InviteStep step = timedOut.OnInviteFailure(true);
    EXPECT_EQ(step.events, Events({InviteEvent::NewSession, InviteEvent::Failure, InviteEvent::Terminated}));
    EXPECT_EQ(step.terminated, TerminatedReason::Timeout);
    InviteSessionCore unsent = InviteSessionCore::Client(true, Timings());
    EXPECT_EQ(unsent.OnInviteFailure(false).terminated, TerminatedReason::Error);
    EXPECT_TRUE(unsent.OnInviteFailure(false).events.empty());
}

} // namespace
} // namespace zel::sip::stack::test

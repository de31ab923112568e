// The invite session core's rarer events, without sockets or clocks: the timers that watch our
// INVITEs, the confirmation of an incoming call, a second answer, asking the peer for an offer and
// the answer to a REFER of ours.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "stack/dum/InviteCoreSupport.h"

namespace zel::sip::stack::test {
namespace {

using St = InviteSessionCore::State;

// A call that gets no final response is stale after the stale-call time, whatever provisionals
// came; once answered, cancelled or failed the timer says nothing (and the answer stops it).
TEST(InviteCoreCallbacks, StaleCallTimer) {
    struct Case {
        const char* name;
        std::vector<int> responses; // before the timer fires; 0 stands for our End
        bool fires;
    };
    const std::vector<Case> cases = {
        {"no response at all", {}, true},
        {"ringing for ever", {180, 183}, true},
        {"answered", {180, 200}, false},
        {"refused", {486}, false},
        {"cancelled by us", {180, 0}, false},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Client(true, Timings());
        const InviteStep sent = core.OnInviteSent(kStart);
        ASSERT_EQ(Armed(sent, InviteTimer::StaleCall), kStart + 180s) << c.name;
        for (const int code : c.responses) {
            const InviteStep step = code == 0 ? core.End() : core.OnInviteResponse(code, code == 200, false, kStart);
            if (code == 200) {
                EXPECT_TRUE(Stops(step, InviteTimer::StaleCall)) << c.name;
            }
        }
        const InviteStep fired = core.OnTimer(InviteTimer::StaleCall, kStart + 180s);
        EXPECT_EQ(fired.Has(E::StaleCallTimeout), c.fires) << c.name;
        EXPECT_TRUE(fired.send.empty()) << c.name; // ending it is the application's (default: End)
    }
    InviteStep unlimited = InviteSessionCore::Client(true, [] {
                               InviteTimings timings = Timings();
                               timings.staleCall = 0s;
                               return timings;
                           }())
                               .OnInviteSent(kStart);
    EXPECT_FALSE(Armed(unlimited, InviteTimer::StaleCall));
}

// Our re-INVITE is watched until its final response; an UPDATE is not (it is no INVITE
// transaction a provisional can keep open).
TEST(InviteCoreCallbacks, StaleReInviteTimer) {
    InviteSessionCore core = ConnectedClient();
    InviteStep step = core.ProvideOffer(kStart + 1s);
    EXPECT_EQ(Armed(step, InviteTimer::StaleReInvite), kStart + 41s);
    step = core.OnTimer(InviteTimer::StaleReInvite, kStart + 41s);
    EXPECT_EQ(step.events, std::vector<E>{E::StaleReInviteTimeout});
    EXPECT_TRUE(step.send.empty());
    step = core.OnInDialogResponse("INVITE", 200, true, kStart + 42s);
    EXPECT_TRUE(Stops(step, InviteTimer::StaleReInvite));
    EXPECT_TRUE(core.OnTimer(InviteTimer::StaleReInvite, kStart + 81s).events.empty());

    step = core.ProvideOffer(kStart + 50s, /*useUpdate=*/true);
    EXPECT_FALSE(Armed(step, InviteTimer::StaleReInvite));

    // A re-INVITE retried after a 491 is watched again.
    InviteSessionCore glare = ConnectedClient();
    glare.ProvideOffer(kStart);
    step = glare.OnInDialogResponse("INVITE", 491, false, kStart + 1s);
    const std::optional<Clock::time_point> retry = Armed(step, InviteTimer::GlareRetry);
    ASSERT_TRUE(retry);
    step = glare.OnTimer(InviteTimer::GlareRetry, *retry);
    EXPECT_EQ(Kinds(step), std::vector<Kind>{Kind::ReInvite});
    EXPECT_EQ(Armed(step, InviteTimer::StaleReInvite), *retry + 40s);
}

// RFC 3261 section 13.2.2.4: a 2xx with an offer is ACKed even when the application never
// answers it; the ACK then has no body and the call is ended at once.
TEST(InviteCoreCallbacks, OfferInTheTwoHundredLeftUnanswered) {
    InviteSessionCore core = InviteSessionCore::Client(false, Timings());
    InviteStep step = core.OnInviteResponse(200, true, false, kStart);
    EXPECT_TRUE(step.Has(E::Offer));
    EXPECT_TRUE(step.send.empty());
    EXPECT_EQ(Armed(step, InviteTimer::AnswerDue), kStart + 16s); // 32*T1: the peer gives up at 64*T1
    step = core.OnTimer(InviteTimer::AnswerDue, kStart + 16s);
    ASSERT_EQ(Kinds(step), (std::vector<Kind>{Kind::Ack, Kind::Bye}));
    EXPECT_FALSE(step.send[0].withBody);
    EXPECT_EQ(core.GetState(), St::Ending);
    EXPECT_TRUE(core.On2xxRetransmission().Sends(Kind::RetransmitAck));

    // Answered in time: the ACK carries the answer and the timer is stopped.
    InviteSessionCore answered = InviteSessionCore::Client(false, Timings());
    answered.OnInviteResponse(200, true, false, kStart);
    step = answered.ProvideAnswer(kStart + 1s);
    ASSERT_EQ(Kinds(step), std::vector<Kind>{Kind::Ack});
    EXPECT_TRUE(step.send[0].withBody);
    EXPECT_TRUE(Stops(step, InviteTimer::AnswerDue));
    EXPECT_TRUE(answered.OnTimer(InviteTimer::AnswerDue, kStart + 16s).send.empty());
    EXPECT_TRUE(answered.IsConnected());
}

// onConnectedConfirmed comes once, with the ACK of the INVITE's 2xx (or the re-INVITE that stands
// for a lost one), never for the ACK of a re-INVITE's 2xx.
TEST(InviteCoreCallbacks, IncomingCallConfirmedOnce) {
    InviteSessionCore core = AcceptedServer();
    EXPECT_EQ(core.OnAck(false).events, (std::vector<E>{E::AckReceived, E::Connected, E::ConnectedConfirmed}));
    core.OnRequest("INVITE", true, kStart);
    core.ProvideAnswer(kStart);
    EXPECT_EQ(core.OnAck(false).events, std::vector<E>{E::AckReceived});

    InviteSessionCore lostAck = AcceptedServer();
    EXPECT_EQ(lostAck.OnRequest("INVITE", true, kStart).events,
              (std::vector<E>{E::Connected, E::ConnectedConfirmed, E::Offer}));
}

// An answer that came in a reliable 1xx and comes again in the 2xx is reported (the session
// compares the bodies); a 2xx without body, or after an unreliable preview, is not.
TEST(InviteCoreCallbacks, SecondAnswerInTheTwoHundred) {
    struct Case {
        const char* name;
        bool reliable;
        bool bodyIn2xx;
        std::vector<E> events;
    };
    const std::vector<Case> cases = {
        {"reliable answer, 2xx repeats it", true, true, {E::RemoteAnswerChanged, E::Connected}},
        {"reliable answer, 2xx without body", true, false, {E::Connected}},
        {"unreliable preview, 2xx answers", false, true, {E::Answer, E::Connected}},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Client(true, Timings());
        core.OnInviteResponse(183, true, c.reliable, kStart);
        const InviteStep step = core.OnInviteResponse(200, c.bodyIn2xx, false, kStart);
        EXPECT_EQ(step.events, c.events) << c.name;
        EXPECT_EQ(Kinds(step), std::vector<Kind>{Kind::Ack}) << c.name;
    }
}

// RequestOffer: a re-INVITE without body, the offer in its 2xx and our answer in the ACK; a
// refusal is OfferRequestRejected (not OfferRejected), a 491 retries without body again.
TEST(InviteCoreCallbacks, AskingThePeerForAnOffer) {
    struct Case {
        const char* name;
        int code;
        bool body;
        std::vector<E> events;
        std::vector<Kind> sends;
        St state;
    };
    const std::vector<Case> cases = {
        {"offer in the 200", 200, true, {E::Offer}, {}, St::Connected},
        {"200 without offer", 200, false, {E::IllegalNegotiation}, {Kind::Ack}, St::Connected},
        {"refused", 488, false, {E::OfferRequestRejected}, {}, St::Connected},
        {"dialog gone", 481, false, {E::OfferRequestRejected, E::Terminated}, {}, St::Terminated},
        {"glare", 491, false, {}, {}, St::Connected},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = ConnectedClient();
        InviteStep step = core.RequestOffer(kStart);
        ASSERT_EQ(Kinds(step), std::vector<Kind>{Kind::ReInvite}) << c.name;
        EXPECT_FALSE(step.send[0].withBody) << c.name;
        EXPECT_TRUE(Armed(step, InviteTimer::StaleReInvite)) << c.name;
        EXPECT_THROW(core.RequestOffer(kStart), std::logic_error) << c.name;
        EXPECT_THROW(core.ProvideOffer(kStart), std::logic_error) << c.name;
        step = core.OnInDialogResponse("INVITE", c.code, c.body, kStart);
        EXPECT_EQ(step.events, c.events) << c.name;
        EXPECT_EQ(Kinds(step), c.sends) << c.name;
        EXPECT_EQ(core.GetState(), c.state) << c.name;
        if (c.code == 200 && c.body) {
            EXPECT_TRUE(step.bodyIsOffer);
            step = core.ProvideAnswer(kStart);
            ASSERT_EQ(Kinds(step), std::vector<Kind>{Kind::Ack});
            EXPECT_TRUE(step.send[0].withBody);
            EXPECT_EQ(core.Negotiation().GetState(), OfferAnswer::State::Idle);
        }
        if (c.code == 491) {
            step = core.OnTimer(InviteTimer::GlareRetry, kStart + 10s);
            ASSERT_EQ(Kinds(step), std::vector<Kind>{Kind::ReInvite});
            EXPECT_FALSE(step.send[0].withBody);
            EXPECT_EQ(core.Negotiation().GetState(), OfferAnswer::State::Idle);
        }
    }
    InviteSessionCore calling = InviteSessionCore::Client(true, Timings());
    EXPECT_THROW(calling.RequestOffer(kStart), std::logic_error);
}

// A REFER of ours: its answer is reported and the peer's NOTIFYs about it are answered 200; a
// NOTIFY with no REFER of ours is a method we do not take (501).
TEST(InviteCoreCallbacks, ReferOutcomes) {
    InviteSessionCore calling = InviteSessionCore::Client(true, Timings());
    EXPECT_THROW(calling.ReferSent(), std::logic_error);

    InviteSessionCore core = ConnectedClient();
    ASSERT_EQ(core.OnRequest("NOTIFY", false, kStart).send.at(0).code, 501);
    core.ReferSent();
    EXPECT_EQ(core.OnInDialogResponse("REFER", 202, false, kStart).events, std::vector<E>{E::ReferAccepted});
    InviteStep notify = core.OnRequest("NOTIFY", true, kStart);
    ASSERT_EQ(notify.send.size(), 1u);
    EXPECT_EQ(notify.send[0].code, 200);
    EXPECT_EQ(notify.send[0].method, "NOTIFY");
    EXPECT_EQ(core.OnInDialogResponse("REFER", 603, false, kStart).events, std::vector<E>{E::ReferRejected});
    EXPECT_TRUE(core.IsConnected());
}

} // namespace
} // namespace zel::sip::stack::test

// The invite session core with reliable provisional responses (RFC 3262): which 1xx get a PRACK
// and when, what their descriptions count for, and how the called side's 2xx, PRACK and give-up
// follow. No sockets, no clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "stack/dum/InviteCoreSupport.h"

namespace zel::sip::stack::test {
namespace {

std::vector<std::pair<Kind, bool>> Sends(const InviteStep& step) {
    std::vector<std::pair<Kind, bool>> sends;
    for (const InviteSend& send : step.send) {
        sends.emplace_back(send.kind, send.withBody);
    }
    return sends;
}

// The caller: one 1xx after another (code, SDP, reliable), the last one's step checked.
TEST(InviteCoreReliable, CallerPracksEachReliableProvisional) {
    struct Response {
        int code;
        bool sdp;
        bool reliable;
    };
    struct Case {
        const char* name;
        bool offerInInvite;
        bool cancelFirst;
        std::vector<Response> responses;
        std::vector<E> lastEvents;
        std::vector<std::pair<Kind, bool>> lastSends;
        bool awaitsAnswer;
    };
    const std::vector<Case> cases = {
        {"answer in a reliable 183", true, false, {{183, true, true}}, {E::NewSession, E::Answer, E::Provisional},
         {{Kind::Prack, false}}, false},
        {"reliable 180 without body", true, false, {{180, false, true}}, {E::NewSession, E::Provisional},
         {{Kind::Prack, false}}, false},
        // RFC 3261 section 13.2.1: the exchange is complete, a repeated description is no offer.
        {"answer repeated in a second reliable 1xx", true, false, {{183, true, true}, {180, true, true}},
         {E::Provisional}, {{Kind::Prack, false}}, false},
        {"unreliable preview", true, false, {{183, true, false}}, {E::NewSession, E::EarlyMedia, E::Provisional}, {}, false},
        {"offer in a reliable 183 waits for our answer", false, false, {{183, true, true}},
         {E::NewSession, E::Offer, E::Provisional}, {}, true},
        {"reliable 1xx after our CANCEL", false, true, {{183, true, true}}, {}, {{Kind::Prack, false}}, false},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Client(c.offerInInvite, Timings());
        if (c.cancelFirst) {
            core.End();
        }
        InviteStep step;
        for (const Response& response : c.responses) {
            step = core.OnInviteResponse(response.code, response.sdp, response.reliable, kStart);
        }
        EXPECT_EQ(step.events, c.lastEvents) << c.name;
        EXPECT_EQ(Sends(step), c.lastSends) << c.name;
        EXPECT_EQ(core.PrackAwaitsAnswer(), c.awaitsAnswer) << c.name;
    }
}

// An offer in a reliable 1xx: our answer leaves in its PRACK; the 2xx that follows carries nothing
// new. A 2xx that overtakes our answer takes it in the ACK instead; a failure drops it.
TEST(InviteCoreReliable, OfferInAReliableProvisionalIsAnsweredInThePrack) {
    {
        InviteSessionCore core = InviteSessionCore::Client(false, Timings());
        ASSERT_TRUE(core.OnInviteResponse(183, true, true, kStart).bodyIsOffer);
        EXPECT_EQ(Sends(core.ProvideAnswer(kStart)), (std::vector<std::pair<Kind, bool>>{{Kind::Prack, true}}));
        EXPECT_FALSE(core.PrackAwaitsAnswer());
        EXPECT_TRUE(core.Negotiation().HasNegotiated());
        const InviteStep ok = core.OnInviteResponse(200, false, false, kStart);
        EXPECT_EQ(ok.events, (std::vector<E>{E::Connected}));
        EXPECT_EQ(Sends(ok), (std::vector<std::pair<Kind, bool>>{{Kind::Ack, false}}));
    }
    {
        InviteSessionCore core = InviteSessionCore::Client(false, Timings());
        core.OnInviteResponse(183, true, true, kStart);
        const InviteStep ok = core.OnInviteResponse(200, false, false, kStart);
        EXPECT_FALSE(ok.Has(E::IllegalNegotiation));
        EXPECT_TRUE(ok.send.empty()); // the ACK waits for the answer
        EXPECT_EQ(Sends(core.ProvideAnswer(kStart)), (std::vector<std::pair<Kind, bool>>{{Kind::Ack, true}}));
    }
    {
        InviteSessionCore core = InviteSessionCore::Client(false, Timings());
        core.OnInviteResponse(183, true, true, kStart);
        EXPECT_EQ(core.OnInviteResponse(486, false, false, kStart).terminated, TerminatedReason::Rejected);
        EXPECT_FALSE(core.PrackAwaitsAnswer());
        EXPECT_THROW(core.ProvideAnswer(kStart), std::logic_error); // no PRACK for a call that has ended
    }
}

// The called side: where our description went decides whether the 2xx carries it, and a PRACK
// carries the answer to an offer that went in a reliable 1xx.
TEST(InviteCoreReliable, CalleeDescriptionInProvisionalsAndPrack) {
    struct Case {
        const char* name;
        bool offerInInvite;
        bool reliable;       // the 1xx with our description
        std::optional<bool> prackWithBody;
        std::vector<E> prackEvents;
        bool twoHundredWithBody;
        std::vector<E> ackEvents;
    };
    const std::vector<Case> cases = {
        {"answer in a reliable 183", true, true, false, {E::Prack}, false, {E::AckReceived, E::Connected, E::ConnectedConfirmed}},
        {"answer in an unreliable 183", true, false, std::nullopt, {}, true, {E::AckReceived, E::Connected, E::ConnectedConfirmed}},
        {"offer in a reliable 183, answer in the PRACK", false, true, true, {E::Answer, E::Prack}, false,
         {E::AckReceived, E::Connected, E::ConnectedConfirmed}},
        {"offer in a reliable 183, PRACK without answer", false, true, false, {E::IllegalNegotiation, E::Prack}, false,
         {E::AckReceived, E::Connected, E::ConnectedConfirmed}},
        // Unreliable, the offer still goes in the 2xx and the ACK answers it.
        {"offer in an unreliable 183", false, false, std::nullopt, {}, true, {E::Answer, E::AckReceived, E::Connected, E::ConnectedConfirmed}},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Server(Timings());
        core.Start(c.offerInInvite);
        if (c.offerInInvite) {
            core.ProvideAnswer(kStart);
        } else {
            core.ProvideOffer(kStart);
        }
        core.OnProvisionalSent(true, c.reliable);
        if (c.prackWithBody) {
            EXPECT_EQ(core.OnPrack(*c.prackWithBody).events, c.prackEvents) << c.name;
        }
        const InviteStep ok = core.Accept(200, kStart);
        ASSERT_EQ(ok.send.size(), 1u) << c.name;
        EXPECT_EQ(ok.send[0].withBody, c.twoHundredWithBody) << c.name;
        // The ACK's events start with these (what follows them is not about RFC 3262).
        std::vector<E> ackEvents = core.OnAck(!c.offerInInvite && !c.reliable).events;
        ackEvents.resize(std::min(ackEvents.size(), c.ackEvents.size()));
        EXPECT_EQ(ackEvents, c.ackEvents) << c.name;
    }
}

TEST(InviteCoreReliable, NoPrackWithinItsTimeRefusesTheInvite) {
    {
        InviteSessionCore core = InviteSessionCore::Server(Timings());
        core.Start(true);
        const InviteStep step = core.OnReliableProvisionalTimeout();
        ASSERT_EQ(step.send.size(), 1u);
        EXPECT_EQ(step.send[0].code, 504);
        EXPECT_EQ(step.send[0].method, "INVITE");
        EXPECT_EQ(step.terminated, TerminatedReason::Timeout);
        EXPECT_TRUE(step.Has(E::Terminated));
    }
    {
        // Answered already (the 2xx did not wait: the 1xx had no description): nothing changes.
        InviteSessionCore core = AcceptedServer();
        const InviteStep step = core.OnReliableProvisionalTimeout();
        EXPECT_TRUE(step.send.empty());
        EXPECT_FALSE(step.terminated);
        EXPECT_EQ(core.GetState(), InviteSessionCore::State::Accepted);
    }
}

} // namespace
} // namespace zel::sip::stack::test

// Session refreshes (RFC 4028) in the invite session core: what a refresh sends, how its answers
// end or keep the call, and how it stays apart from the offers of the application and the peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "stack/dum/InviteCoreSupport.h"

namespace zel::sip::stack::test {
namespace {

TEST(InviteCoreRefresh, RefreshesAreAnsweredWithoutTellingTheApplication) {
    for (const bool update : {true, false}) {
        SCOPED_TRACE(update ? "UPDATE" : "re-INVITE");
        const char* method = update ? "UPDATE" : "INVITE";
        InviteSessionCore core = ConnectedClient();
        InviteStep step = core.Refresh(update);
        ASSERT_EQ(step.send.size(), 1u);
        EXPECT_EQ(step.send[0].kind, update ? Kind::Update : Kind::ReInvite);
        // An UPDATE refresh carries no offer; a re-INVITE our SDP as it stands.
        EXPECT_EQ(step.send[0].withBody, !update);
        EXPECT_TRUE(core.LocalRequestPending());
        EXPECT_TRUE(core.Refresh(update).send.empty()) << "one refresh at a time";
        EXPECT_THROW(core.ProvideOffer(kStart), std::logic_error);

        step = core.OnInDialogResponse(method, 200, !update, kStart);
        EXPECT_EQ(step.Sends(Kind::Ack), !update);
        EXPECT_TRUE(step.events.empty()) << "the answer to our unchanged SDP is no news";
        EXPECT_TRUE(core.Negotiation().CanSendOffer());
        // The application's own re-INVITE afterwards still reports its answer.
        core.ProvideOffer(kStart);
        EXPECT_TRUE(core.OnInDialogResponse("INVITE", 200, true, kStart).Has(InviteEvent::Answer));
    }
}

TEST(InviteCoreRefresh, RefusedRefreshEndsTheCallButGlareIsRetried) {
    struct Case {
        int code;
        bool bye;
        std::optional<TerminatedReason> reason;
    };
    const std::vector<Case> cases = {
        {500, true, TerminatedReason::Error},   {403, true, TerminatedReason::Error},
        {422, true, TerminatedReason::Error},   // a 422 the session could not satisfy
        {408, true, TerminatedReason::Timeout}, {481, false, TerminatedReason::Error},
        {491, false, std::nullopt},
    };
    for (const bool update : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.code) + (update ? " UPDATE" : " re-INVITE"));
            InviteSessionCore core = ConnectedServer();
            ASSERT_FALSE(core.Refresh(update).send.empty());
            const InviteStep step = core.OnInDialogResponse(update ? "UPDATE" : "INVITE", c.code, false, kStart);
            EXPECT_EQ(step.Sends(Kind::Bye), c.bye);
            EXPECT_EQ(step.terminated, c.reason);
            EXPECT_FALSE(step.Has(InviteEvent::OfferRejected)) << "the application offered nothing";
            if (c.code != 491) {
                continue;
            }
            ASSERT_EQ(step.arm.size(), 1u);
            const InviteStep retry = core.OnTimer(InviteTimer::GlareRetry, step.arm[0].second);
            ASSERT_EQ(retry.send.size(), 1u);
            EXPECT_EQ(retry.send[0].kind, update ? Kind::Update : Kind::ReInvite);
            EXPECT_EQ(retry.send[0].withBody, !update) << "the retry is the same refresh";
            EXPECT_TRUE(core.OnInDialogResponse(update ? "UPDATE" : "INVITE", 200, !update, kStart).events.empty());
        }
    }
}

TEST(InviteCoreRefresh, RefreshWaitsForExchangesItWouldDisturb) {
    // The application's re-INVITE in progress refreshes the session itself: nothing goes.
    InviteSessionCore busy = ConnectedClient();
    busy.ProvideOffer(kStart);
    EXPECT_TRUE(busy.Refresh(true).send.empty());
    EXPECT_TRUE(busy.Refresh(false).send.empty());

    // The peer's offer waits for the application: no re-INVITE (it would get 491), but an UPDATE
    // without offer goes, and its 2xx leaves the peer's offer to be answered.
    InviteSessionCore offered = ConnectedServer();
    ASSERT_TRUE(offered.OnRequest("INVITE", true, kStart).Has(InviteEvent::Offer));
    EXPECT_TRUE(offered.Refresh(false).send.empty());
    ASSERT_FALSE(offered.Refresh(true).send.empty());
    InviteStep step = offered.OnInDialogResponse("UPDATE", 200, false, kStart);
    EXPECT_TRUE(step.events.empty());
    EXPECT_TRUE(offered.Negotiation().CanSendAnswer());
    step = offered.ProvideAnswer(kStart);
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0].code, 200);

    // A refused UPDATE refresh ends the call; the peer's UPDATE still waiting gets its answer.
    InviteSessionCore refused = ConnectedServer();
    refused.OnRequest("UPDATE", true, kStart);
    refused.Refresh(true);
    step = refused.OnInDialogResponse("UPDATE", 500, false, kStart);
    EXPECT_EQ(step.terminated, TerminatedReason::Error);
    EXPECT_TRUE(step.Sends(Kind::Bye));
    EXPECT_TRUE(std::count(step.send.begin(), step.send.end(), InviteSend{Kind::Response, 487, "UPDATE", false}) == 1);

    // Not before the call is up, nor once it is ending.
    InviteSessionCore calling = InviteSessionCore::Client(true, Timings());
    EXPECT_TRUE(calling.Refresh(true).send.empty());
    InviteSessionCore ending = ConnectedClient();
    ending.End();
    EXPECT_TRUE(ending.Refresh(true).send.empty());
}

TEST(InviteCoreRefresh, ExpiredSessionEndsAsTimeoutOtherBysAsLocalBye) {
    struct Case {
        EndReason reason;
        TerminatedReason terminated;
    };
    for (const Case& c : {Case{EndReason::SessionExpired, TerminatedReason::Timeout},
                          Case{EndReason::UserHangup, TerminatedReason::LocalBye},
                          Case{EndReason::NotSpecified, TerminatedReason::LocalBye}}) {
        InviteSessionCore core = ConnectedClient();
        ASSERT_TRUE(core.End(c.reason).Sends(Kind::Bye));
        // A second End while the BYE is out changes neither the messages nor the reason.
        EXPECT_TRUE(core.End(EndReason::UserHangup).send.empty());
        EXPECT_EQ(core.OnInDialogResponse("BYE", 200, false, kStart).terminated, c.terminated);
    }
    // Before the ACK of our 2xx the BYE waits for it, and keeps its reason.
    InviteSessionCore accepted = AcceptedServer();
    EXPECT_TRUE(accepted.End(EndReason::SessionExpired).send.empty());
    EXPECT_TRUE(accepted.OnAck(false).Sends(Kind::Bye));
    EXPECT_EQ(accepted.OnInDialogResponse("BYE", 408, false, kStart).terminated, TerminatedReason::Timeout);
}

} // namespace
} // namespace zel::sip::stack::test

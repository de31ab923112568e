// Every request a peer sends into a call gets exactly one final response from the invite session
// core, under the name the session matches it by: the two cases below were left unanswered.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stack/dum/InviteCoreSupport.h"

namespace zel::sip::stack::test {
namespace {

TEST(InviteCoreAnswers, MethodsTheCoreDoesNotKnowAreAnsweredUnderTheirOwnName) {
    // The session finds the request to answer by its method: an empty name answered nothing, and
    // the peer's NOTIFY (or any extension method routed into the dialog) waited for ever.
    for (const std::string method : {"NOTIFY", "SUBSCRIBE", "PUBLISH", "FOO"}) {
        InviteSessionCore core = InviteSessionCore::Client(true, Timings());
        core.OnInviteResponse(200, true, false, kStart);
        ASSERT_TRUE(core.IsConnected());
        EXPECT_EQ(Finals(core.OnRequest(method, false, kStart)), std::vector<std::string>{"501 " + method}) << method;

        core.End();
        core.OnInDialogResponse("BYE", 200, false, kStart);
        ASSERT_TRUE(core.IsTerminated());
        EXPECT_EQ(Finals(core.OnRequest(method, false, kStart)), std::vector<std::string>{"481 " + method}) << method;
    }
}

TEST(InviteCoreAnswers, AnUpdateWaitingForOurAnswerIsAnsweredWhenTheInviteEndsFirst) {
    // UAS: the INVITE's offer is answered but not yet accepted, and the peer has sent an UPDATE
    // with a new offer in the early dialog (RFC 3311 section 5.2). Whatever ends the INVITE now
    // also ends the UPDATE's transaction with a final response.
    struct Case {
        const char* name;
        InviteStep (*end)(InviteSessionCore&);
        std::vector<std::string> finals;
        TerminatedReason reason;
    };
    const std::vector<Case> cases = {
        {"rejected", [](InviteSessionCore& core) { return core.Reject(486); }, {"486 INVITE", "487 UPDATE"},
         TerminatedReason::Rejected},
        {"ended", [](InviteSessionCore& core) { return core.End(); }, {"480 INVITE", "487 UPDATE"}, TerminatedReason::Rejected},
        {"cancelled", [](InviteSessionCore& core) { return core.OnCancel(); }, {"487 INVITE", "487 UPDATE"},
         TerminatedReason::RemoteCancel},
        {"bye", [](InviteSessionCore& core) { return core.OnRequest("BYE", false, kStart); },
         {"200 BYE", "487 INVITE", "487 UPDATE"}, TerminatedReason::RemoteBye},
    };
    for (const Case& c : cases) {
        InviteSessionCore core = InviteSessionCore::Server(Timings());
        core.Start(true);
        core.ProvideAnswer(kStart);
        const InviteStep update = core.OnRequest("UPDATE", true, kStart);
        ASSERT_TRUE(update.Has(InviteEvent::Offer)) << c.name;
        ASSERT_TRUE(core.RemoteRequestPending()) << c.name;

        const InviteStep step = c.end(core);
        EXPECT_EQ(Finals(step), c.finals) << c.name;
        EXPECT_EQ(step.terminated, c.reason) << c.name;
        EXPECT_FALSE(core.RemoteRequestPending()) << c.name;
    }
}

TEST(InviteCoreAnswers, TheCallersCancelEndsAnUpdateStillWaitingForItsAnswer) {
    // UAC: the callee's UPDATE with an offer arrives in the early dialog, we CANCEL before
    // answering it, and the INVITE's 487 ends the session: the UPDATE gets its 487 too.
    InviteSessionCore core = InviteSessionCore::Client(true, Timings());
    ASSERT_TRUE(core.OnInviteResponse(183, true, /*reliable=*/true, kStart).Has(InviteEvent::Answer));
    ASSERT_TRUE(core.OnRequest("UPDATE", true, kStart).Has(InviteEvent::Offer));
    ASSERT_TRUE(core.End().Sends(Kind::Cancel));
    const InviteStep ended = core.OnInviteResponse(487, false, false, kStart);
    EXPECT_EQ(ended.terminated, TerminatedReason::LocalCancel);
    EXPECT_EQ(Finals(ended), std::vector<std::string>{"487 UPDATE"});
}

TEST(InviteCoreAnswers, AnEarlyUpdateOutlivesTheAckThatNeverCame) {
    // UAS: the peer's UPDATE (early dialog) is still unanswered when we accept the INVITE, and the
    // ACK never comes. Giving up on the ACK must not forget the UPDATE: ending the call answers it.
    InviteSessionCore core = InviteSessionCore::Server(Timings());
    core.Start(true);
    core.ProvideAnswer(kStart);
    ASSERT_TRUE(core.OnRequest("UPDATE", true, kStart).Has(InviteEvent::Offer));
    core.Accept(200, kStart);
    core.OnTimer(InviteTimer::AckWait, kStart + std::chrono::seconds(32));
    EXPECT_TRUE(core.RemoteRequestPending());
    EXPECT_EQ(Finals(core.End()), std::vector<std::string>{"487 UPDATE"});
    EXPECT_TRUE(core.OnInDialogResponse("BYE", 200, false, kStart).Has(InviteEvent::Terminated));
}

TEST(InviteCoreAnswers, OurUpdateFailingInAnEarlyDialogEndsTheInviteNotWithBye) {
    // A 408 (made locally) or 481 to our UPDATE in an early dialog (RFC 3311): the callee may not
    // send BYE there (RFC 3261 section 15) and answers the INVITE instead; the caller CANCELs.
    using St = InviteSessionCore::State;
    for (const int code : {408, 481}) {
        InviteSessionCore callee = InviteSessionCore::Server(Timings());
        callee.Start(true);
        callee.ProvideAnswer(kStart);
        ASSERT_TRUE(callee.ProvideOffer(kStart, /*useUpdate=*/true).Sends(Kind::Update));
        const InviteStep ended = callee.OnInDialogResponse("UPDATE", code, false, kStart);
        EXPECT_FALSE(ended.Sends(Kind::Bye)) << code;
        EXPECT_EQ(Finals(ended), std::vector<std::string>{"480 INVITE"}) << code;
        EXPECT_EQ(ended.terminated, code == 408 ? TerminatedReason::Timeout : TerminatedReason::Error) << code;

        InviteSessionCore caller = InviteSessionCore::Client(true, Timings());
        ASSERT_TRUE(caller.OnInviteResponse(183, true, /*reliable=*/true, kStart).Has(InviteEvent::Answer));
        ASSERT_TRUE(caller.ProvideOffer(kStart, /*useUpdate=*/true).Sends(Kind::Update));
        const InviteStep cancelled = caller.OnInDialogResponse("UPDATE", code, false, kStart);
        EXPECT_FALSE(cancelled.Sends(Kind::Bye)) << code;
        EXPECT_TRUE(cancelled.Sends(Kind::Cancel)) << code;
        EXPECT_EQ(caller.GetState(), St::Cancelling) << code;
        EXPECT_EQ(caller.OnInviteResponse(487, false, false, kStart).terminated, TerminatedReason::LocalCancel) << code;
    }
}

} // namespace
} // namespace zel::sip::stack::test

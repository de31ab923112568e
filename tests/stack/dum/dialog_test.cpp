#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "TestMessages.h"
#include "stack/dum/Dialog.h"
#include "stack/dum/DialogSet.h"

namespace zel::sip::stack {
namespace {

using test::LoadCaptured;
using test::ParseLf;

const char* const kInvite = R"(INVITE sip:bob@example.net SIP/2.0
Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-inv-1
Max-Forwards: 70
From: "Alice" <sip:alice@example.com>;tag=inv-tag-1
To: <sip:bob@example.net>
Call-ID: inv-call-1@192.0.2.10
CSeq: 314 INVITE
Contact: <sip:alice@192.0.2.10:5060>
Content-Length: 0

)";

/// A response to kInvite; `extra` holds further header lines (LF-terminated).
SipMessage Answer(int status, const std::string& toTag, const std::string& extra = "") {
    std::string text = "SIP/2.0 " + std::to_string(status) + " Whatever\n" +
                       "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-inv-1\n"
                       "From: \"Alice\" <sip:alice@example.com>;tag=inv-tag-1\n"
                       "To: <sip:bob@example.net>" +
                       (toTag.empty() ? "" : ";tag=" + toTag) +
                       "\n"
                       "Call-ID: inv-call-1@192.0.2.10\n"
                       "CSeq: 314 INVITE\n" +
                       extra + "Content-Length: 0\n\n";
    return ParseLf(text);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

std::vector<std::string> Routes(const SipMessage& message) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < message.Count(HeaderType::Route); ++i) {
        out.push_back(message.ValueText(HeaderType::Route, i));
    }
    return out;
}

Dialog UacDialog(const SipMessage& response) {
    std::string error;
    auto dialog = Dialog::CreateAsUac(ParseLf(kInvite), response, &error);
    EXPECT_TRUE(dialog.has_value()) << error;
    return std::move(dialog).value();
}

// ---- dialog creation and the requests it builds ---------------------------------------------

TEST(DialogTest, UacReversesRecordRouteAndRoutesLooselyThroughIt) {
    Dialog dialog = UacDialog(LoadCaptured("invite_200_record_route.txt"));
    EXPECT_EQ(dialog.GetState(), Dialog::State::Confirmed);
    EXPECT_EQ(dialog.Id(), (DialogId{"inv-call-1@192.0.2.10", "inv-tag-1", "bob-77"}));
    EXPECT_EQ(dialog.LocalCSeq(), 314u);
    EXPECT_FALSE(dialog.RemoteCSeq().has_value());
    EXPECT_FALSE(dialog.IsSecure());

    Dialog::OutgoingRequest bye = dialog.MakeRequest("BYE");
    EXPECT_EQ(bye.request.RawRequestUri(), "sip:bob@198.51.100.20:5062;transport=tcp");
    EXPECT_EQ(Routes(bye.request),
              (std::vector<std::string>{"<sip:p1.example.com;lr;transport=tcp>", "<sip:p2.example.net;lr>"}));
    EXPECT_EQ(bye.nextHop.ToString(), "sip:p1.example.com;lr;transport=tcp");
    EXPECT_EQ(bye.request.ValueText(HeaderType::From), "\"Alice\" <sip:alice@example.com>;tag=inv-tag-1");
    EXPECT_EQ(bye.request.ValueText(HeaderType::To), "<sip:bob@example.net>;tag=bob-77");
    EXPECT_EQ(bye.request.ValueText(HeaderType::CallId), "inv-call-1@192.0.2.10");
    EXPECT_EQ(bye.request.ValueText(HeaderType::CSeq), "315 BYE");
    EXPECT_FALSE(bye.request.Has(HeaderType::Contact)) << "BYE refreshes no target";

    // A re-INVITE carries our Contact; its ACK takes the re-INVITE's number and does not count.
    Dialog::OutgoingRequest reinvite = dialog.MakeRequest("INVITE");
    EXPECT_EQ(reinvite.request.ValueText(HeaderType::CSeq), "316 INVITE");
    EXPECT_EQ(reinvite.request.ValueText(HeaderType::Contact), "<sip:alice@192.0.2.10:5060>");
    EXPECT_EQ(dialog.MakeRequest("ACK").request.ValueText(HeaderType::CSeq), "316 ACK");
    EXPECT_EQ(dialog.MakeRequest("INFO").request.ValueText(HeaderType::CSeq), "317 INFO");
}

TEST(DialogTest, StrictRouterFirstTakesTheRequestUriAndTheTargetGoesLastInRoute) {
    // After reversal p1 (no lr: a strict router) comes first.
    Dialog dialog = UacDialog(Answer(200, "bob-77",
                                     "Record-Route: <sip:p2.example.net;lr>\n"
                                     "Record-Route: <sip:p1.example.com;method=INVITE>\n"
                                     "Contact: <sip:bob@198.51.100.20>\n"));
    Dialog::OutgoingRequest bye = dialog.MakeRequest("BYE");
    EXPECT_EQ(bye.request.RawRequestUri(), "sip:p1.example.com") << "method is not allowed in a Request-URI";
    EXPECT_EQ(Routes(bye.request), (std::vector<std::string>{"<sip:p2.example.net;lr>", "<sip:bob@198.51.100.20>"}));
    EXPECT_EQ(bye.nextHop.ToString(), "sip:p1.example.com");
}

TEST(DialogTest, WithoutRouteSetTheRequestGoesToTheRemoteTarget) {
    Dialog dialog = UacDialog(Answer(200, "bob-77", "Contact: <sips:bob@198.51.100.20>\n"));
    Dialog::OutgoingRequest bye = dialog.MakeRequest("BYE");
    EXPECT_EQ(Routes(bye.request), std::vector<std::string>{});
    EXPECT_EQ(bye.nextHop.ToString(), "sips:bob@198.51.100.20");
}

TEST(DialogTest, SipsRequestUriMakesTheDialogSecure) {
    std::string invite = kInvite;
    invite.replace(invite.find("sip:bob@example.net SIP"), 3, "sips");
    auto dialog = Dialog::CreateAsUac(ParseLf(invite), Answer(180, "b"));
    ASSERT_TRUE(dialog.has_value());
    EXPECT_TRUE(dialog->IsSecure());
}

TEST(DialogTest, UasKeepsRecordRouteOrderAndStartsItsOwnSequence) {
    SipMessage invite = ParseLf(R"(INVITE sip:bob@198.51.100.20 SIP/2.0
Via: SIP/2.0/UDP p1.example.com;branch=z9hG4bK-p1
Record-Route: <sip:p1.example.com;lr>, <sip:p2.example.net;lr>
From: <sip:alice@example.com>;tag=alice-1
To: "Bob" <sip:bob@example.net>
Call-ID: uas-call@host
CSeq: 10 INVITE
Contact: <sip:alice@192.0.2.10>
Content-Length: 0

)");
    std::string error;
    auto dialog = Dialog::CreateAsUas(invite, "bob-tag", NameAddr(Uri::Parse("sip:bob@198.51.100.20")), &error);
    ASSERT_TRUE(dialog.has_value()) << error;
    EXPECT_EQ(dialog->GetState(), Dialog::State::Early);
    EXPECT_EQ(dialog->Id(), (DialogId{"uas-call@host", "bob-tag", "alice-1"}));
    EXPECT_EQ(dialog->RemoteCSeq(), 10u);
    EXPECT_FALSE(dialog->LocalCSeq().has_value());
    dialog->Confirm();
    EXPECT_EQ(dialog->GetState(), Dialog::State::Confirmed);

    EXPECT_THROW(dialog->MakeRequest("ACK"), std::logic_error) << "we sent no INVITE to acknowledge";
    Dialog::OutgoingRequest bye = dialog->MakeRequest("BYE");
    EXPECT_EQ(bye.request.RawRequestUri(), "sip:alice@192.0.2.10");
    EXPECT_EQ(Routes(bye.request),
              (std::vector<std::string>{"<sip:p1.example.com;lr>", "<sip:p2.example.net;lr>"}));
    EXPECT_EQ(bye.request.ValueText(HeaderType::From), "\"Bob\" <sip:bob@example.net>;tag=bob-tag");
    EXPECT_EQ(bye.request.ValueText(HeaderType::To), "<sip:alice@example.com>;tag=alice-1");
    EXPECT_EQ(bye.request.ValueText(HeaderType::CSeq), "1 BYE");
}

TEST(DialogTest, CreationRefusesWhatMakesNoDialog) {
    const SipMessage invite = ParseLf(kInvite);
    std::string error;
    EXPECT_FALSE(Dialog::CreateAsUac(invite, Answer(180, ""), &error)) << "no To tag";
    EXPECT_FALSE(Dialog::CreateAsUac(invite, Answer(100, "x"), &error));
    EXPECT_FALSE(Dialog::CreateAsUac(invite, Answer(486, "x"), &error));
    EXPECT_FALSE(Dialog::CreateAsUac(invite, Answer(200, "x", "Record-Route: <sip:p1;lr>;;;\n"), &error));
    std::string other = Replaced(kInvite, "CSeq: 314", "CSeq: 315");
    EXPECT_FALSE(Dialog::CreateAsUac(ParseLf(other), Answer(200, "x"), &error)) << "answers another request";
    EXPECT_FALSE(error.empty());

    SipMessage noContact = ParseLf(Replaced(kInvite, "Contact: <sip:alice@192.0.2.10:5060>\n", ""));
    EXPECT_FALSE(Dialog::CreateAsUas(noContact, "t", std::nullopt, &error));
    EXPECT_THROW(UacDialog(Answer(200, "x")).MakeRequest("CANCEL"), std::invalid_argument);
}

// ---- what the dialog learns from requests and responses -------------------------------------

SipMessage InDialogRequest(const std::string& method, int cseq, const std::string& extra = "") {
    return ParseLf("" + method + " sip:bob@198.51.100.20 SIP/2.0\n"
                   "Via: SIP/2.0/UDP 192.0.2.10;branch=z9hG4bK-" + method + std::to_string(cseq) + "\n"
                   "From: <sip:alice@example.com>;tag=alice-1\n"
                   "To: <sip:bob@example.net>;tag=bob-tag\n"
                   "Call-ID: uas-call@host\n"
                   "CSeq: " + std::to_string(cseq) + " " + method + "\n" + extra + "Content-Length: 0\n\n");
}

Dialog UasDialog() {
    auto dialog = Dialog::CreateAsUas(InDialogRequest("INVITE", 10, "Contact: <sip:alice@192.0.2.10>\n"),
                                      "bob-tag", std::nullopt);
    EXPECT_TRUE(dialog.has_value());
    dialog.value().Confirm();
    return std::move(dialog).value();
}

TEST(DialogTest, RemoteSequenceRejectsOlderRequestsAndIgnoresAckAndCancel) {
    Dialog dialog = UasDialog();
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("INFO", 9)), Dialog::RequestVerdict::OutOfOrder);
    EXPECT_EQ(dialog.RemoteCSeq(), 10u) << "a rejected request changes nothing";
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("ACK", 10)), Dialog::RequestVerdict::Accepted);
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("INFO", 12)), Dialog::RequestVerdict::Accepted);
    EXPECT_EQ(dialog.RemoteCSeq(), 12u);
    // Gaps are fine (section 12.2.2 asks only for order); the ACK of a later re-INVITE and the
    // CANCEL of a request keep their old numbers without moving the sequence back.
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("ACK", 10)), Dialog::RequestVerdict::Accepted);
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("CANCEL", 11)), Dialog::RequestVerdict::Accepted);
    EXPECT_EQ(dialog.RemoteCSeq(), 12u);
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("INFO", 11)), Dialog::RequestVerdict::OutOfOrder);
}

TEST(DialogTest, TargetRefreshRequestsMoveTheRemoteTargetOthersDoNot) {
    Dialog dialog = UasDialog();
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("INFO", 11, "Contact: <sip:alice@203.0.113.1>\n")),
              Dialog::RequestVerdict::Accepted);
    EXPECT_EQ(dialog.RemoteTarget().ToString(), "sip:alice@192.0.2.10");
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("INVITE", 12, "Contact: <sip:alice@203.0.113.2>\n")),
              Dialog::RequestVerdict::Accepted);
    EXPECT_EQ(dialog.RemoteTarget().ToString(), "sip:alice@203.0.113.2");
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("UPDATE", 13, "Contact: *\n")), Dialog::RequestVerdict::Malformed);
    EXPECT_EQ(dialog.RemoteCSeq(), 12u);
    EXPECT_EQ(dialog.OnRequest(InDialogRequest("UPDATE", 14)), Dialog::RequestVerdict::Accepted)
        << "a refresh without Contact keeps the target";
    EXPECT_EQ(dialog.RemoteTarget().ToString(), "sip:alice@203.0.113.2");
    EXPECT_EQ(dialog.MakeRequest("BYE").request.RawRequestUri(), "sip:alice@203.0.113.2");
}

TEST(DialogTest, EarlyRouteSetIsReplacedByTheConfirmingResponseThenFixed) {
    // The 180 comes without Contact: the Request-URI stands in until the 2xx brings one.
    Dialog dialog = UacDialog(Answer(180, "bob-77", "Record-Route: <sip:early.example.com;lr>\n"));
    EXPECT_EQ(dialog.GetState(), Dialog::State::Early);
    EXPECT_EQ(dialog.RemoteTarget().ToString(), "sip:bob@example.net");
    EXPECT_EQ(dialog.RouteSet().size(), 1u);

    EXPECT_FALSE(dialog.OnResponse(Answer(200, "someone-else", "Contact: <sip:x@192.0.2.99>\n")))
        << "another fork's answer is not this dialog's";
    EXPECT_EQ(dialog.GetState(), Dialog::State::Early);

    EXPECT_TRUE(dialog.OnResponse(Answer(200, "bob-77",
                                         "Record-Route: <sip:b.example.net;lr>, <sip:a.example.com;lr>\n"
                                         "Contact: <sip:bob@198.51.100.20>\n")));
    EXPECT_EQ(dialog.GetState(), Dialog::State::Confirmed);
    ASSERT_EQ(dialog.RouteSet().size(), 2u);
    EXPECT_EQ(dialog.RouteSet()[0].GetUri().Host(), "a.example.com");
    EXPECT_EQ(dialog.RemoteTarget().ToString(), "sip:bob@198.51.100.20");

    // A 2xx to a re-INVITE refreshes the target but never the route set.
    SipMessage reinviteOk = ParseLf(R"(SIP/2.0 200 OK
Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-inv-2
Record-Route: <sip:elsewhere.example.org;lr>
From: "Alice" <sip:alice@example.com>;tag=inv-tag-1
To: <sip:bob@example.net>;tag=bob-77
Call-ID: inv-call-1@192.0.2.10
CSeq: 315 INVITE
Contact: <sip:bob@198.51.100.21>
Content-Length: 0

)");
    EXPECT_FALSE(dialog.OnResponse(reinviteOk));
    EXPECT_EQ(dialog.RemoteTarget().ToString(), "sip:bob@198.51.100.21");
    ASSERT_EQ(dialog.RouteSet().size(), 2u);
    EXPECT_EQ(dialog.RouteSet()[0].GetUri().Host(), "a.example.com");
}

// ---- dialog sets and forking ----------------------------------------------------------------

TEST(DialogSetTest, ForkedEarlyDialogsAndTheFirstSuccess) {
    DialogSet set(ParseLf(kInvite));
    EXPECT_EQ(set.Id(), (DialogSetId{"inv-call-1@192.0.2.10", "inv-tag-1"}));
    EXPECT_EQ(set.OnResponse(Answer(100, "")).effect, DialogSet::ResponseEffect::Ignored);

    auto a = set.OnResponse(Answer(180, "fork-a", "Contact: <sip:bob@a.example.net>\n"));
    auto b = set.OnResponse(Answer(183, "fork-b", "Contact: <sip:bob@b.example.net>\n"));
    EXPECT_EQ(a.effect, DialogSet::ResponseEffect::EarlyDialog);
    EXPECT_EQ(b.effect, DialogSet::ResponseEffect::EarlyDialog);
    ASSERT_EQ(set.Size(), 2u);
    Dialog* forkA = set.Find(DialogId{"inv-call-1@192.0.2.10", "inv-tag-1", "fork-a"});
    ASSERT_NE(forkA, nullptr);
    EXPECT_EQ(forkA, a.dialog) << "earlier dialogs stay where they were when more arrive";
    EXPECT_EQ(set.Winner(), nullptr);
    std::string prackOk = Replaced(Replaced(test::WithCrlf(kInvite), "INVITE sip:bob@example.net SIP/2.0",
                                            "SIP/2.0 200 OK"),
                                   "CSeq: 314 INVITE", "CSeq: 315 PRACK");
    prackOk = Replaced(prackOk, "<sip:bob@example.net>", "<sip:bob@example.net>;tag=fork-a");
    EXPECT_EQ(set.OnResponse(SipMessage::Parse(prackOk)).effect, DialogSet::ResponseEffect::Ignored)
        << "the 200 of a PRACK in an early dialog is not the INVITE's answer";
    EXPECT_EQ(set.Winner(), nullptr);

    auto won = set.OnResponse(Answer(200, "fork-b", "Contact: <sip:bob@b.example.net>\n"));
    EXPECT_EQ(won.effect, DialogSet::ResponseEffect::FirstSuccess);
    EXPECT_EQ(won.dialog, b.dialog);
    EXPECT_EQ(set.Winner(), b.dialog);
    EXPECT_EQ(b.dialog->GetState(), Dialog::State::Confirmed);
    EXPECT_EQ(forkA->GetState(), Dialog::State::Early);

    // The winner's retransmission is still its success; the other fork's 2xx is an extra one,
    // as is a fork never seen before.
    EXPECT_EQ(set.OnResponse(Answer(200, "fork-b")).effect, DialogSet::ResponseEffect::FirstSuccess);
    EXPECT_EQ(set.OnResponse(Answer(200, "fork-a")).effect, DialogSet::ResponseEffect::AdditionalSuccess);
    auto late = set.OnResponse(Answer(200, "fork-c", "Contact: <sip:bob@c.example.net>\n"));
    EXPECT_EQ(late.effect, DialogSet::ResponseEffect::AdditionalSuccess);
    ASSERT_NE(late.dialog, nullptr);
    EXPECT_EQ(set.Size(), 3u);
    EXPECT_TRUE(set.RemoveDialog("fork-c"));
    EXPECT_EQ(set.Winner(), b.dialog);
}

TEST(DialogSetTest, EarlyDialogsAreBoundedButA2xxFromANewForkIsStillTaken) {
    DialogSet set(ParseLf(kInvite));
    for (std::size_t i = 0; i < DialogSet::kMaxDialogs + 10; ++i) {
        set.OnResponse(Answer(180, "fork-" + std::to_string(i), "Contact: <sip:bob@a.example.net>\n"));
    }
    EXPECT_EQ(set.Size(), DialogSet::kMaxDialogs);
    auto late = set.OnResponse(Answer(200, "late-fork", "Contact: <sip:bob@z.example.net>\n"));
    EXPECT_EQ(late.effect, DialogSet::ResponseEffect::FirstSuccess) << "a 2xx must be answered with an ACK";
    ASSERT_NE(late.dialog, nullptr);
}

TEST(DialogSetTest, FinalFailureEndsEveryEarlyDialogAndForeignResponsesAreIgnored) {
    DialogSet set(ParseLf(kInvite));
    set.OnResponse(Answer(180, "fork-a"));
    set.OnResponse(Answer(180, "fork-b"));
    std::string foreign = test::WithCrlf(
        "SIP/2.0 180 Ringing\nVia: SIP/2.0/UDP h;branch=z9hG4bK-x\nFrom: <sip:alice@example.com>;tag=other\n"
        "To: <sip:bob@example.net>;tag=z\nCall-ID: inv-call-1@192.0.2.10\nCSeq: 314 INVITE\n\n");
    EXPECT_EQ(set.OnResponse(SipMessage::Parse(foreign)).effect, DialogSet::ResponseEffect::Ignored);
    EXPECT_EQ(set.Size(), 2u);
    EXPECT_EQ(set.OnResponse(Answer(486, "fork-a")).effect, DialogSet::ResponseEffect::Failure);
    EXPECT_TRUE(set.Empty());
}

TEST(DialogSetTest, UasSetHoldsTheDialogWeCreatedAndIdsHash) {
    auto dialog = Dialog::CreateAsUas(InDialogRequest("INVITE", 1, "Contact: <sip:alice@192.0.2.10>\n"), "ours",
                                      std::nullopt);
    ASSERT_TRUE(dialog.has_value());
    DialogSet set(dialog->Id().SetId());
    EXPECT_TRUE(set.AddDialog(*dialog));
    EXPECT_FALSE(set.AddDialog(*dialog)) << "one dialog per remote tag";
    EXPECT_NE(set.FindByRemoteTag("alice-1"), nullptr);
    EXPECT_EQ(set.OnResponse(Answer(200, "x")).effect, DialogSet::ResponseEffect::Ignored);

    std::unordered_set<DialogId> ids{dialog->Id(), DialogId{"uas-call@host", "ours", "ALICE-1"}};
    EXPECT_EQ(ids.size(), 2u) << "tags compare case-sensitively";
    EXPECT_EQ(ids.count(DialogId{"uas-call@host", "ours", "alice-1"}), 1u);
    EXPECT_EQ(std::unordered_set<DialogSetId>{dialog->Id().SetId()}.count(DialogSetId{"uas-call@host", "ours"}), 1u);
}

} // namespace
} // namespace zel::sip::stack

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestMessages.h"
#include "stack/dum/ReliableProvisional.h"
#include "stack/message/Number.h"

namespace zel::sip::stack {
namespace {

using namespace std::chrono_literals;
using StepEvent = ReliableProvisionalStep::Event;
using Kind = ProvisionalReceipt::Kind;
using Mode = ReliableProvisionalMode;
using test::Lists;
using test::ParseLf;

const ReliableProvisionalUas::TimePoint kT0{std::chrono::hours(1000)};

const char* const kSdp = "v=0\no=- 1 1 IN IP4 192.0.2.20\ns=-\nc=IN IP4 192.0.2.20\nt=0 0\nm=audio 4000 RTP/AVP 0\n";

/// An INVITE as a peer sends it, with `extra` header lines (LF-terminated).
SipMessage Invite(const std::string& extra = "") {
    return ParseLf("INVITE sip:bob@192.0.2.20 SIP/2.0\n"
                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-inv1\n"
                   "Max-Forwards: 70\n"
                   "From: <sip:alice@example.com>;tag=a1\n"
                   "To: <sip:bob@example.com>\n"
                   "Call-ID: call-100rel@192.0.2.10\n"
                   "CSeq: 314159 INVITE\n"
                   "Contact: <sip:alice@192.0.2.10>\n" +
                   extra + "Content-Length: 0\n\n");
}

/// A provisional response to Invite(); with an SDP body when `sdp`.
SipMessage Provisional(int status, bool sdp = false, const std::string& extra = "") {
    std::string text = "SIP/2.0 " + std::to_string(status) + " Ringing\n"
                       "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-inv1\n"
                       "From: <sip:alice@example.com>;tag=a1\n"
                       "To: <sip:bob@example.com>;tag=b1\n"
                       "Call-ID: call-100rel@192.0.2.10\n"
                       "CSeq: 314159 INVITE\n"
                       "Contact: <sip:bob@192.0.2.20>\n" + extra;
    if (sdp) {
        const std::string body = kSdp;
        text += "Content-Type: application/sdp\nContent-Length: " + std::to_string(test::WithCrlf(body).size()) +
                "\n\n" + body;
    } else {
        text += "Content-Length: 0\n\n";
    }
    return ParseLf(text);
}

/// A PRACK in the dialog with `rack` as the RAck line's value (none when empty).
SipMessage Prack(const std::string& rack, const std::string& branch = "z9hG4bK-pr1") {
    return ParseLf("PRACK sip:bob@192.0.2.20 SIP/2.0\n"
                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=" + branch + "\n"
                   "Max-Forwards: 70\n"
                   "From: <sip:alice@example.com>;tag=a1\n"
                   "To: <sip:bob@example.com>;tag=b1\n"
                   "Call-ID: call-100rel@192.0.2.10\n"
                   "CSeq: 314160 PRACK\n" +
                   (rack.empty() ? std::string() : "RAck: " + rack + "\n") + "Content-Length: 0\n\n");
}

std::uint32_t RSeqOf(const SipMessage& response) { return response.Get<Number>(HeaderType::RSeq).Value(); }

// ---- UAS: which 1xx go reliably, and which INVITEs are refused -------------------------------------

TEST(ReliableProvisionalUasTest, ModePeerAndBodyDecideWhatGoesReliably) {
    struct Case {
        Mode mode;
        const char* peer; // header lines of the INVITE
        int status;
        bool sdp;
        bool reliable;
    };
    const std::vector<Case> cases = {
        {Mode::Never, "Supported: 100rel\n", 183, true, false},
        {Mode::Supported, "", 180, false, false},
        {Mode::Supported, "Supported: timer, 100rel\n", 180, false, true},
        {Mode::Supported, "Supported: 100REL\n", 180, false, true}, // option tags ignore case
        {Mode::Supported, "Supported: 100rel\n", 100, false, false}, // never a 100 (RFC 3262 section 3)
        {Mode::SupportedEssential, "Supported: 100rel\n", 180, false, false},
        {Mode::SupportedEssential, "Supported: 100rel\n", 183, true, true},
        {Mode::SupportedEssential, "", 183, true, false},
        {Mode::SupportedEssential, "Require: 100rel\n", 180, false, true}, // the peer insists
        {Mode::Required, "", 180, false, true},
        {Mode::Required, "Supported: 100rel\n", 180, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(ToString(c.mode)) + " / " + c.peer + " / " + std::to_string(c.status));
        ReliableProvisionalUas uas(c.mode, Invite(c.peer), {}, 1000);
        EXPECT_EQ(uas.IsReliable(Provisional(c.status, c.sdp)), c.reliable);
        const ReliableProvisionalStep step = uas.SendProvisional(Provisional(c.status, c.sdp), kT0);
        ASSERT_TRUE(step.send.has_value());
        EXPECT_EQ(step.event, c.reliable ? StepEvent::SentReliably : StepEvent::SentUnreliably);
        EXPECT_EQ(Lists(*step.send, HeaderType::Require, "100rel"), c.reliable);
        EXPECT_EQ(step.send->Has(HeaderType::RSeq), c.reliable);
        EXPECT_EQ(step.wakeAt.has_value(), c.reliable);
    }
}

TEST(ReliableProvisionalUasTest, DisagreeingModesRefuseTheInvite) {
    const auto never = ReliableProvisionalUas::Rejection(Mode::Never, Invite("Require: 100rel\n"), "t1");
    ASSERT_TRUE(never.has_value());
    EXPECT_EQ(never->StatusCode(), 420);
    EXPECT_TRUE(Lists(*never, HeaderType::Unsupported, "100rel"));
    EXPECT_EQ(never->ValueText(HeaderType::To), "<sip:bob@example.com>;tag=t1");

    const auto required = ReliableProvisionalUas::Rejection(Mode::Required, Invite("Supported: timer\n"), "t1");
    ASSERT_TRUE(required.has_value());
    EXPECT_EQ(required->StatusCode(), 421);
    EXPECT_TRUE(Lists(*required, HeaderType::Require, "100rel"));

    EXPECT_FALSE(ReliableProvisionalUas::Rejection(Mode::Required, Invite("Supported: 100rel\n"), "t1"));
    EXPECT_FALSE(ReliableProvisionalUas::Rejection(Mode::Never, Invite("Supported: 100rel\n"), "t1"));
    EXPECT_FALSE(ReliableProvisionalUas::Rejection(Mode::Supported, Invite(), "t1"));
}

// ---- UAS: RSeq, one unacknowledged at a time, PRACK matching ----------------------------------

TEST(ReliableProvisionalUasTest, OneUnacknowledgedAtATimeInRSeqOrder) {
    ReliableProvisionalUas uas(Mode::Supported, Invite("Supported: 100rel\n"), {}, 41);
    ReliableProvisionalStep first = uas.SendProvisional(Provisional(180), kT0);
    ASSERT_EQ(first.event, StepEvent::SentReliably);
    EXPECT_EQ(RSeqOf(*first.send), 41u);
    EXPECT_EQ(uas.GetState(), ReliableProvisionalUas::State::AwaitingPrack);

    // A second reliable one waits; an unreliable 100 still goes at once.
    EXPECT_EQ(uas.SendProvisional(Provisional(183), kT0 + 10ms).event, StepEvent::Queued);
    EXPECT_EQ(uas.SendProvisional(Provisional(100), kT0 + 10ms).event, StepEvent::SentUnreliably);
    EXPECT_EQ(uas.QueuedCount(), 1u);

    ReliableProvisionalStep acked = uas.OnPrack(Prack("41 314159 INVITE"), kT0 + 100ms);
    EXPECT_EQ(acked.event, StepEvent::PrackMatched);
    ASSERT_TRUE(acked.response.has_value());
    EXPECT_EQ(acked.response->StatusCode(), 200);
    EXPECT_EQ(acked.response->ValueText(HeaderType::CSeq), "314160 PRACK");
    ASSERT_TRUE(acked.send.has_value()) << "the queued 183 goes once the 180 is acknowledged";
    EXPECT_EQ(acked.send->StatusCode(), 183);
    EXPECT_EQ(RSeqOf(*acked.send), 42u);
    ASSERT_TRUE(acked.wakeAt.has_value());
    EXPECT_EQ(*acked.wakeAt, kT0 + 100ms + 500ms) << "its own retransmission schedule starts";
    EXPECT_FALSE(acked.stopTimer);

    // The same PRACK again (a new transaction) no longer matches anything.
    EXPECT_EQ(uas.OnPrack(Prack("41 314159 INVITE", "z9hG4bK-pr2"), kT0 + 200ms).event, StepEvent::PrackUnmatched);
    ReliableProvisionalStep second = uas.OnPrack(Prack("42 314159 INVITE", "z9hG4bK-pr3"), kT0 + 300ms);
    EXPECT_EQ(second.event, StepEvent::PrackMatched);
    EXPECT_TRUE(second.stopTimer);
    EXPECT_EQ(uas.GetState(), ReliableProvisionalUas::State::Idle);
    EXPECT_EQ(uas.NextRSeq(), 43u);
}

TEST(ReliableProvisionalUasTest, PrackThatMatchesNothingGets481) {
    const std::vector<std::string> racks = {
        "40 314159 INVITE",  // an RSeq we never sent
        "41 314158 INVITE",  // another INVITE's CSeq
        "41 314159 invite",  // methods are case-sensitive
        "41 314159 UPDATE",  // another method
        "41 INVITE",         // unreadable
        "",                  // no RAck at all
    };
    for (const std::string& rack : racks) {
        SCOPED_TRACE(rack);
        ReliableProvisionalUas uas(Mode::Required, Invite(), {}, 41);
        ASSERT_EQ(uas.SendProvisional(Provisional(180), kT0).event, StepEvent::SentReliably);
        const ReliableProvisionalStep step = uas.OnPrack(Prack(rack), kT0 + 1s);
        EXPECT_EQ(step.event, StepEvent::PrackUnmatched);
        ASSERT_TRUE(step.response.has_value());
        EXPECT_EQ(step.response->StatusCode(), 481);
        EXPECT_FALSE(step.stopTimer);
        EXPECT_EQ(uas.GetState(), ReliableProvisionalUas::State::AwaitingPrack) << "still retransmitting";
    }
    // Nothing outstanding at all.
    ReliableProvisionalUas idle(Mode::Required, Invite(), {}, 41);
    EXPECT_EQ(idle.OnPrack(Prack("41 314159 INVITE"), kT0).event, StepEvent::PrackUnmatched);
}

TEST(ReliableProvisionalUasTest, RetransmitsDoublingToT2AndGivesUpAt64T1) {
    ReliableProvisionalUas uas(Mode::Required, Invite(), {}, 7);
    ReliableProvisionalStep step = uas.SendProvisional(Provisional(180), kT0);
    std::vector<std::chrono::milliseconds> wakes;
    int retransmissions = 0;
    while (step.wakeAt) {
        const auto at = *step.wakeAt;
        wakes.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(at - kT0));
        EXPECT_EQ(uas.OnTimer(at - 1ms).event, StepEvent::None) << "an early wake-up does nothing";
        step = uas.OnTimer(at);
        if (step.event == StepEvent::Retransmit) {
            ++retransmissions;
            ASSERT_TRUE(step.send.has_value());
            EXPECT_EQ(RSeqOf(*step.send), 7u) << "a retransmission keeps its RSeq";
        }
        ASSERT_LT(wakes.size(), 32u);
    }
    const std::vector<std::chrono::milliseconds> expected = {500ms,   1500ms,  3500ms,  7500ms,  11500ms, 15500ms,
                                                             19500ms, 23500ms, 27500ms, 31500ms, 32000ms};
    EXPECT_EQ(wakes, expected) << "T1 doubling, capped at T2, and a wake-up at 64*T1 exactly";
    EXPECT_EQ(retransmissions, 10);
    EXPECT_EQ(step.event, StepEvent::GaveUp);
    EXPECT_TRUE(step.stopTimer);
    EXPECT_EQ(uas.GetState(), ReliableProvisionalUas::State::Finished);
    EXPECT_EQ(uas.OnTimer(kT0 + 60s).event, StepEvent::None);
    EXPECT_EQ(uas.SendProvisional(Provisional(183), kT0 + 60s).event, StepEvent::Refused);
}

// ---- UAS: a 1xx with an offer or answer holds the 2xx -----------------------------------------

TEST(ReliableProvisionalUasTest, SessionDescriptionInReliable1xxHoldsTheSuccess) {
    ReliableProvisionalUas uas(Mode::Supported, Invite("Supported: 100rel\n"), {}, 100);
    EXPECT_TRUE(uas.MaySendSuccess());
    ASSERT_EQ(uas.SendProvisional(Provisional(180), kT0).event, StepEvent::SentReliably);
    EXPECT_TRUE(uas.MaySendSuccess()) << "a 180 without a body does not hold the 2xx";
    ASSERT_EQ(uas.SendProvisional(Provisional(183, true), kT0).event, StepEvent::Queued);
    EXPECT_FALSE(uas.MaySendSuccess()) << "a queued 183 with an answer holds it already";
    EXPECT_THROW(uas.OnFinalResponseSent(200), std::logic_error);

    ReliableProvisionalStep first = uas.OnPrack(Prack("100 314159 INVITE"), kT0 + 1s);
    EXPECT_FALSE(first.successReleased);
    EXPECT_FALSE(uas.MaySendSuccess()) << "the 183 is now sent and unacknowledged";
    ReliableProvisionalStep second = uas.OnPrack(Prack("101 314159 INVITE", "z9hG4bK-pr2"), kT0 + 2s);
    EXPECT_EQ(second.event, StepEvent::PrackMatched);
    EXPECT_TRUE(second.successReleased);
    EXPECT_TRUE(uas.MaySendSuccess());
    EXPECT_EQ(uas.OnFinalResponseSent(200).event, StepEvent::Stopped);
}

TEST(ReliableProvisionalUasTest, FinalResponseStopsRetransmissionsButLatePracksStillMatch) {
    ReliableProvisionalUas uas(Mode::Required, Invite(), {}, 5);
    ASSERT_EQ(uas.SendProvisional(Provisional(183, true), kT0).event, StepEvent::SentReliably);
    ASSERT_EQ(uas.SendProvisional(Provisional(180), kT0).event, StepEvent::Queued);
    // A failure may go while the answer is unacknowledged; only a 2xx is held.
    ReliableProvisionalStep stop = uas.OnFinalResponseSent(486);
    EXPECT_TRUE(stop.stopTimer);
    EXPECT_EQ(uas.QueuedCount(), 0u);
    EXPECT_EQ(uas.OnTimer(kT0 + 1s).event, StepEvent::None);
    ReliableProvisionalStep late = uas.OnPrack(Prack("5 314159 INVITE"), kT0 + 2s);
    EXPECT_EQ(late.event, StepEvent::PrackMatched);
    EXPECT_FALSE(late.send.has_value()) << "nothing queued goes after the final response";
    EXPECT_EQ(uas.SendProvisional(Provisional(180), kT0 + 3s).event, StepEvent::Refused);
    EXPECT_THROW(uas.OnFinalResponseSent(199), std::invalid_argument);
}

TEST(ReliableProvisionalUasTest, QueueIsBoundedAndMisuseRaises) {
    ReliableProvisionalUas uas(Mode::Required, Invite(), {}, 1);
    ASSERT_EQ(uas.SendProvisional(Provisional(180), kT0).event, StepEvent::SentReliably);
    for (std::size_t i = 0; i < ReliableProvisionalUas::kMaxQueued; ++i) {
        ASSERT_EQ(uas.SendProvisional(Provisional(180), kT0).event, StepEvent::Queued);
    }
    const ReliableProvisionalStep refused = uas.SendProvisional(Provisional(180), kT0);
    EXPECT_EQ(refused.event, StepEvent::Refused);
    EXPECT_FALSE(refused.send.has_value());
    EXPECT_FALSE(refused.reason.empty());

    EXPECT_THROW(uas.SendProvisional(SipMessage::MakeResponse(200, "OK"), kT0), std::invalid_argument);
    EXPECT_THROW(ReliableProvisionalUas(Mode::Required, Invite(), {}, 0), std::invalid_argument);
    EXPECT_THROW(ReliableProvisionalUas(Mode::Required, Invite(), {}, 0x80000000U), std::invalid_argument);
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t first = ReliableProvisionalUas(Mode::Required, Invite()).NextRSeq();
        ASSERT_GE(first, 1u);
        ASSERT_LE(first, 0x7fffffffU);
    }
}

// ---- UAC --------------------------------------------------------------------------------------

TEST(ReliableProvisionalUacTest, InviteAnnounces100relAsTheModeSays) {
    struct Case {
        Mode mode;
        const char* extra;
        bool supported;
        bool required;
    };
    const std::vector<Case> cases = {
        {Mode::Never, "", false, false},
        {Mode::SupportedEssential, "", true, false},
        {Mode::Supported, "", true, false},
        {Mode::Supported, "Supported: 100rel\n", true, false},
        {Mode::Required, "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToString(c.mode));
        SipMessage invite = Invite(c.extra);
        ReliableProvisionalUac::AddOptionTags(invite, c.mode);
        EXPECT_EQ(Lists(invite, HeaderType::Supported, "100rel"), c.supported);
        EXPECT_EQ(Lists(invite, HeaderType::Require, "100rel"), c.required);
        EXPECT_LE(invite.Count(HeaderType::Supported), 1u) << "a listed tag is not added twice";
    }
}

TEST(ReliableProvisionalUacTest, TakesReliableResponsesInRSeqOrderOnly) {
    ReliableProvisionalUac uac(Invite());
    EXPECT_EQ(uac.OnProvisional(Provisional(180)).kind, Kind::Unreliable);
    EXPECT_EQ(uac.OnProvisional(Provisional(100, false, "Require: 100rel\nRSeq: 1\n")).kind, Kind::Unreliable);
    EXPECT_EQ(uac.GetState(), ReliableProvisionalUac::State::Idle);

    const ProvisionalReceipt first = uac.OnProvisional(Provisional(180, false, "Require: 100rel\nRSeq: 41\n"));
    ASSERT_EQ(first.kind, Kind::New);
    ASSERT_TRUE(first.rack.has_value());
    EXPECT_EQ(first.rack->ToString(), "41 314159 INVITE");
    EXPECT_EQ(uac.GetState(), ReliableProvisionalUac::State::Receiving);

    struct Step {
        const char* headers;
        Kind kind;
    };
    const std::vector<Step> steps = {
        {"Require: 100rel\nRSeq: 41\n", Kind::Duplicate},  // retransmission: no second PRACK
        {"Require: 100rel\nRSeq: 43\n", Kind::OutOfOrder}, // 42 is missing
        {"Require: 100rel\nRSeq: 40\n", Kind::Duplicate},  // older than the last one taken
        {"Require: 100rel\n", Kind::Malformed},           // no RSeq
        {"Require: 100rel\nRSeq: x1\n", Kind::Malformed},
        {"Require: 100rel\nRSeq: 42\n", Kind::New},
        {"Require: 100rel\nRSeq: 43\n", Kind::New}, // now in order
        {"RSeq: 44\n", Kind::Unreliable},          // RSeq without Require is not reliable
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.headers);
        const ProvisionalReceipt receipt = uac.OnProvisional(Provisional(183, false, s.headers));
        EXPECT_EQ(receipt.kind, s.kind);
        EXPECT_EQ(receipt.rack.has_value(), s.kind == Kind::New);
    }
    EXPECT_EQ(uac.LastRSeq(), 43u);
}

TEST(ReliableProvisionalUacTest, ForksKeepSeparateRSeqSpacesAndForeignCSeqIsMalformed) {
    ReliableProvisionalUac forkA(Invite());
    ReliableProvisionalUac forkB(Invite());
    EXPECT_EQ(forkA.OnProvisional(Provisional(180, false, "Require: 100rel\nRSeq: 900\n")).kind, Kind::New);
    EXPECT_EQ(forkB.OnProvisional(Provisional(180, false, "Require: 100rel\nRSeq: 5\n")).kind, Kind::New)
        << "another dialog's first reliable 1xx sets its own base";
    EXPECT_EQ(forkA.OnProvisional(Provisional(180, false, "Require: 100rel\nRSeq: 6\n")).kind, Kind::Duplicate);

    SipMessage other = Provisional(180, false, "Require: 100rel\nRSeq: 901\n");
    other.Set(HeaderType::CSeq, "1 INVITE");
    EXPECT_EQ(forkA.OnProvisional(other).kind, Kind::Malformed) << "a PRACK for it would carry a wrong RAck";
}

} // namespace
} // namespace zel::sip::stack

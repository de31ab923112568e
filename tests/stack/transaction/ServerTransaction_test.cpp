#include "stack/transaction/ServerInviteTransaction.h"
#include "stack/transaction/ServerNonInviteTransaction.h"

#include <gtest/gtest.h>

#include "TransactionTestSupport.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TuEventKind;
using ms = milliseconds;
using State = ServerInviteTransaction::State;

// The ACK a peer sends for our final response to kInvite.
SipMessage AckFor(std::string_view toTag) {
    SipMessage ack = Msg(kInvite);
    ack.SetMethod("ACK");
    ack.Edit<CSeq>(HeaderType::CSeq)->SetMethod("ACK");
    ack.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", toTag);
    ack.ClearBody();
    return ack;
}

struct ServerInvite : ::testing::Test {
    FakeClock clock;
    SipMessage invite = Msg(kInvite);
};

TEST_F(ServerInvite, SendsTryingAt200msWithTheRequestsHeaders) {
    Harness<ServerInviteTransaction> h(clock, invite, TransportType::UDP);
    EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived}));
    EXPECT_EQ(h.tuMessages.front()->Method(), "INVITE");
    h.RunUntil(ms(199));
    EXPECT_TRUE(h.sent.empty());
    h.RunUntil(ms(200));
    ASSERT_EQ(h.sent.size(), 1U);
    EXPECT_EQ(h.sent[0].message->Encode(),
              Wire("SIP/2.0 100 Trying\n"
                   "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bKnashds8\n"
                   "Via: SIP/2.0/UDP proxy.example.com;branch=z9hG4bKother\n"
                   "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\n"
                   "To: Bob <sip:bob@biloxi.example.com>\n"
                   "Call-ID: a84b4c76e66710\n"
                   "CSeq: 314159 INVITE\n"
                   "Timestamp: 54\n"
                   "Content-Length: 0\n\n"));
    // A retransmitted INVITE gets the last provisional response again.
    h.FromTransport(Msg(kInvite));
    ASSERT_EQ(h.sent.size(), 2U);
    EXPECT_TRUE(h.sent[1].retransmission);
    EXPECT_EQ(h.sent[1].message, h.sent[0].message);
}

TEST_F(ServerInvite, TuAnsweringFirstSuppressesTrying) {
    Harness<ServerInviteTransaction> h(clock, invite, TransportType::UDP);
    h.RunUntil(ms(100));
    h.FromTu(ResponseTo(invite, 180, "b1"));
    h.RunUntil(ms(1000));
    ASSERT_EQ(h.sent.size(), 1U);
    EXPECT_EQ(h.sent[0].firstLine, "SIP/2.0 180 Ringing");
    h.FromTransport(Msg(kInvite));
    EXPECT_EQ(h.sent.back().firstLine, "SIP/2.0 180 Ringing");
    EXPECT_TRUE(h.sent.back().retransmission);
}

// RFC 3261 figure 7 with no ACK: G doubles up to T2, H gives up at 64*T1.
TEST_F(ServerInvite, RetransmitsFailureResponseUntilTimerH) {
    Harness<ServerInviteTransaction> h(clock, invite, TransportType::UDP);
    h.FromTu(ResponseTo(invite, 486, "b1"));
    EXPECT_EQ(h.tx.GetState(), State::Completed);
    h.RunUntil(ms(32000));
    EXPECT_EQ(h.SendTimes(), (std::vector{ms(0), ms(500), ms(1500), ms(3500), ms(7500), ms(11500), ms(15500),
                                          ms(19500), ms(23500), ms(27500), ms(31500)}));
    EXPECT_EQ(h.sent.back().message->Encode(), ResponseTo(invite, 486, "b1").Encode());
    EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived, Kind::Timeout, Kind::Terminated}));
}

TEST_F(ServerInvite, AckConfirmsThenTimerIEnds) {
    struct Case {
        TransportType transport;
        std::vector<Kind> eventsAfterAck;
    };
    for (const Case& c : {Case{TransportType::UDP, {}}, Case{TransportType::TCP, {Kind::Terminated}}}) {
        SCOPED_TRACE(ToString(c.transport));
        Harness<ServerInviteTransaction> h(clock, invite, c.transport);
        h.FromTu(ResponseTo(invite, 486, "b1"));
        h.FromTransport(Msg(kInvite)); // retransmitted INVITE: the final response again
        EXPECT_EQ(h.sent.size(), 2U);
        h.events.clear();
        h.FromTransport(AckFor("b1"));
        EXPECT_EQ(h.events, c.eventsAfterAck);
        if (c.transport == TransportType::UDP) {
            EXPECT_EQ(h.tx.GetState(), State::Confirmed);
            h.FromTransport(AckFor("b1")); // absorbed
            h.RunUntil(ms(4999));
            EXPECT_EQ(h.sent.size(), 2U); // G stopped
            h.RunUntil(ms(5000));
            EXPECT_EQ(h.events, (std::vector{Kind::Terminated}));
        }
        EXPECT_EQ(h.tx.GetState(), State::Terminated);
    }
}

// RFC 6026 section 7.1: after a 2xx, INVITE retransmissions are absorbed, the TU's 2xx
// retransmissions pass, an ACK goes to the TU, and timer L ends the transaction.
TEST_F(ServerInvite, AcceptedAbsorbsInviteAndPassesTuRetransmissions) {
    Harness<ServerInviteTransaction> h(clock, invite, TransportType::UDP);
    h.FromTu(ResponseTo(invite, 200, "b1"));
    EXPECT_EQ(h.tx.GetState(), State::Accepted);
    h.FromTransport(Msg(kInvite));
    EXPECT_EQ(h.sent.size(), 1U);
    h.RunUntil(ms(500));
    h.FromTu(ResponseTo(invite, 200, "b1"));
    ASSERT_EQ(h.sent.size(), 2U);
    EXPECT_TRUE(h.sent[1].retransmission);
    h.FromTransport(AckFor("b1"));
    EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived, Kind::RequestReceived}));
    EXPECT_EQ(h.tuMessages.back()->Method(), "ACK");
    EXPECT_THROW(h.FromTu(ResponseTo(invite, 486, "b1")), std::logic_error);
    h.Handle(TransactionEvent::Failed()); // reported, but INVITE retransmissions stay absorbed
    EXPECT_EQ(h.tx.GetState(), State::Accepted);
    h.RunUntil(ms(32000));
    EXPECT_EQ(h.events.back(), Kind::Terminated);
    h.FromTu(ResponseTo(invite, 200, "b1")); // a TU that has not heard yet: ignored
    EXPECT_EQ(h.sent.size(), 2U);
}

TEST_F(ServerInvite, TransportErrorAndTuMisuse) {
    Harness<ServerInviteTransaction> h(clock, invite, TransportType::UDP);
    EXPECT_THROW(h.FromTu(Msg(kRegister)), std::invalid_argument);
    h.FromTu(ResponseTo(invite, 500, "b1"));
    EXPECT_THROW(h.FromTu(ResponseTo(invite, 200, "b1")), std::logic_error);
    h.Handle(TransactionEvent::Failed());
    EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived, Kind::TransportError, Kind::Terminated}));
    EXPECT_THROW(ServerInviteTransaction(Msg(kRegister), TransportType::UDP, clock), std::invalid_argument);
}

// RFC 3261 section 17.2.3, RFC 2543 peers: the ACK must carry the To tag of our response.
TEST_F(ServerInvite, Rfc2543AckMatchesByResponseToTag) {
    SipMessage old = Msg(kInvite);
    old.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", "oldstyle1");
    Harness<ServerInviteTransaction> h(clock, old, TransportType::UDP);
    h.FromTu(ResponseTo(old, 404, "b1"));
    auto ack = [&](std::string_view tag) {
        SipMessage a = AckFor(tag);
        a.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", "oldstyle1");
        return a;
    };
    h.FromTransport(ack("someoneelse"));
    EXPECT_EQ(h.tx.GetState(), State::Completed);
    h.FromTransport(ack("b1"));
    EXPECT_EQ(h.tx.GetState(), State::Confirmed);
}

struct ServerNonInvite : ::testing::Test {
    FakeClock clock;
    SipMessage request = Msg(kRegister);
};

TEST_F(ServerNonInvite, AbsorbsThenRepeatsLastResponseUntilTimerJ) {
    Harness<ServerNonInviteTransaction> h(clock, request, TransportType::UDP);
    EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived}));
    h.FromTransport(Msg(kRegister)); // Trying: absorbed
    EXPECT_TRUE(h.sent.empty());
    h.FromTu(ResponseTo(request, 100));
    h.FromTransport(Msg(kRegister));
    ASSERT_EQ(h.sent.size(), 2U);
    EXPECT_TRUE(h.sent[1].retransmission);
    h.FromTu(ResponseTo(request, 200, "r"));
    EXPECT_EQ(h.tx.GetState(), ServerNonInviteTransaction::State::Completed);
    h.FromTransport(Msg(kRegister));
    ASSERT_EQ(h.sent.size(), 4U);
    EXPECT_EQ(h.sent[3].firstLine, "SIP/2.0 200 OK");
    EXPECT_EQ(h.sent[3].message->Encode(), ResponseTo(request, 200, "r").Encode()) << "repeated as first sent";
    EXPECT_THROW(h.FromTu(ResponseTo(request, 200, "r")), std::logic_error);
    h.RunUntil(ms(31999));
    EXPECT_EQ(h.tx.GetState(), ServerNonInviteTransaction::State::Completed);
    h.RunUntil(ms(32000));
    EXPECT_EQ(h.events.back(), Kind::Terminated);
}

// The final response is kept as its text for timer J; one whose text the parser would refuse (more
// header lines than a received message may have) is kept and repeated as built.
TEST_F(ServerNonInvite, AResponseTooLargeToReadBackIsRepeatedAsBuilt) {
    SipMessage large = ResponseTo(request, 200, "r");
    for (int i = 0; i < 300; ++i)
        large.AddExtension("X-Line-" + std::to_string(i), "value");
    const std::string wire = large.Encode();
    Harness<ServerNonInviteTransaction> h(clock, request, TransportType::UDP);
    h.FromTu(std::move(large));
    h.FromTransport(Msg(kRegister));
    ASSERT_EQ(h.sent.size(), 2U);
    EXPECT_EQ(h.sent[1].message->Encode(), wire);
}

TEST_F(ServerNonInvite, ReliableEndsAtFinalResponseAndErrorsEndEarly) {
    {
        Harness<ServerNonInviteTransaction> h(clock, request, TransportType::TCP);
        h.FromTu(ResponseTo(request, 200, "r"));
        EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived, Kind::Terminated}));
    }
    {
        Harness<ServerNonInviteTransaction> h(clock, request, TransportType::UDP);
        h.FromTu(ResponseTo(request, 180));
        h.Handle(TransactionEvent::Failed());
        EXPECT_EQ(h.events, (std::vector{Kind::RequestReceived, Kind::TransportError, Kind::Terminated}));
    }
}

} // namespace
} // namespace zel::sip::stack::test

#include "stack/transaction/ClientInviteTransaction.h"
#include "stack/transaction/ClientNonInviteTransaction.h"

#include <gtest/gtest.h>

#include "TransactionTestSupport.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TuEventKind;
using ms = milliseconds;

struct ClientInvite : ::testing::Test {
    FakeClock clock;
    SipMessage invite = Msg(kInvite);
};

// RFC 3261 figure 5 without an answer: A doubles (no cap), B ends it at 64*T1.
TEST_F(ClientInvite, RetransmitsWithDoublingTimerAUntilTimerB) {
    struct Case {
        TransportType transport;
        std::vector<ms> sends;
    };
    for (const Case& c : {Case{TransportType::UDP, {ms(0), ms(500), ms(1500), ms(3500), ms(7500), ms(15500), ms(31500)}},
                          Case{TransportType::TCP, {ms(0)}}}) {
        SCOPED_TRACE(ToString(c.transport));
        Harness<ClientInviteTransaction> h(clock, invite, c.transport);
        h.RunUntil(ms(31999));
        EXPECT_TRUE(h.events.empty());
        h.RunUntil(ms(32000));
        EXPECT_EQ(h.SendTimes(), c.sends);
        EXPECT_FALSE(h.sent.front().retransmission);
        for (std::size_t i = 1; i < h.sent.size(); ++i)
            EXPECT_TRUE(h.sent[i].retransmission);
        EXPECT_EQ(h.events, (std::vector{Kind::Timeout, Kind::Terminated}));
        EXPECT_EQ(h.tx.GetState(), ClientInviteTransaction::State::Terminated);
    }
}

TEST_F(ClientInvite, ConfiguredT1ScalesTheTimers) {
    Harness<ClientInviteTransaction> h(clock, invite, TransportType::UDP, TimerValues{ms(100), ms(400), ms(1000)});
    h.RunUntil(ms(6400));
    EXPECT_EQ(h.SendTimes(), (std::vector{ms(0), ms(100), ms(300), ms(700), ms(1500), ms(3100), ms(6300)}));
    EXPECT_EQ(h.events, (std::vector{Kind::Timeout, Kind::Terminated}));
    EXPECT_THROW(ClientInviteTransaction(invite, TransportType::UDP, clock, TimerValues{ms(500), ms(100), ms(5000)}),
                 std::invalid_argument);
}

// Figure 5: 180 stops retransmissions and timer B, 486 is ACKed with exactly the headers of
// RFC 3261 section 17.1.1.3, its retransmissions are ACKed again without reaching the TU.
TEST_F(ClientInvite, AcksFailureResponseAndAbsorbsItsRetransmissions) {
    Harness<ClientInviteTransaction> h(clock, invite, TransportType::UDP);
    h.RunUntil(ms(600));
    h.FromTransport(ResponseTo(invite, 180, "8321234356"));
    EXPECT_EQ(h.tx.GetState(), ClientInviteTransaction::State::Proceeding);
    EXPECT_FALSE(h.IsArmed(TransactionTimer::A));
    EXPECT_FALSE(h.IsArmed(TransactionTimer::B));
    h.RunUntil(ms(100000)); // Proceeding waits for the TU, without retransmitting
    EXPECT_EQ(h.sent.size(), 2U);

    h.FromTransport(ResponseTo(invite, 486, "8321234356"));
    ASSERT_EQ(h.sent.size(), 3U);
    EXPECT_EQ(h.sent[2].message->Encode(),
              Wire("ACK sip:bob@biloxi.example.com SIP/2.0\n"
                   "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bKnashds8\n"
                   "Max-Forwards: 69\n"
                   "Route: <sip:p1.example.com;lr>\n"
                   "Route: <sip:p2.example.com;lr>\n"
                   "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\n"
                   "To: Bob <sip:bob@biloxi.example.com>;tag=8321234356\n"
                   "Call-ID: a84b4c76e66710\n"
                   "CSeq: 314159 ACK\n"
                   "Content-Length: 0\n\n"));
    EXPECT_EQ(h.events, (std::vector{Kind::ResponseReceived, Kind::ResponseReceived}));
    EXPECT_EQ(h.tuMessages.back()->StatusCode(), 486);

    h.FromTransport(ResponseTo(invite, 486, "8321234356"));
    ASSERT_EQ(h.sent.size(), 4U);
    EXPECT_TRUE(h.sent[3].retransmission);
    EXPECT_EQ(h.sent[3].message, h.sent[2].message);
    EXPECT_EQ(h.events.size(), 2U);
    h.RunUntil(ms(100000 + 31999));
    EXPECT_EQ(h.tx.GetState(), ClientInviteTransaction::State::Completed);
    h.RunUntil(ms(100000 + 32000)); // timer D
    EXPECT_EQ(h.events.back(), Kind::Terminated);
}

TEST_F(ClientInvite, ReliableTransportEndsAtTheFailureResponse) {
    Harness<ClientInviteTransaction> h(clock, invite, TransportType::TLS);
    h.FromTransport(ResponseTo(invite, 603, "x"));
    EXPECT_EQ(h.sent.back().firstLine, "ACK sip:bob@biloxi.example.com SIP/2.0");
    EXPECT_EQ(h.events, (std::vector{Kind::ResponseReceived, Kind::Terminated}));
}

// RFC 6026 section 7.2: 2xx responses (forked or retransmitted) all reach the TU until timer M;
// the transaction sends no ACK for them.
TEST_F(ClientInvite, AcceptedPassesEvery2xxUntilTimerM) {
    Harness<ClientInviteTransaction> h(clock, invite, TransportType::UDP);
    h.FromTransport(ResponseTo(invite, 200, "fork1"));
    EXPECT_EQ(h.tx.GetState(), ClientInviteTransaction::State::Accepted);
    h.RunUntil(ms(10000));
    h.FromTransport(ResponseTo(invite, 200, "fork1"));
    h.FromTransport(ResponseTo(invite, 200, "fork2"));
    h.FromTransport(ResponseTo(invite, 180, "fork3")); // meaningless now: absorbed
    EXPECT_EQ(h.sent.size(), 1U);
    EXPECT_EQ(h.events, (std::vector(3, Kind::ResponseReceived)));
    h.RunUntil(ms(32000));
    EXPECT_EQ(h.events.back(), Kind::Terminated);
    EXPECT_EQ(h.events.size(), 4U);
}

TEST_F(ClientInvite, TransportErrorAndStrayResponses) {
    Harness<ClientInviteTransaction> h(clock, invite, TransportType::UDP);
    SipMessage stray = ResponseTo(invite, 486, "x");
    stray.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", "z9hG4bKsomeoneelse");
    h.FromTransport(std::move(stray));
    SipMessage otherMethod = ResponseTo(invite, 200, "x");
    otherMethod.Edit<CSeq>(HeaderType::CSeq)->SetMethod("CANCEL");
    h.FromTransport(std::move(otherMethod));
    SipMessage noTo = ResponseTo(invite, 486, "x");
    noTo.Remove(HeaderType::To);
    h.FromTransport(std::move(noTo)); // no ACK can be built: dropped, never thrown
    EXPECT_TRUE(h.events.empty());
    EXPECT_EQ(h.tx.GetState(), ClientInviteTransaction::State::Calling);

    h.Handle(TransactionEvent::Failed());
    EXPECT_EQ(h.events, (std::vector{Kind::TransportError, Kind::Terminated}));
    h.RunUntil(ms(64000));
    EXPECT_EQ(h.sent.size(), 1U); // every timer was cancelled
}

TEST_F(ClientInvite, StaleTimerFiringIsIgnored) {
    ClientInviteTransaction tx(invite, TransportType::UDP, clock);
    EXPECT_EQ(tx.Start().size(), 3U);
    // Timer A delivered before its deadline, and timer D which was never armed.
    EXPECT_TRUE(tx.Handle(TransactionEvent::Fired(TransactionTimer::A)).empty());
    EXPECT_TRUE(tx.Handle(TransactionEvent::Fired(TransactionTimer::D)).empty());
}

TEST_F(ClientInvite, RejectsRequestsItCannotSend) {
    EXPECT_THROW(ClientInviteTransaction(Msg(kRegister), TransportType::UDP, clock), std::invalid_argument);
    SipMessage noCookie = invite;
    noCookie.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", "1234");
    EXPECT_THROW(ClientInviteTransaction(noCookie, TransportType::UDP, clock), std::invalid_argument);
    EXPECT_THROW(ClientNonInviteTransaction(invite, TransportType::UDP, clock), std::invalid_argument);
}

struct ClientNonInvite : ::testing::Test {
    FakeClock clock;
    SipMessage request = Msg(kRegister);
};

// RFC 3261 figure 6: E doubles up to T2 in Trying, is T2 in Proceeding; F ends it at 64*T1.
TEST_F(ClientNonInvite, RetransmissionsCappedAtT2UntilTimerF) {
    Harness<ClientNonInviteTransaction> h(clock, request, TransportType::UDP);
    h.RunUntil(ms(32000));
    EXPECT_EQ(h.SendTimes(), (std::vector{ms(0), ms(500), ms(1500), ms(3500), ms(7500), ms(11500), ms(15500),
                                          ms(19500), ms(23500), ms(27500), ms(31500)}));
    EXPECT_EQ(h.events, (std::vector{Kind::Timeout, Kind::Terminated}));
}

TEST_F(ClientNonInvite, ProvisionalSwitchesTimerEToT2) {
    Harness<ClientNonInviteTransaction> h(clock, request, TransportType::UDP);
    h.RunUntil(ms(600)); // retransmitted at 500, next due at 1500
    h.FromTransport(ResponseTo(request, 100));
    EXPECT_EQ(h.tx.GetState(), ClientNonInviteTransaction::State::Proceeding);
    h.RunUntil(ms(10000));
    EXPECT_EQ(h.SendTimes(), (std::vector{ms(0), ms(500), ms(1500), ms(5500), ms(9500)}));
    h.FromTransport(ResponseTo(request, 200, "t"));
    h.FromTransport(ResponseTo(request, 200, "t")); // absorbed in Completed
    EXPECT_EQ(h.events, (std::vector{Kind::ResponseReceived, Kind::ResponseReceived}));
    h.RunUntil(ms(14999));
    EXPECT_EQ(h.tx.GetState(), ClientNonInviteTransaction::State::Completed);
    h.RunUntil(ms(15000)); // timer K = T4
    EXPECT_EQ(h.events.back(), Kind::Terminated);
    EXPECT_EQ(h.sent.size(), 5U);
}

TEST_F(ClientNonInvite, ReliableTransportSendsOnceAndEndsAtTheFinalResponse) {
    Harness<ClientNonInviteTransaction> h(clock, request, TransportType::WS);
    h.RunUntil(ms(20000));
    EXPECT_EQ(h.sent.size(), 1U);
    h.FromTransport(ResponseTo(request, 401, "t"));
    EXPECT_EQ(h.events, (std::vector{Kind::ResponseReceived, Kind::Terminated}));
}

TEST_F(ClientNonInvite, TransportErrorInProceeding) {
    Harness<ClientNonInviteTransaction> h(clock, request, TransportType::UDP);
    h.FromTransport(ResponseTo(request, 100));
    h.Handle(TransactionEvent::Failed());
    EXPECT_EQ(h.events, (std::vector{Kind::ResponseReceived, Kind::TransportError, Kind::Terminated}));
}

} // namespace
} // namespace zel::sip::stack::test

// The transaction layer over a real UDP transport on the loopback, against a raw UDP peer, with a
// short T1 so that retransmissions and timeouts happen within the test.

#include <gtest/gtest.h>

#include <set>

#include "LayerTestSupport.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TransactionUserMessage::Kind;

TEST_F(TransactionLayerTest, ServerNonInviteDeliversOnceAnswersAndAbsorbsRetransmissions) {
    Start();
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "opt1"));
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "opt1"));
    ASSERT_TRUE(RunUntil(io, [&] { return Received("OPTIONS") != nullptr; }));
    RunFor(io, milliseconds(50));
    const TransactionUserMessage request = *Received("OPTIONS");
    EXPECT_NE(request.transaction, 0u);
    EXPECT_EQ(request.source, peer.Where());
    EXPECT_EQ(EventsOf(request.transaction, Kind::Request).size(), 1u);
    // RFC 3581: rport filled in with the port the request came from.
    EXPECT_NE(request.message->ValueText(HeaderType::Via).find("rport=" + std::to_string(peer.Port())),
              std::string::npos);
    EXPECT_TRUE(peer.received.empty());

    layer->SendResponse(request.transaction, ResponseTo(*request.message, 200, "them"));
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("SIP/2.0 200").size() == 1; }));
    // A retransmission of the request is answered with the same response by the transaction.
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "opt1"));
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("SIP/2.0 200").size() == 2; }));
    EXPECT_EQ(EventsOf(request.transaction, Kind::Request).size(), 1u);

    // Timer J (64*T1) ends it.
    ASSERT_TRUE(RunUntil(io, [&] { return Has(request.transaction, Kind::Terminated); }));
    EXPECT_EQ(layer->ServerTransactionCount(), 0u);
    layer->SendResponse(request.transaction, ResponseTo(*request.message, 200, "them")); // dropped quietly
    RunFor(io, milliseconds(30));
    EXPECT_EQ(peer.Starting("SIP/2.0 200").size(), 2u);
}

TEST_F(TransactionLayerTest, ServerInviteSendsTryingThenRetransmitsAFailureUntilTheAck) {
    Start();
    peer.SendTo(udp->LocalTuple(), PeerRequest("INVITE", "inv1"));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 100").empty(); }));
    const TransactionUserMessage* invite = Received("INVITE");
    ASSERT_NE(invite, nullptr);
    const TransactionId id = invite->transaction;

    layer->SendResponse(id, ResponseTo(*invite->message, 486, "them"));
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("SIP/2.0 486").size() >= 3; })); // timer G
    peer.SendTo(udp->LocalTuple(), PeerRequest("ACK", "inv1", "call-1", "them"));
    RunFor(io, milliseconds(60));
    const std::size_t afterAck = peer.Starting("SIP/2.0 486").size();
    RunFor(io, milliseconds(200));
    EXPECT_EQ(peer.Starting("SIP/2.0 486").size(), afterAck);
    EXPECT_EQ(Received("ACK"), nullptr); // the ACK of a failure stays in the transaction
}

TEST_F(TransactionLayerTest, CancelIsAnsweredHereAndNamesTheInviteItCancels) {
    Start();
    peer.SendTo(udp->LocalTuple(), PeerRequest("INVITE", "inv2", "call-2"));
    ASSERT_TRUE(RunUntil(io, [&] { return Received("INVITE") != nullptr; }));
    const TransactionId invite = Received("INVITE")->transaction;

    peer.SendTo(udp->LocalTuple(), PeerRequest("CANCEL", "inv2", "call-2"));
    ASSERT_TRUE(RunUntil(io, [&] { return Received("CANCEL") != nullptr; }));
    EXPECT_EQ(Received("CANCEL")->cancelled, invite);
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 200").empty(); }));
    EXPECT_EQ(HeaderOf(peer.Starting("SIP/2.0 200").front(), "CSeq"), "1 CANCEL");

    // RFC 3261 section 9.2: a CANCEL matching nothing gets 481 and is not passed on.
    peer.SendTo(udp->LocalTuple(), PeerRequest("CANCEL", "nothing", "call-3"));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 481").empty(); }));
    std::size_t cancels = 0;
    for (const auto& event : Events())
        cancels += event.kind == Kind::Request && event.message->Method() == "CANCEL";
    EXPECT_EQ(cancels, 1u);
}

TEST_F(TransactionLayerTest, MalformedDatagramsAreAnswered400WhenPossibleElseDropped) {
    Start();
    struct Case {
        const char* name;
        std::string datagram;
        bool answered400;
    };
    const std::string good = PeerRequest("OPTIONS", "bad1");
    auto replace = [](std::string text, std::string_view from, std::string_view to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::vector<Case> cases{
        {"unparsable CSeq", replace(good, "CSeq: 1 OPTIONS", "CSeq: one OPTIONS"), true},
        {"CSeq method differs", replace(good, "CSeq: 1 OPTIONS", "CSeq: 1 INFO"), true},
        {"body shorter than Content-Length", replace(good, "Content-Length: 0", "Content-Length: 500"), true},
        {"no Call-ID", replace(good, "Call-ID: call-1\r\n", ""), false},
        {"not SIP", "hello there\r\n\r\n", false},
        {"empty", "", false},
        {"ACK with a bad CSeq", replace(PeerRequest("ACK", "bad2"), "CSeq: 1 ACK", "CSeq: x ACK"), false},
        {"response with a bad CSeq", "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKx\r\nCSeq: ?\r\n\r\n",
         false},
        {"binary", std::string("\x00\xff\x13\r\n\r\n\x01", 8), false},
    };
    for (const Case& c : cases) {
        peer.received.clear();
        peer.SendTo(udp->LocalTuple(), c.datagram);
        if (c.answered400) {
            EXPECT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 400").empty(); }, milliseconds(2000)))
                << c.name;
        } else {
            RunFor(io, milliseconds(60));
            EXPECT_TRUE(peer.received.empty()) << c.name;
        }
        EXPECT_TRUE(Events().empty()) << c.name;
        EXPECT_EQ(layer->ServerTransactionCount(), 0u) << c.name;
    }
}

TEST_F(TransactionLayerTest, ClientRequestRetransmitsThenTimesOut) {
    Start();
    const TransactionId id = layer->AllocateId();
    layer->SendRequest(id, OutgoingOptions(), peer.Where());
    ASSERT_TRUE(RunUntil(io, [&] { return Has(id, Kind::Terminated); }, milliseconds(5000)));
    const auto kinds = EventsOf(id);
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kinds[0].kind, Kind::Timeout); // timer F
    EXPECT_EQ(kinds[1].kind, Kind::Terminated);

    const auto sent = peer.Starting("OPTIONS ");
    ASSERT_GE(sent.size(), 4u); // timer E
    const std::string via = HeaderOf(sent.front(), "Via");
    EXPECT_TRUE(via.starts_with("SIP/2.0/UDP " + Us() + ";branch=z9hG4bK")) << via;
    EXPECT_NE(via.find(";rport"), std::string::npos);
    EXPECT_EQ(HeaderOf(sent.front(), "Max-Forwards"), "70");
    for (const auto& retransmission : sent)
        EXPECT_EQ(HeaderOf(retransmission, "Via"), via);
    EXPECT_EQ(logger->sent, 1); // the message log tells retransmissions apart
    EXPECT_EQ(logger->retransmitted, static_cast<int>(sent.size()) - 1);
    EXPECT_EQ(layer->ClientTransactionCount(), 0u);
}

TEST_F(TransactionLayerTest, ClientRequestGetsItsResponseAndStrayResponsesGoToTheUser) {
    Start();
    const TransactionId id = layer->AllocateId();
    layer->SendRequest(id, OutgoingOptions(), peer.Where());
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.received.empty(); }));
    const SipMessage sent = SipMessage::Parse(peer.received.front());
    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return Has(id, Kind::Terminated); })); // after timer K
    const auto responses = EventsOf(id, Kind::Response);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses.front().message->StatusCode(), 200);

    // The same response once the transaction is gone matches nothing: the TU decides.
    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return Has(0, Kind::Response); }));
}

TEST_F(TransactionLayerTest, RequestsThatCannotLeaveReportATransportError) {
    StartWithSlowTimers();
    TransportOptions tcpOptions;
    tcpOptions.bindAddress = "127.0.0.1";
    tcpOptions.receiver = layer.get();
    layer->AddTransport(MakeTcpTransport(io, tcpOptions));

    // Nothing listens on the peer's port over TCP (the peer is a UDP socket): the connect fails.
    Tuple closed = peer.Where();
    closed.transport = TransportType::TCP;
    const TransactionId refused = layer->AllocateId();
    layer->SendRequest(refused, OutgoingOptions(), closed);
    // No TLS transport at all.
    Tuple tls = peer.Where();
    tls.transport = TransportType::TLS;
    const TransactionId noTransport = layer->AllocateId();
    layer->SendRequest(noTransport, OutgoingOptions(), tls);

    for (TransactionId id : {refused, noTransport}) {
        ASSERT_TRUE(RunUntil(io, [&] { return Has(id, Kind::Terminated); }, milliseconds(5000))) << id;
        const auto errors = EventsOf(id, Kind::TransportError);
        ASSERT_EQ(errors.size(), 1u) << id;
        EXPECT_TRUE(errors.front().error) << id;
        EXPECT_TRUE(EventsOf(id, Kind::Timeout).empty()) << id;
    }
}

TEST_F(TransactionLayerTest, AMessageTheTransportRefusesFailsOnlyItsOwnTransaction) {
    StartWithSlowTimers();
    const TransactionId pending = layer->AllocateId();
    layer->SendRequest(pending, OutgoingOptions(), peer.Where());
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.received.empty(); }));

    // Too large for a datagram: refused by the transport, towards the same peer.
    SipMessage huge = OutgoingOptions();
    huge.Set(HeaderType::CallId, "out-2");
    huge.SetBody(std::string(70 * 1024, 'x'), Mime("text", "plain"));
    const TransactionId refused = layer->AllocateId();
    // On the loop thread, as the stack calls it: the transport then refuses within the call.
    boost::asio::post(io, [&] { layer->SendRequest(refused, std::move(huge), peer.Where()); });
    ASSERT_TRUE(RunUntil(io, [&] { return Has(refused, Kind::Terminated); }));
    const auto errors = EventsOf(refused, Kind::TransportError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front().error, std::errc::message_size);

    // The other transaction towards that peer lives on and still gets its answer.
    const SipMessage sent = SipMessage::Parse(peer.received.front());
    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return Has(pending, Kind::Response); }));
    EXPECT_TRUE(EventsOf(pending, Kind::TransportError).empty());
}

TEST_F(TransactionLayerTest, CongestionAnswersNewRequestsOutsideDialogs503) {
    Start(fake);
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "c1", "call-c1"));
    ASSERT_TRUE(RunUntil(io, [&] { return queue->Size() == 1; }));
    fake.now += milliseconds(300); // the transaction user has not taken it for 300 ms

    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "c2", "call-c2"));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 503").empty(); }));
    EXPECT_EQ(HeaderOf(peer.Starting("SIP/2.0 503").front(), "Retry-After"), "1");
    EXPECT_EQ(HeaderOf(peer.Starting("SIP/2.0 503").front(), "Call-ID"), "call-c2");

    // Inside a dialog the request is still taken, and so is a CANCEL.
    peer.SendTo(udp->LocalTuple(), PeerRequest("BYE", "c3", "call-c3", "ours"));
    ASSERT_TRUE(RunUntil(io, [&] { return queue->Size() == 2; }));
    EXPECT_EQ(peer.Starting("SIP/2.0 503").size(), 1u);

    // Once the user catches up, new requests are taken again.
    Events();
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "c4", "call-c4"));
    ASSERT_TRUE(RunUntil(io, [&] { return Received("OPTIONS") != nullptr && queue->Size() == 0 && events.size() == 3; }));
    EXPECT_EQ(peer.Starting("SIP/2.0 503").size(), 1u);
}

TEST_F(TransactionLayerTest, AFullQueueOrTableAnswers503) {
    options.maxServerTransactions = 2;
    Start(steady, nullptr, {1, 10});
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "f1", "call-f1"));
    ASSERT_TRUE(RunUntil(io, [&] { return queue->Size() == 1; }));
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "f2", "call-f2"));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 503").empty(); }));
    EXPECT_EQ(layer->ServerTransactionCount(), 1u);
}

// RFC 3261 section 9.1: the CANCEL carries the INVITE's branch, waits for a provisional response,
// and has its own transaction; with nothing left to cancel the user is told so.
TEST_F(TransactionLayerTest, CancelOfAnInviteWaitsForAProvisionalResponse) {
    options.timers.t1 = milliseconds(200); // no retransmission blurs the order
    options.timers.t2 = milliseconds(4000);
    Start();
    const TransactionId id = layer->AllocateId();
    const SipMessage sent = SendInvite(id);
    ASSERT_FALSE(peer.Starting("INVITE ").empty());

    const TransactionId cancel = layer->AllocateId();
    layer->SendCancel(cancel, id);
    RunFor(io, milliseconds(50));
    EXPECT_TRUE(peer.Starting("CANCEL ").empty()); // no provisional response yet

    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 180, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("CANCEL ").empty(); }));
    const SipMessage cancelSent = SipMessage::Parse(peer.Starting("CANCEL ").front());
    EXPECT_EQ(cancelSent.ValueText(HeaderType::Via), sent.ValueText(HeaderType::Via));
    EXPECT_EQ(cancelSent.ValueText(HeaderType::CSeq), "7 CANCEL");
    EXPECT_EQ(cancelSent.RawRequestUri(), sent.RawRequestUri());
    peer.SendTo(udp->LocalTuple(), ResponseTo(cancelSent, 200, "peer").Encode());
    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 487, "peer").Encode());

    ASSERT_TRUE(RunUntil(io, [&] { return Has(cancel, Kind::Terminated) && EventsOf(id, Kind::Response).size() == 2; }));
    ASSERT_EQ(EventsOf(cancel, Kind::Response).size(), 1u);
    EXPECT_EQ(EventsOf(cancel, Kind::Response).front().message->StatusCode(), 200);
    const auto responses = EventsOf(id, Kind::Response);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses.back().message->StatusCode(), 487);
    EXPECT_FALSE(peer.Starting("ACK ").empty()); // the transaction ACKs the 487 itself

    const TransactionId late = layer->AllocateId();
    layer->SendCancel(late, id);
    ASSERT_TRUE(RunUntil(io, [&] { return Has(late, Kind::Terminated); }));
    ASSERT_EQ(EventsOf(late, Kind::TransportError).size(), 1u);
    EXPECT_EQ(EventsOf(late, Kind::TransportError).front().error, std::errc::operation_not_permitted);
}

// A CANCEL the user edited (SendCancel with a model): its own headers reach the wire, and what RFC
// 3261 section 9.1 fixes comes from the INVITE whatever the model says.
TEST_F(TransactionLayerTest, CancelFromAModelKeepsTheInvitesMatch) {
    Start();
    const TransactionId id = layer->AllocateId();
    const SipMessage sent = SendInvite(id);
    ASSERT_FALSE(peer.Starting("INVITE ").empty());
    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 180, "peer").Encode());

    SipMessage model = SipMessage::MakeRequest("CANCEL", Uri::Parse("sip:somewhere@else.invalid"));
    model.Add(HeaderType::CallId, "not-the-invites");
    model.Add(HeaderType::CSeq, "99 CANCEL");
    model.Add(HeaderType::Via, "SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKforged");
    model.Add(HeaderType::MaxForwards, "12");
    model.AddExtension("X-Reason", "hung up");
    const TransactionId cancel = layer->AllocateId();
    layer->SendCancel(cancel, id, std::move(model));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("CANCEL ").empty(); }));
    const SipMessage cancelSent = SipMessage::Parse(peer.Starting("CANCEL ").front());
    EXPECT_EQ(cancelSent.RawRequestUri(), sent.RawRequestUri());
    EXPECT_EQ(cancelSent.Count(HeaderType::Via), 1u);
    EXPECT_EQ(cancelSent.ValueText(HeaderType::Via), sent.ValueText(HeaderType::Via));
    for (HeaderType type : {HeaderType::CallId, HeaderType::From, HeaderType::To})
        EXPECT_EQ(cancelSent.ValueText(type), sent.ValueText(type));
    EXPECT_EQ(cancelSent.ValueText(HeaderType::CSeq), "7 CANCEL");
    EXPECT_EQ(cancelSent.ValueText(HeaderType::MaxForwards), "12");
    EXPECT_EQ(cancelSent.RawExtension("X-Reason"), "hung up");
    // The peer's 200 reaches the CANCEL's transaction: it matched.
    peer.SendTo(udp->LocalTuple(), ResponseTo(cancelSent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return EventsOf(cancel, Kind::Response).size() == 1; }));
}

} // namespace
} // namespace zel::sip::stack::test

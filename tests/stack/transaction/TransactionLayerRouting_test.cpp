// What the transaction user steers and gets back: routing (flows, like an earlier transaction,
// Contact filled in), ACKs kept for retransmission, refused responses, stream flows that close or
// stop answering keep-alives; and the checks that keep peers from forging or flooding.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <regex>
#include <set>

#include "LayerTestSupport.h"

namespace zel::sip::stack::test {
namespace {

/// A raw TCP client connected to `server`, collecting what it receives.
class TcpPeer {
public:
    TcpPeer(boost::asio::io_context& io, const Tuple& server) : socket_(io) {
        socket_.connect(boost::asio::ip::tcp::endpoint(server.address, server.port));
        Receive();
    }
    void Write(const std::string& text) { boost::asio::write(socket_, boost::asio::buffer(text)); }
    void Close() {
        boost::system::error_code ignored;
        socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }
    std::uint16_t Port() const { return socket_.local_endpoint().port(); }
    std::string received;

private:
    void Receive() {
        socket_.async_read_some(boost::asio::buffer(buffer_), [this](const auto& error, std::size_t size) {
            if (error)
                return;
            received.append(buffer_.data(), size);
            Receive();
        });
    }
    boost::asio::ip::tcp::socket socket_;
    std::array<char, 8192> buffer_{};
};

class RoutingTest : public TransactionLayerTest {
protected:
    std::shared_ptr<Transport> AddTcp() {
        TransportOptions tcpOptions;
        tcpOptions.bindAddress = "127.0.0.1";
        tcpOptions.receiver = layer.get();
        auto tcp = MakeTcpTransport(io, tcpOptions);
        layer->AddTransport(tcp);
        return tcp;
    }

    /// The peer's first request to us over TCP, as the TU got it.
    TransactionUserMessage RequestOverTcp(TcpPeer& tcpPeer, const std::string& branch) {
        tcpPeer.Write(Fill("OPTIONS sip:us@127.0.0.1 SIP/2.0\n"
                           "Via: SIP/2.0/TCP 127.0.0.1:{port};branch=z9hG4bK{branch}\n"
                           "Max-Forwards: 70\n"
                           "To: <sip:us@127.0.0.1>\n"
                           "From: <sip:peer@127.0.0.1>;tag=peer\n"
                           "Call-ID: tcp-{branch}\n"
                           "CSeq: 1 OPTIONS\n"
                           "Content-Length: 0\n\n",
                           {{"port", std::to_string(tcpPeer.Port())}, {"branch", branch}}));
        EXPECT_TRUE(RunUntil(io, [&] { return Received("OPTIONS") != nullptr; }));
        return Received("OPTIONS") != nullptr ? *Received("OPTIONS") : TransactionUserMessage{};
    }
};

TEST_F(RoutingTest, AResponseMustNameTheSentByWeWroteNotJustTheBranch) {
    Start();
    const TransactionId id = layer->AllocateId();
    layer->SendRequest(id, OutgoingOptions(), peer.Where());
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.received.empty(); }));
    const SipMessage sent = SipMessage::Parse(peer.received.front());

    SipMessage forged = ResponseTo(sent, 200, "forger");
    Via* via = forged.Edit<Via>(HeaderType::Via);
    ASSERT_NE(via, nullptr);
    via->SetHost("192.0.2.7"); // the branch is right, the sender is not us
    peer.SendTo(udp->LocalTuple(), forged.Encode());
    SipMessage otherPort = ResponseTo(sent, 200, "forger");
    otherPort.Edit<Via>(HeaderType::Via)->SetPort(static_cast<std::uint16_t>(udp->LocalTuple().port + 1));
    peer.SendTo(udp->LocalTuple(), otherPort.Encode());
    RunFor(io, milliseconds(60));
    EXPECT_TRUE(EventsOf(id, Kind::Response).empty());

    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return Has(id, Kind::Response); }));
    EXPECT_EQ(EventsOf(id, Kind::Response).front().message->Raw(HeaderType::To).find("forger"), std::string::npos);
}

TEST_F(RoutingTest, BranchesAndStatelessTagsCarry128RandomBits) {
    StartWithSlowTimers();
    const std::regex branch("z9hG4bK[a-z2-7]{26}");
    std::set<std::string> branches;
    for (int i = 0; i < 40; ++i) {
        SipMessage request = OutgoingOptions();
        request.Set(HeaderType::CallId, "b-" + std::to_string(i));
        layer->SendRequest(layer->AllocateId(), std::move(request), peer.Where());
    }
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("OPTIONS ").size() >= 40; }));
    for (const auto& sent : peer.Starting("OPTIONS ")) {
        const std::string value(SipMessage::Parse(sent).Peek<Via>(HeaderType::Via)->Branch());
        EXPECT_TRUE(std::regex_match(value, branch)) << value;
        branches.insert(value);
    }
    EXPECT_EQ(branches.size(), 40u);

    // A CANCEL for nothing is answered 481 here, with a To tag of ours.
    peer.SendTo(udp->LocalTuple(), PeerRequest("CANCEL", "nothing"));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 481").empty(); }));
    const SipMessage answer = SipMessage::Parse(peer.Starting("SIP/2.0 481").front());
    const std::string tag(answer.Peek<NameAddr>(HeaderType::To)->Params().Find("tag")->value);
    EXPECT_TRUE(std::regex_match(tag, std::regex("[a-z2-7]{26}"))) << tag;
}

TEST_F(RoutingTest, AFloodOfStrayResponsesCannotCrowdOutTheEventsOfRunningTransactions) {
    TransactionUserQueueLimits limits;
    limits.requestCapacity = 50;
    limits.capacity = 100;
    limits.strayCapacity = 10;
    Start(steady, nullptr, limits);
    const TransactionId id = layer->AllocateId();
    layer->SendRequest(id, OutgoingOptions(), peer.Where());
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.received.empty(); }));
    const SipMessage sent = SipMessage::Parse(peer.received.front());
    // Nobody drains the queue meanwhile (a busy transaction user).
    for (int i = 0; i < 300; ++i) {
        SipMessage stray = ResponseTo(sent, 200, "stray");
        stray.Set(HeaderType::CallId, "stray-" + std::to_string(i));
        stray.Edit<Via>(HeaderType::Via)->Params().Set("branch", "z9hG4bKstray" + std::to_string(i));
        peer.SendTo(udp->LocalTuple(), stray.Encode());
        if (i % 50 == 0)
            io.poll();
    }
    peer.SendTo(udp->LocalTuple(), ResponseTo(sent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return layer->ClientTransactionCount() == 0; })); // after timer K
    EXPECT_LE(queue->StrayCount(), 10u);
    EXPECT_TRUE(Has(id, Kind::Response));
    EXPECT_TRUE(Has(id, Kind::Terminated));
}

TEST_F(RoutingTest, ResponsesTheTransactionCannotSendComeBackAsRefused) {
    Start();
    peer.SendTo(udp->LocalTuple(), PeerRequest("OPTIONS", "refuse"));
    ASSERT_TRUE(RunUntil(io, [&] { return Received("OPTIONS") != nullptr; }));
    const TransactionUserMessage request = *Received("OPTIONS");
    layer->SendResponse(request.transaction, ResponseTo(*request.message, 200, "us"));
    layer->SendResponse(request.transaction, ResponseTo(*request.message, 180, "us")); // after the final
    const TransactionId unknown = request.transaction + 1000;
    layer->SendResponse(unknown, ResponseTo(*request.message, 200, "us"));
    ASSERT_TRUE(RunUntil(io, [&] { return Has(unknown, Kind::ResponseRefused); }));
    ASSERT_TRUE(RunUntil(io, [&] { return !peer.Starting("SIP/2.0 200").empty(); }));
    const auto refused = EventsOf(request.transaction, Kind::ResponseRefused);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused.front().message->StatusCode(), 180);
    EXPECT_EQ(peer.Starting("SIP/2.0 180").size(), 0u);
    EXPECT_EQ(peer.Starting("SIP/2.0 200").size(), 1u);
}

TEST_F(RoutingTest, AnAckIsEncodedOnceAndRetransmittedByteForByteUntilForgotten) {
    Start();
    const SipMessage ack = Msg("ACK sip:peer@127.0.0.1 SIP/2.0\n"
              "To: <sip:peer@127.0.0.1>;tag=peer\n"
              "From: <sip:us@127.0.0.1>;tag=us\n"
              "Call-ID: ack-1\n"
              "CSeq: 7 ACK\n"
              "Content-Length: 0\n\n");
    const TransactionId id = layer->AllocateId();
    layer->SendAck(id, ack, peer.Where());
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("ACK ").size() == 1; }));
    layer->RetransmitAck(id);
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("ACK ").size() == 2; }));
    EXPECT_EQ(peer.Starting("ACK ")[0], peer.Starting("ACK ")[1]); // same branch, same bytes
    layer->ForgetAck(id);
    layer->RetransmitAck(id);
    RunFor(io, milliseconds(30));
    EXPECT_EQ(peer.Starting("ACK ").size(), 2u);
    EXPECT_TRUE(EventsOf(id).empty());

    // Nowhere to send it: a TransportError under the ACK's id, and no Terminated (no transaction).
    Tuple tls = peer.Where();
    tls.transport = TransportType::TLS;
    const TransactionId failed = layer->AllocateId();
    layer->SendAck(failed, ack, tls);
    ASSERT_TRUE(RunUntil(io, [&] { return Has(failed, Kind::TransportError); }));
    RunFor(io, milliseconds(20));
    EXPECT_FALSE(Has(failed, Kind::Terminated));
}

TEST_F(RoutingTest, ContactIsFilledInAndALaterRequestGoesWhereAnEarlierOneWent) {
    StartWithSlowTimers();
    SipMessage request = OutgoingOptions();
    request.Add(HeaderType::Contact, "<sip:me@placeholder.invalid;transport=tcp>;expires=60");
    const TransactionId first = layer->AllocateId();
    layer->SendRequest(first, request, peer.Where(), RequestOptions{true});
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("OPTIONS ").size() == 1; }));
    EXPECT_EQ(HeaderOf(peer.received.front(), "Contact"), "<sip:me@" + Us() + ">;expires=60");

    request.Set(HeaderType::CallId, "like-1");
    const TransactionId like = layer->AllocateId();
    layer->SendRequest(like, request, SameTargetAs{first});
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Starting("OPTIONS ").size() == 2; }));

    layer->ForgetTarget(first);
    const TransactionId forgotten = layer->AllocateId();
    layer->SendRequest(forgotten, request, SameTargetAs{first});
    ASSERT_TRUE(RunUntil(io, [&] { return Has(forgotten, Kind::Terminated); }));
    ASSERT_EQ(EventsOf(forgotten, Kind::TransportError).size(), 1u);
    EXPECT_EQ(EventsOf(forgotten, Kind::TransportError).front().error, std::errc::no_such_device_or_address);
}

TEST_F(RoutingTest, AStreamFlowCarriesRequestsAndResponsesAndReportsItsClosing) {
    StartWithSlowTimers();
    auto tcp = AddTcp();
    TcpPeer tcpPeer(io, tcp->LocalTuple());
    const TransactionUserMessage incoming = RequestOverTcp(tcpPeer, "flow1");
    ASSERT_NE(incoming.source.connectionId, 0u);
    const Flow flow{incoming.local, incoming.source};

    // A request of ours on that flow, answered over it: the events name the flow.
    const TransactionId id = layer->AllocateId();
    layer->SendRequest(id, OutgoingOptions(), flow);
    ASSERT_TRUE(RunUntil(io, [&] { return tcpPeer.received.find("OPTIONS sip:peer") != std::string::npos; }));
    const std::string text = tcpPeer.received.substr(tcpPeer.received.find("OPTIONS sip:peer"));
    const SipMessage sent = SipMessage::Parse(text);
    tcpPeer.Write(ResponseTo(sent, 200, "peer").Encode());
    ASSERT_TRUE(RunUntil(io, [&] { return Has(id, Kind::Response); }));
    EXPECT_EQ(EventsOf(id, Kind::Response).front().source, flow.remote);
    EXPECT_EQ(EventsOf(id, Kind::Response).front().local.port, tcp->LocalTuple().port);

    tcpPeer.Close();
    ASSERT_TRUE(RunUntil(io, [&] { return Has(0, Kind::ConnectionClosed); }));
    EXPECT_EQ(EventsOf(0, Kind::ConnectionClosed).front().source, flow.remote);

    // That flow is gone: a request on it fails instead of opening a new connection.
    const TransactionId late = layer->AllocateId();
    layer->SendRequest(late, OutgoingOptions(), flow);
    ASSERT_TRUE(RunUntil(io, [&] { return Has(late, Kind::Terminated); }));
    ASSERT_EQ(EventsOf(late, Kind::TransportError).size(), 1u);
    EXPECT_EQ(EventsOf(late, Kind::TransportError).front().error, std::errc::not_connected);
}

TEST_F(RoutingTest, AKeptAliveFlowWithoutPongsIsReportedFailed) {
    options.keepAlive.pongTimeout = milliseconds(40);
    Start();
    auto tcp = AddTcp();
    TcpPeer tcpPeer(io, tcp->LocalTuple()); // never answers a ping
    const TransactionUserMessage incoming = RequestOverTcp(tcpPeer, "ka1");
    const Flow flow{incoming.local, incoming.source};
    layer->StartKeepAlive(flow, milliseconds(30));
    ASSERT_TRUE(RunUntil(io, [&] { return Has(0, Kind::FlowFailed); }));
    const auto failed = EventsOf(0, Kind::FlowFailed).front();
    EXPECT_EQ(failed.source, flow.remote);
    EXPECT_EQ(failed.local, flow.local);
    EXPECT_EQ(failed.error, std::errc::timed_out);
    EXPECT_NE(tcpPeer.received.find("\r\n\r\n"), std::string::npos); // it was pinged
}

} // namespace
} // namespace zel::sip::stack::test

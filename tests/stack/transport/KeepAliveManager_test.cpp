// Keep-alives (RFC 5626 section 4.4): STUN on datagram flows, CRLF pings on stream flows, sent
// by KeepAliveManager on the flow's own connection or nowhere.

#include "stack/transport/Stun.h"

#include "TestCertificates.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using namespace std::chrono_literals;

using test::Options;
using test::RecordingHandler;
using test::RecordingReceiver;

TEST(KeepAliveManager, WaitIsBetween80And100PercentOfTheInterval) {
    const struct {
        std::chrono::milliseconds interval;
        double uniform;
        std::chrono::milliseconds expected;
    } cases[] = {
        {30s, 0.0, 24s}, {30s, 0.5, 27s}, {30s, 1.0, 30s}, {30s, -1.0, 24s}, {30s, 7.0, 30s}, {1ms, 0.0, 1ms},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KeepAliveManager::Randomised(c.interval, c.uniform), c.expected) << c.uniform;
}

TEST(KeepAliveManager, RefusesWhatItCannotKeepAlive) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    RecordingReceiver receiver;
    auto udp = MakeUdpTransport(io, Options(receiver));
    const Tuple flow{make_address("127.0.0.1"), 5060, TransportType::UDP};
    EXPECT_THROW(manager.Start(nullptr, flow, 1s), std::invalid_argument);
    EXPECT_THROW(manager.Start(udp, flow, 0s), std::invalid_argument);
    EXPECT_THROW(manager.Start(udp, Tuple{flow.address, 5060, TransportType::WS}, 1s), std::invalid_argument);
    EXPECT_FALSE(manager.IsKeptAlive(flow));
    test::CloseAll(io, {udp});
}

TEST(KeepAliveManager, UdpFlowAnsweredByOurTransportStaysAliveAndLearnsItsMappedAddress) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    RecordingReceiver clientReceiver, serverReceiver;
    clientReceiver.manager = &manager;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto client = MakeUdpTransport(io, Options(clientReceiver, "127.0.0.1", logger));
    auto server = MakeUdpTransport(io, Options(serverReceiver, "127.0.0.1", logger));
    Tuple flow = server->LocalTuple();
    manager.Start(client, flow, 20ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.stunResponses >= 3; }));
    EXPECT_TRUE(handler.failures.empty());
    EXPECT_TRUE(manager.IsKeptAlive(flow));
    EXPECT_EQ(manager.MappedAddress(flow), (stun::TransportAddress{client->LocalTuple().address, client->LocalTuple().port}));
    // STUN is neither SIP for the receivers nor a message for the log.
    EXPECT_TRUE(serverReceiver.received.empty());
    EXPECT_TRUE(clientReceiver.received.empty());
    EXPECT_TRUE(logger->logged.empty());
    manager.Stop(flow);
    EXPECT_FALSE(manager.IsKeptAlive(flow));
    test::CloseAll(io, {client, server});
}

TEST(KeepAliveManager, SilentUdpFlowFailsAfterStunRetransmissions) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 10s, .stunInitialTimeout = 5ms, .stunRequestCount = 3});
    RecordingReceiver receiver;
    receiver.manager = &manager;
    auto client = MakeUdpTransport(io, Options(receiver));
    udp::socket silent(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const Tuple flow{silent.local_endpoint().address(), silent.local_endpoint().port(), TransportType::UDP};
    manager.Start(client, flow, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return !handler.failures.empty(); }));
    EXPECT_EQ(handler.failures[0].first, flow);
    EXPECT_EQ(handler.failures[0].second, FlowFailure::NoResponse);
    EXPECT_FALSE(manager.IsKeptAlive(flow));

    // Three requests of one transaction: the first and its two retransmissions.
    std::vector<stun::Message> requests;
    while (silent.available() > 0) {
        std::array<char, 1500> buffer;
        udp::endpoint from;
        const auto size = silent.receive_from(boost::asio::buffer(buffer), from);
        auto parsed = stun::Parse(std::string_view(buffer.data(), size));
        ASSERT_TRUE(parsed.message) << parsed.error;
        requests.push_back(*parsed.message);
    }
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.messageClass, stun::MessageClass::Request);
        EXPECT_EQ(request.transactionId, requests[0].transactionId);
    }
    test::CloseAll(io, {client});
}

TEST(KeepAliveManager, ChangedMappedAddressFailsTheFlowAndStrayResponsesAreIgnored) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    RecordingReceiver receiver;
    receiver.manager = &manager;
    auto client = MakeUdpTransport(io, Options(receiver));
    // A server behind which the client's NAT binding moves after the first answer.
    udp::socket server(io, udp::endpoint(make_address("127.0.0.1"), 0));
    std::array<char, 1500> buffer;
    udp::endpoint from;
    std::uint16_t mappedPort = 40000;
    std::function<void()> serve = [&] {
        server.async_receive_from(boost::asio::buffer(buffer), from, [&](const boost::system::error_code& error, std::size_t size) {
            if (error)
                return;
            const auto request = stun::Parse(std::string_view(buffer.data(), size));
            if (request.message) {
                // A stray answer with another transaction id comes first and must change nothing.
                server.send_to(boost::asio::buffer(stun::MakeBindingSuccess(stun::RandomTransactionId(),
                                                                            {from.address(), 1})), from);
                server.send_to(boost::asio::buffer(stun::MakeBindingSuccess(request.message->transactionId,
                                                                            {from.address(), mappedPort++})), from);
            }
            serve();
        });
    };
    serve();
    const Tuple flow{server.local_endpoint().address(), server.local_endpoint().port(), TransportType::UDP};
    manager.Start(client, flow, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return !handler.failures.empty(); }));
    EXPECT_EQ(handler.failures[0].second, FlowFailure::MappedAddressChanged);
    EXPECT_EQ(receiver.stunResponses, 4);
    server.close();
    test::CloseAll(io, {client});
}

using StreamKeepAlive = test::CertificateTest;

// Over TCP and TLS, a flow named by its connection id or by address and port alone gets pongs on
// that one connection; pings are no messages, neither logged nor counted; a flow whose peer never
// answers fails alone.
TEST_F(StreamKeepAlive, FlowsGetPongsOnTheirConnectionAndFailWhenPongsStop) {
    for (const auto type : {TransportType::TCP, TransportType::TLS}) {
        SCOPED_TRACE(ToString(type));
        boost::asio::io_context io;
        RecordingHandler handler;
        KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 100ms});
        auto logger = std::make_shared<test::RecordingLogger>();
        RecordingReceiver clientReceiver, serverReceiver;
        clientReceiver.manager = &manager;
        auto make = [&](RecordingReceiver& receiver, const std::string& identity) {
            const auto options = Options(receiver, "127.0.0.1", logger);
            return type == TransportType::TCP ? MakeTcpTransport(io, options)
                                              : MakeTlsTransport(io, options, Settings(identity));
        };
        auto server = make(serverReceiver, "server");
        auto client = make(clientReceiver, "");
        serverReceiver.onMessage = [&](const test::Received& request) { server->Send(request.source, test::kOk); };
        client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "ka"),
                     SendOptions{.retransmission = false, .serverName = "sip.example.test"});
        ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.received.size() == 1; }));
        const Tuple withId = clientReceiver.received[0].source;
        ASSERT_NE(withId.connectionId, 0u);
        ASSERT_EQ(withId.transport, type);
        Tuple byPeer = withId;
        byPeer.connectionId = 0;
        for (const Tuple& flow : {withId, byPeer}) {
            const auto before = clientReceiver.pongs.size();
            manager.Start(client, flow, 20ms);
            ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.pongs.size() >= before + 3; }))
                << "connection id " << flow.connectionId;
            if (flow.connectionId != 0)
                manager.Stop(flow);
        }
        for (const auto& pong : clientReceiver.pongs)
            EXPECT_EQ(pong.connectionId, withId.connectionId);
        EXPECT_TRUE(handler.failures.empty());
        EXPECT_EQ(logger->logged.size(), 4u) << "request and response, each sent and received once";
        EXPECT_EQ(client->Statistics().messagesSent, 1u);
        EXPECT_EQ(server->Statistics().messagesReceived, 1u);
        EXPECT_EQ(server->Statistics().messagesSent, 1u);
        EXPECT_EQ(serverReceiver.received.size(), 1u);
        EXPECT_TRUE(clientReceiver.failures.empty());

        if (type == TransportType::TCP) { // a peer that reads but never answers
            tcp::acceptor mute(io, tcp::endpoint(make_address("127.0.0.1"), 0));
            tcp::socket accepted(io);
            mute.async_accept(accepted, [](const boost::system::error_code&) {});
            const Tuple muteFlow{make_address("127.0.0.1"), mute.local_endpoint().port(), TransportType::TCP};
            client->Send(muteFlow, test::MakeRequest("OPTIONS", "mute"));
            manager.Start(client, muteFlow, 10ms);
            ASSERT_TRUE(test::RunUntil(io, [&] { return !handler.failures.empty(); }));
            EXPECT_EQ(handler.failures[0].first, muteFlow);
            EXPECT_EQ(handler.failures[0].second, FlowFailure::NoResponse);
            EXPECT_TRUE(manager.IsKeptAlive(byPeer));
        }
        test::CloseAll(io, {client, server});
    }
}

/// A raw TCP peer: accepts every connection and keeps what each one sent, answers nothing by
/// itself (so never a pong).
class RawServer {
public:
    explicit RawServer(boost::asio::io_context& io) : io_(io), acceptor_(io, tcp::endpoint(make_address("127.0.0.1"), 0)) {
        Accept();
    }

    Tuple Flow() const { return Tuple{make_address("127.0.0.1"), acceptor_.local_endpoint().port(), TransportType::TCP}; }

    struct Link {
        explicit Link(boost::asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        std::string bytes;
        std::array<char, 4096> buffer{};
        bool ended = false;
    };
    std::vector<std::shared_ptr<Link>> links;

private:
    void Accept() {
        auto link = std::make_shared<Link>(io_);
        acceptor_.async_accept(link->socket, [this, link](const boost::system::error_code& error) {
            if (error)
                return;
            links.push_back(link);
            Read(link);
            Accept();
        });
    }

    static void Read(const std::shared_ptr<Link>& link) {
        link->socket.async_read_some(boost::asio::buffer(link->buffer),
                                     [link](const boost::system::error_code& error, std::size_t size) {
                                         if (error) {
                                             link->ended = true;
                                             return;
                                         }
                                         link->bytes.append(link->buffer.data(), size);
                                         Read(link);
                                     });
    }

    boost::asio::io_context& io_;
    tcp::acceptor acceptor_;
};

TEST_F(StreamKeepAlive, PingOnAClosedConnectionGoesNowhereAndTheFlowFails) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 100ms});
    RecordingReceiver receiver;
    receiver.manager = &manager;
    auto client = MakeTcpTransport(io, Options(receiver));
    RawServer peer(io);

    const std::string first = test::MakeRequest("REGISTER", "one");
    client->Send(peer.Flow(), first);
    ASSERT_TRUE(test::RunUntil(io, [&] { return peer.links.size() == 1 && peer.links[0]->bytes == first; }));
    boost::asio::write(peer.links[0]->socket, boost::asio::buffer(test::kOk));
    ASSERT_TRUE(test::RunUntil(io, [&] { return receiver.received.size() == 1; }));
    const Tuple stale = receiver.received[0].source;
    ASSERT_NE(stale.connectionId, 0u);

    // The peer closes; once it sees our end close too, the client has forgotten the connection.
    peer.links[0]->socket.shutdown(tcp::socket::shutdown_send);
    ASSERT_TRUE(test::RunUntil(io, [&] { return peer.links[0]->ended; }));

    manager.Start(client, stale, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return handler.failures.size() == 1; }));
    EXPECT_EQ(handler.failures[0].first, stale);
    EXPECT_EQ(handler.failures[0].second, FlowFailure::NoResponse);
    test::Drain(io);
    EXPECT_EQ(peer.links.size(), 1u) << "the ping opened a connection";

    // A newer connection to the same peer is another flow: the stale flow's ping stays off it.
    const std::string second = test::MakeRequest("OPTIONS", "two");
    client->Send(peer.Flow(), second);
    ASSERT_TRUE(test::RunUntil(io, [&] { return peer.links.size() == 2 && peer.links[1]->bytes == second; }));
    manager.Start(client, stale, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return handler.failures.size() == 2; }));
    EXPECT_EQ(handler.failures[1].first, stale);
    test::Drain(io);
    EXPECT_EQ(peer.links.size(), 2u);
    EXPECT_EQ(peer.links[1]->bytes, second);

    EXPECT_TRUE(receiver.failures.empty()) << "a keep-alive is never reported as a failed send";
    EXPECT_EQ(client->Statistics().messagesSent, 2u);
    test::CloseAll(io, {client});
}

TEST(UdpTransportStun, AnswersBindingRequestsAndRoutesResponsesAwayFromSip) {
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto transport = MakeUdpTransport(io, Options(receiver, "127.0.0.1", logger));
    udp::socket peer(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const udp::endpoint target(transport->LocalTuple().address, transport->LocalTuple().port);
    auto exchange = [&](const std::string& request) -> std::optional<stun::Message> {
        peer.send_to(boost::asio::buffer(request), target);
        std::array<char, 1500> buffer;
        std::size_t size = 0;
        bool done = false;
        peer.async_receive(boost::asio::buffer(buffer), [&](const boost::system::error_code& error, std::size_t n) {
            done = !error;
            size = n;
        });
        if (!test::RunUntil(io, [&] { return done; }, 2s)) {
            peer.cancel();
            test::Drain(io);
            return std::nullopt;
        }
        return stun::Parse(std::string_view(buffer.data(), size)).message;
    };
    const auto id = stun::RandomTransactionId();
    const auto success = exchange(stun::MakeBindingRequest(id));
    ASSERT_TRUE(success);
    EXPECT_EQ(success->messageClass, stun::MessageClass::SuccessResponse);
    EXPECT_EQ(success->transactionId, id);
    EXPECT_EQ(success->mappedAddress, (stun::TransportAddress{peer.local_endpoint().address(), peer.local_endpoint().port()}));

    // A comprehension-required attribute we do not know (USERNAME) earns a 420.
    std::string withUsername = stun::MakeBindingRequest(id, false) + std::string("\x00\x06\x00\x04user", 8);
    withUsername[3] = 8;
    const auto refusal = exchange(withUsername);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->errorCode, 420);

    // A broken STUN message gets no answer and is counted as dropped; a response goes up.
    std::string broken = stun::MakeBindingRequest(id, true);
    broken.back() = static_cast<char>(broken.back() ^ 1);
    peer.send_to(boost::asio::buffer(broken), target);
    const auto next = stun::RandomTransactionId();
    const auto answer = exchange(stun::MakeBindingRequest(next));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->transactionId, next) << "the broken request was answered";
    EXPECT_EQ(transport->Statistics().messagesDropped, 1u);
    peer.send_to(boost::asio::buffer(stun::MakeBindingSuccess(id, {make_address("192.0.2.1"), 9})), target);
    ASSERT_TRUE(test::RunUntil(io, [&] { return receiver.stunResponses == 1; }));
    EXPECT_TRUE(receiver.received.empty());
    EXPECT_TRUE(logger->logged.empty());
    EXPECT_EQ(transport->Statistics().messagesReceived, 0u);
    test::CloseAll(io, {transport});
}

} // namespace
} // namespace zel::sip::stack

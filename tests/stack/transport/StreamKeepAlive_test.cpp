// CRLF keep-alives on stream flows (RFC 5626 section 4.4.1) driven by KeepAliveManager through the
// transports' KeepAliveSender: the ping goes on the flow's own connection or nowhere.

#include "stack/transport/KeepAliveManager.h"
#include "stack/transport/KeepAliveSender.h"
#include "stack/transport/Transports.h"

#include "TestCertificates.h"
#include "TransportTestSupport.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using namespace std::chrono_literals;

/// Passes pongs to the manager, as the layer above the transports does.
class ForwardingReceiver : public test::RecordingReceiver {
public:
    void OnKeepAlivePong(const Tuple& source) override {
        RecordingReceiver::OnKeepAlivePong(source);
        if (manager)
            manager->OnPong(source);
    }
    KeepAliveManager* manager = nullptr;
};

class RecordingHandler : public KeepAliveHandler {
public:
    void OnFlowFailed(const Tuple& flow, FlowFailure reason) override { failures.emplace_back(flow, reason); }
    std::vector<std::pair<Tuple, FlowFailure>> failures;
};

TransportOptions Options(test::RecordingReceiver& receiver, std::shared_ptr<test::RecordingLogger> logger = {}) {
    TransportOptions options;
    options.bindAddress = "127.0.0.1";
    options.receiver = &receiver;
    options.messageLogger = std::move(logger);
    options.limits.handshakeTimeout = 5s;
    return options;
}

const std::string kOk = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";

/// A raw TCP peer: accepts every connection and keeps what each one sent, answers nothing by
/// itself (so never a pong).
class RawPeer {
public:
    explicit RawPeer(boost::asio::io_context& io) : io_(io), acceptor_(io, tcp::endpoint(make_address("127.0.0.1"), 0)) {
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

TEST(StreamKeepAlive, TransportsOfferKeepAliveSenderOnlyWhereKeepAlivesApply) {
    boost::asio::io_context io;
    test::RecordingReceiver receiver;
    const struct {
        std::shared_ptr<Transport> transport;
        bool sender;
    } cases[] = {
        {MakeUdpTransport(io, Options(receiver)), true},
        {MakeTcpTransport(io, Options(receiver)), true},
        {MakeWsTransport(io, Options(receiver)), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dynamic_cast<KeepAliveSender*>(c.transport.get()) != nullptr, c.sender) << ToString(c.transport->Type());
        c.transport->Close();
    }
    test::Drain(io);
}

TEST(StreamKeepAlive, TcpFlowGetsPongsAndPingsAreNeitherLoggedNorCounted) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    ForwardingReceiver clientReceiver, serverReceiver;
    clientReceiver.manager = &manager;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto client = MakeTcpTransport(io, Options(clientReceiver, logger));
    auto server = MakeTcpTransport(io, Options(serverReceiver, logger));
    serverReceiver.onMessage = [&](const test::Received& request) { server->Send(request.source, kOk); };
    client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "ka"));
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.received.size() == 1; }));
    const Tuple withId = clientReceiver.received[0].source;
    ASSERT_NE(withId.connectionId, 0u);
    Tuple byPeer = withId;
    byPeer.connectionId = 0;

    // Named by its connection id, or by address and port alone: the same connection answers.
    for (const Tuple& flow : {withId, byPeer}) {
        const auto before = clientReceiver.pongs.size();
        manager.Start(client, flow, 20ms);
        ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.pongs.size() >= before + 3; }))
            << "connection id " << flow.connectionId;
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
    client->Close();
    server->Close();
    test::Drain(io);
}

TEST(StreamKeepAlive, PingOnAClosedConnectionGoesNowhereAndTheFlowFails) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 100ms});
    ForwardingReceiver receiver;
    receiver.manager = &manager;
    auto client = MakeTcpTransport(io, Options(receiver));
    RawPeer peer(io);

    const std::string first = test::MakeRequest("REGISTER", "one");
    client->Send(peer.Flow(), first);
    ASSERT_TRUE(test::RunUntil(io, [&] { return peer.links.size() == 1 && peer.links[0]->bytes == first; }));
    boost::asio::write(peer.links[0]->socket, boost::asio::buffer(kOk));
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
    client->Close();
    test::Drain(io);
}

TEST(StreamKeepAlive, TlsFlowGetsPongs) {
    const test::TestCertificates certificates;
    SecuritySettings serverSettings;
    serverSettings.caDirectoryPath = certificates.caDir;
    serverSettings.certificatePath = certificates.Certificate("server");
    serverSettings.privateKeyPath = certificates.Key("server");
    SecuritySettings clientSettings;
    clientSettings.caDirectoryPath = certificates.caDir;

    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    ForwardingReceiver clientReceiver, serverReceiver;
    clientReceiver.manager = &manager;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto server = MakeTlsTransport(io, Options(serverReceiver, logger), serverSettings);
    auto client = MakeTlsTransport(io, Options(clientReceiver, logger), clientSettings);
    serverReceiver.onMessage = [&](const test::Received& request) { server->Send(request.source, kOk); };
    client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "tls"),
                 SendOptions{.retransmission = false, .serverName = "sip.example.test"});
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.received.size() == 1; }));
    const Tuple flow = clientReceiver.received[0].source;
    ASSERT_EQ(flow.transport, TransportType::TLS);

    manager.Start(client, flow, 20ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.pongs.size() >= 3; }));
    EXPECT_TRUE(handler.failures.empty());
    EXPECT_EQ(logger->logged.size(), 4u);
    EXPECT_EQ(client->Statistics().messagesSent, 1u);
    EXPECT_EQ(serverReceiver.received.size(), 1u);
    client->Close();
    server->Close();
    test::Drain(io);
}

} // namespace
} // namespace zel::sip::stack

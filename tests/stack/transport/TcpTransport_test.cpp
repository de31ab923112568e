#include "TransportTestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using test::HasIpv6Loopback;
using test::Options;
using test::RawClient;
using test::RecordingReceiver;
using test::RunUntil;

class TcpTransportTest : public ::testing::TestWithParam<const char*> {};

TEST_P(TcpTransportTest, ExchangeReusesOneConnectionBothWays) {
    const std::string loopback = GetParam();
    if (make_address(loopback).is_v6() && !HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    boost::asio::io_context io;
    RecordingReceiver client, server;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto a = MakeTcpTransport(io, Options(client, loopback, logger));
    auto b = MakeTcpTransport(io, Options(server, loopback));
    EXPECT_EQ(b->Type(), TransportType::TCP);

    const std::string first = test::MakeRequest("INVITE", "tcp1", "body of the first");
    const std::string second = test::MakeRequest("ACK", "tcp1");
    a->Send(b->LocalTuple(), first);
    a->Send(b->LocalTuple(), second);
    ASSERT_TRUE(RunUntil(io, [&] { return server.received.size() == 2; }));
    EXPECT_EQ(server.received[0].message, first);
    EXPECT_EQ(server.received[1].message, second);
    const Tuple source = server.received[0].source;
    EXPECT_NE(source.connectionId, 0u);
    EXPECT_EQ(server.received[1].source, source) << "both over one connection";
    EXPECT_EQ(source.address, make_address(loopback));
    EXPECT_EQ(server.received[0].local.port, b->LocalTuple().port);

    // The response goes back over the same connection, found by its id.
    b->Send(source, test::kOk);
    ASSERT_TRUE(RunUntil(io, [&] { return client.received.size() == 1; }));
    EXPECT_EQ(client.received[0].source.port, b->LocalTuple().port);
    EXPECT_EQ(client.received[0].local.port, source.port);
    EXPECT_TRUE(server.failures.empty());

    // The logger saw our end and theirs, with the exact bytes.
    ASSERT_EQ(logger->logged.size(), 3u);
    EXPECT_EQ(logger->logged[0].source.port, source.port);
    EXPECT_EQ(logger->logged[0].destination.port, b->LocalTuple().port);
    EXPECT_EQ(logger->logged[0].wire, first);
    EXPECT_EQ(logger->logged[2].kind, test::LoggedMessage::Kind::Inbound);
    test::CloseAll(io, {a, b});
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpTransportTest, ::testing::Values("127.0.0.1", "::1"));

TEST(TcpTransport, AMisbehavingPeerLosesOnlyItsOwnConnection) {
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto options = Options(receiver);
    options.limits.maxHeaderBytes = 1024;
    options.limits.maxMessageBytes = 4096;
    auto transport = MakeTcpTransport(io, options);

    RawClient good(io, *transport);
    RawClient garbage(io, *transport);
    RawClient halfThenClose(io, *transport);
    RawClient flood(io, *transport);
    RawClient hugeBody(io, *transport);

    garbage.Write(std::string(2000, '\x7f'));
    const std::string message = test::MakeRequest("MESSAGE", "half", "0123456789");
    halfThenClose.Write(std::string_view(message).substr(0, message.size() - 4));
    halfThenClose.socket.close();
    for (int i = 0; i < 20; ++i)
        flood.Write("X-Flood: " + std::string(100, 'f') + "\r\n");
    hugeBody.Write("MESSAGE sip:a SIP/2.0\r\nContent-Length: 100000\r\n\r\n");

    ASSERT_TRUE(RunUntil(io, [&] { return garbage.ClosedByPeer() && flood.ClosedByPeer() && hugeBody.ClosedByPeer(); }));
    EXPECT_EQ(transport->Statistics().connectionsRejected, 3u);
    EXPECT_TRUE(receiver.received.empty()) << "the half message was never delivered";

    // The well-behaved peer is still served, split in two writes.
    const std::string request = test::MakeRequest("OPTIONS", "good");
    good.Write(std::string_view(request).substr(0, 10));
    good.Write(std::string_view(request).substr(10));
    ASSERT_TRUE(RunUntil(io, [&] { return receiver.received.size() == 1; }));
    EXPECT_EQ(receiver.received[0].message, request);
    test::CloseAll(io, {transport});
}

TEST(TcpTransport, ManyConnectionsEachDeliverTheirMessage) {
    constexpr int kPeers = 200;
    boost::asio::io_context io;
    RecordingReceiver server, client;
    auto listenerOptions = Options(server);
    listenerOptions.limits.maxAcceptedPerAddress = kPeers;
    auto listener = MakeTcpTransport(io, listenerOptions);
    std::vector<std::shared_ptr<Transport>> clients;
    for (int i = 0; i < kPeers; ++i) {
        clients.push_back(MakeTcpTransport(io, Options(client)));
        clients.back()->Send(listener->LocalTuple(), test::MakeRequest("OPTIONS", "many" + std::to_string(i)));
    }
    ASSERT_TRUE(RunUntil(io, [&] { return server.received.size() == kPeers; }, std::chrono::seconds(30)));
    std::set<std::uint64_t> connections;
    for (const auto& received : server.received)
        connections.insert(received.source.connectionId);
    EXPECT_EQ(connections.size(), std::size_t{kPeers});
    EXPECT_TRUE(client.failures.empty());
    for (auto& transport : clients)
        transport->Close();
    test::CloseAll(io, {listener});
}

TEST(TcpTransport, TheOutgoingSideEnforcesItsConnectionAndQueueLimits) {
    boost::asio::io_context io;
    RecordingReceiver server, client;
    auto listener = MakeTcpTransport(io, Options(server));

    // More than the pending-bytes limit is refused while the connection is made.
    auto clientOptions = Options(client);
    clientOptions.limits.maxPendingOutboundBytes = 1000;
    clientOptions.limits.maxConnections = 1;
    auto sender = MakeTcpTransport(io, clientOptions);
    sender->Send(listener->LocalTuple(), std::string(600, 'a'));
    sender->Send(listener->LocalTuple(), std::string(600, 'b'));
    sender->Send(Tuple{make_address("127.0.0.1"), 1, TransportType::TCP}, "x"); // over the connection limit
    ASSERT_TRUE(RunUntil(io, [&] { return client.failures.size() == 2; }));
    EXPECT_EQ(client.failures[0].second, std::errc::no_buffer_space);
    EXPECT_EQ(client.failures[1].second, std::errc::too_many_files_open);
    test::CloseAll(io, {sender, listener});
}

TEST(TcpTransport, ReportsUnreachablePeersAndReapsIdleConnections) {
    boost::asio::io_context io;
    RecordingReceiver server, client;
    auto serverOptions = Options(server);
    serverOptions.limits.idleTimeout = std::chrono::milliseconds(100);
    auto listener = MakeTcpTransport(io, serverOptions);

    // Nothing listens on a port just freed.
    std::uint16_t closedPort;
    {
        tcp::acceptor probe(io, tcp::endpoint(make_address("127.0.0.1"), 0));
        closedPort = probe.local_endpoint().port();
    }
    auto sender = MakeTcpTransport(io, Options(client));
    const Tuple nowhere{make_address("127.0.0.1"), closedPort, TransportType::TCP};
    sender->Send(nowhere, test::MakeRequest("OPTIONS", "refused"));
    ASSERT_TRUE(RunUntil(io, [&] { return client.failures.size() == 1; }));
    EXPECT_EQ(client.failures[0].first.port, closedPort);
    EXPECT_EQ(client.failures[0].second, std::errc::connection_refused);

    RawClient idle(io, *listener);
    ASSERT_TRUE(RunUntil(io, [&] { return idle.ClosedByPeer(); }));
    test::CloseAll(io, {sender, listener});
}

TEST(TcpTransport, ListeningPortInUseIsAClearError) {
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto first = MakeTcpTransport(io, Options(receiver));
    auto options = Options(receiver);
    options.port = first->LocalTuple().port;
    try {
        MakeTcpTransport(io, options);
        FAIL() << "bound a port in use";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("TCP transport to 127.0.0.1:" + std::to_string(options.port)),
                  std::string::npos)
            << error.what();
    }
    test::CloseAll(io, {first});
}

} // namespace
} // namespace zel::sip::stack

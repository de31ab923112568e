// Stream connection limits against peers that try to hold our connection table: many connections
// from one address, a full table, half-sent messages, and pings instead of traffic.

#include "TransportTestSupport.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using namespace std::chrono_literals;
using test::Options;
using test::RawClient;

/// Runs `io` while `step` is called every few milliseconds, until `done` holds.
bool KeepDoingUntil(boost::asio::io_context& io, const std::function<void()>& step, const std::function<bool()>& done) {
    auto next = std::chrono::steady_clock::now();
    return test::RunUntil(io, [&] {
        if (std::chrono::steady_clock::now() >= next) {
            step();
            next = std::chrono::steady_clock::now() + 20ms;
        }
        return done();
    });
}

TEST(ConnectionLimits, OneAddressCannotFillTheTableAndOurOwnConnectionsKeepTheirSlots) {
    boost::asio::io_context io;
    test::RecordingReceiver server, client, other;
    auto serverOptions = Options(server);
    serverOptions.limits.maxConnections = 5;
    serverOptions.limits.reservedOutgoingConnections = 1;
    serverOptions.limits.maxAcceptedPerAddress = 2;
    auto transport = MakeTcpTransport(io, serverOptions);

    // Per source address: a third connection from 127.0.0.1 is closed, other addresses still fit.
    RawClient first(io, *transport), second(io, *transport), third(io, *transport);
    ASSERT_TRUE(test::RunUntil(io, [&] { return third.ClosedByPeer(); }));
    RawClient fromTwo(io, *transport, "127.0.0.2"), alsoFromTwo(io, *transport, "127.0.0.2");
    test::Drain(io);
    EXPECT_FALSE(first.ClosedByPeer());
    EXPECT_FALSE(fromTwo.ClosedByPeer());
    EXPECT_FALSE(alsoFromTwo.ClosedByPeer());
    EXPECT_EQ(transport->Statistics().connectionsRejected, 1u);

    // Four accepted fill what peers may take; the fifth slot is ours.
    RawClient fromThree(io, *transport, "127.0.0.3");
    ASSERT_TRUE(test::RunUntil(io, [&] { return fromThree.ClosedByPeer(); }));
    EXPECT_EQ(transport->Statistics().connectionsRejected, 2u);
    auto elsewhere = MakeTcpTransport(io, Options(other));
    const std::string request = test::MakeRequest("REGISTER", "ours");
    transport->Send(elsewhere->LocalTuple(), request);
    ASSERT_TRUE(test::RunUntil(io, [&] { return other.received.size() == 1; }));
    EXPECT_EQ(other.received[0].message, request);
    EXPECT_TRUE(server.failures.empty());

    // A closed connection frees its address's share: once the transport has seen it go, a new
    // connection from 127.0.0.1 is served.
    first.socket.close();
    const std::string again = test::MakeRequest("OPTIONS", "again");
    std::unique_ptr<RawClient> retry;
    ASSERT_TRUE(test::RunUntil(io, [&] {
        if (!retry || retry->ClosedByPeer()) {
            retry = std::make_unique<RawClient>(io, *transport);
            retry->Write(again);
        }
        return server.received.size() == 1;
    }));
    EXPECT_EQ(server.received[0].message, again);
    test::CloseAll(io, {elsewhere, transport});
}

TEST(ConnectionLimits, TricklesAndPingsDoNotHoldAConnection) {
    boost::asio::io_context io;
    test::RecordingReceiver receiver;
    auto options = Options(receiver);
    options.limits.idleTimeout = 200ms;
    options.limits.messageTimeout = 200ms;
    auto transport = MakeTcpTransport(io, options);

    // One byte of a message at a time: the message deadline runs from its first byte.
    RawClient trickle(io, *transport);
    const std::string request = test::MakeRequest("OPTIONS", "trickle", std::string(4000, 'b'));
    std::size_t sent = 0;
    ASSERT_TRUE(KeepDoingUntil(
        io, [&] { trickle.Write(request.substr(sent++ % request.size(), 1)); }, [&] { return trickle.ClosedByPeer(); }));
    EXPECT_LT(sent, request.size()) << "the message was completed";
    EXPECT_EQ(transport->Statistics().connectionsRejected, 1u) << "a stalled message breaks a rule";

    // Pings (answered, and read by the peer) and lone CRLFs are not traffic: the connection idles out.
    RawClient pinger(io, *transport);
    ASSERT_TRUE(KeepDoingUntil(io, [&] { pinger.Write("\r\n\r\n\r\n"); }, [&] { return pinger.ClosedByPeer(); }));
    EXPECT_EQ(transport->Statistics().connectionsRejected, 1u) << "idle is not rejected";
    EXPECT_TRUE(receiver.received.empty());
    test::CloseAll(io, {transport});
}

TEST(ConnectionLimits, OurOwnKeepAlivesKeepAFlowWeOpened) {
    boost::asio::io_context io;
    test::RecordingHandler handler;
    KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 2s});
    test::RecordingReceiver clientReceiver, serverReceiver;
    clientReceiver.manager = &manager;
    auto clientOptions = Options(clientReceiver);
    clientOptions.limits.idleTimeout = 200ms;
    auto client = MakeTcpTransport(io, clientOptions);
    auto server = MakeTcpTransport(io, Options(serverReceiver));

    client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "flow"));
    ASSERT_TRUE(test::RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    const Tuple toClient = serverReceiver.received[0].source;
    server->Send(toClient, test::kOk);
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.received.size() == 1; }));
    const Tuple flow = clientReceiver.received[0].source;

    // Several idle timeouts pass with only pings and pongs on the flow.
    manager.Start(client, flow, 30ms);
    test::RunFor(io, 1s);
    EXPECT_TRUE(handler.failures.empty());
    ASSERT_FALSE(clientReceiver.pongs.empty());
    EXPECT_EQ(clientReceiver.pongs.back(), flow);

    // The same connection still carries the next request.
    client->Send(flow, test::MakeRequest("OPTIONS", "after"));
    ASSERT_TRUE(test::RunUntil(io, [&] { return serverReceiver.received.size() == 2; }));
    EXPECT_EQ(serverReceiver.received[1].source, toClient);
    manager.Stop(flow);
    test::CloseAll(io, {client, server});
}

} // namespace
} // namespace zel::sip::stack

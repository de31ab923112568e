#include "TestCertificates.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using test::RecordingReceiver;
using test::RunUntil;

TransportOptions Options(RecordingReceiver& receiver) {
    auto options = test::Options(receiver);
    options.limits.maxMessageBytes = 4096;
    return options;
}

/// A hand-made WebSocket client on a blocking socket, so the tests see the wire itself.
struct RawWebSocketClient : test::RawClient {
    using RawClient::RawClient;

    void Upgrade(const std::string& protocolHeader) {
        Write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
              protocolHeader + "\r\n");
    }

    /// Reads the server's answer to the upgrade while `io` runs; empty if it closed instead.
    std::string ReadResponse(boost::asio::io_context& io) {
        std::string response;
        bool closed = false;
        socket.non_blocking(true);
        RunUntil(io, [&] {
            char bytes[512];
            boost::system::error_code error;
            const auto n = socket.read_some(boost::asio::buffer(bytes), error);
            if (!error)
                response.append(bytes, n);
            closed = error && error != boost::asio::error::would_block;
            return closed || response.find("\r\n\r\n") != std::string::npos;
        });
        return response;
    }

    /// One masked frame (RFC 6455 section 5.2) with `opcode` 1 (text) or 2 (binary).
    void SendFrame(std::uint8_t opcode, std::string_view payload) {
        std::string frame;
        frame += static_cast<char>(0x80 | opcode);
        if (payload.size() < 126) {
            frame += static_cast<char>(0x80 | payload.size());
        } else {
            frame += static_cast<char>(0x80 | 126);
            frame += static_cast<char>(payload.size() >> 8);
            frame += static_cast<char>(payload.size() & 0xff);
        }
        const char mask[4] = {0x12, 0x34, 0x56, 0x78};
        frame.append(mask, 4);
        for (std::size_t i = 0; i < payload.size(); ++i)
            frame += static_cast<char>(payload[i] ^ mask[i % 4]);
        Write(frame);
    }
};

TEST(WsTransport, TwoTransportsExchangeMessagesOverOneConnection) {
    boost::asio::io_context io;
    RecordingReceiver client, server;
    auto a = MakeWsTransport(io, Options(client));
    auto b = MakeWsTransport(io, Options(server));
    EXPECT_EQ(b->Type(), TransportType::WS);
    const std::string first = test::MakeRequest("REGISTER", "ws1");
    const std::string second = test::MakeRequest("MESSAGE", "ws2", "hello over a WebSocket");
    a->Send(b->LocalTuple(), first);
    a->Send(b->LocalTuple(), second);
    ASSERT_TRUE(RunUntil(io, [&] { return server.received.size() == 2; }));
    EXPECT_EQ(server.received[0].message, first);
    EXPECT_EQ(server.received[1].message, second);
    EXPECT_EQ(server.received[0].source, server.received[1].source);
    EXPECT_EQ(server.received[0].source.transport, TransportType::WS);

    b->Send(server.received[0].source, test::kOk);
    ASSERT_TRUE(RunUntil(io, [&] { return client.received.size() == 1; }));
    EXPECT_EQ(client.received[0].message, test::kOk);
    test::CloseAll(io, {a, b});
}

TEST(WsTransport, RequiresAndEchoesTheSipSubprotocol) {
    boost::asio::io_context io;
    RecordingReceiver server;
    auto transport = MakeWsTransport(io, Options(server));

    RawWebSocketClient without(io, *transport);
    without.Upgrade("");
    EXPECT_EQ(without.ReadResponse(io).find("101"), std::string::npos);
    EXPECT_TRUE(RunUntil(io, [&] { return without.ClosedByPeer(); }));

    RawWebSocketClient other(io, *transport);
    other.Upgrade("Sec-WebSocket-Protocol: chat\r\n");
    EXPECT_EQ(other.ReadResponse(io).find("101"), std::string::npos);

    RawWebSocketClient sip(io, *transport);
    sip.Upgrade("Sec-WebSocket-Protocol: chat, sip\r\n");
    const std::string response = sip.ReadResponse(io);
    EXPECT_NE(response.find("HTTP/1.1 101"), std::string::npos) << response;
    EXPECT_NE(response.find("Sec-WebSocket-Protocol: sip\r\n"), std::string::npos) << response;

    // One SIP message per WebSocket message, text or binary.
    const std::string text = test::MakeRequest("OPTIONS", "text");
    const std::string binary = test::MakeRequest("OPTIONS", "binary", "with a body");
    sip.SendFrame(1, text);
    sip.SendFrame(2, binary);
    ASSERT_TRUE(RunUntil(io, [&] { return server.received.size() == 2; }));
    EXPECT_EQ(server.received[0].message, text);
    EXPECT_EQ(server.received[1].message, binary);

    // A message over the limit costs the connection.
    sip.SendFrame(2, std::string(5000, 'x'));
    EXPECT_TRUE(RunUntil(io, [&] { return sip.ClosedByPeer(); }));
    EXPECT_EQ(server.received.size(), 2u);
    EXPECT_GE(transport->Statistics().connectionsRejected, 2u) << "both upgrades without \"sip\" refused";
    test::CloseAll(io, {transport});
}

using WssTransportTest = test::CertificateTest;

TEST_F(WssTransportTest, ExchangesWithAVerifiedServerOnly) {
    boost::asio::io_context io;
    RecordingReceiver client, server;
    auto a = MakeWssTransport(io, Options(client), Settings(""));
    auto b = MakeWssTransport(io, Options(server), Settings("server"));
    const std::string request = test::MakeRequest("OPTIONS", "wss");
    a->Send(b->LocalTuple(), request, SendOptions{.retransmission = false, .serverName = "sip.example.test"});
    ASSERT_TRUE(RunUntil(io, [&] { return server.received.size() == 1; }));
    EXPECT_EQ(server.received[0].message, request);
    EXPECT_EQ(server.received[0].source.transport, TransportType::WSS);
    b->Send(server.received[0].source, test::kOk);
    ASSERT_TRUE(RunUntil(io, [&] { return client.received.size() == 1; }));

    a->Send(b->LocalTuple(), request, SendOptions{.retransmission = false, .serverName = "wrong.example.test"});
    ASSERT_TRUE(RunUntil(io, [&] { return client.failures.size() == 1; }));
    EXPECT_EQ(server.received.size(), 1u);
    test::CloseAll(io, {a, b});
}

} // namespace
} // namespace zel::sip::stack

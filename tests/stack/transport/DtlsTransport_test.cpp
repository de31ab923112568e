#include "stack/transport/Transports.h"
#include "stack/transport/TlsContext.h"
#include "stack/transport/detail/DtlsSession.h"

#include "DtlsTestSupport.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

TEST_F(DtlsTransportTest, TwoTransportsExchangeMessagesOneRecordEach) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto clientOptions = Options(clientReceiver);
    clientOptions.messageLogger = logger;
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server"));
    auto client = MakeDtlsTransport(io, clientOptions, Settings(""));
    EXPECT_EQ(server->Type(), TransportType::DTLS);
    EXPECT_EQ(server->LocalTuple().transport, TransportType::DTLS);

    // Queued during the handshake, then sent in order, one record per message; the largest
    // record fits, one byte more is refused.
    const std::string big = test::MakeRequest("MESSAGE", "big", std::string(16 * 1024 - 300, 'b'));
    const std::string tooBig(16 * 1024 + 1, 'x');
    const std::vector<std::string> requests{test::MakeRequest("OPTIONS", "1"), test::MakeRequest("INFO", "2"), big};
    for (const auto& request : requests)
        client->Send(server->LocalTuple(), request);
    client->Send(server->LocalTuple(), tooBig);
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 3; }));
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(serverReceiver.received[i].message, requests[i]);
    ASSERT_EQ(clientReceiver.failures.size(), 1u);
    EXPECT_EQ(clientReceiver.failures[0].second, std::errc::message_size);

    server->Send(serverReceiver.received[0].source, kOk);
    server->Send(serverReceiver.received[0].source, kOk);
    ASSERT_TRUE(RunUntil(io, [&] { return clientReceiver.received.size() == 2; }));
    EXPECT_EQ(clientReceiver.received[0].source, server->LocalTuple());
    EXPECT_EQ(clientReceiver.received[0].message, kOk);

    // The log shows plaintext with both ends.
    ASSERT_EQ(logger->logged.size(), 5u);
    EXPECT_EQ(logger->logged[0].kind, test::LoggedMessage::Kind::Outbound);
    EXPECT_EQ(logger->logged[0].destination, server->LocalTuple());
    EXPECT_EQ(logger->logged[0].wire, requests[0]);
    EXPECT_EQ(logger->logged[4].kind, test::LoggedMessage::Kind::Inbound);
    EXPECT_EQ(client->Statistics().messagesSent, 3u);
    EXPECT_EQ(server->Statistics().messagesReceived, 3u);
    client->Close();
    server->Close();
    test::Drain(io);
}

TEST_F(DtlsTransportTest, PeerCertificatesAreCheckedAsForTls) {
    const struct {
        const char* name;
        const char* serverIdentity;
        const char* clientIdentity;
        ClientVerificationMode mode;
        const char* serverName;
        bool delivered;
    } cases[] = {
        {"host name in subjectAltName", "server", "", ClientVerificationMode::None, "sip.example.test", true},
        {"IP address entry when no name is given", "server", "", ClientVerificationMode::None, "", true},
        {"wrong host name", "server", "", ClientVerificationMode::None, "other.example.test", false},
        {"expired certificate", "expired", "", ClientVerificationMode::None, "sip.example.test", false},
        {"untrusted CA", "rogue-client", "", ClientVerificationMode::None, "client.example.test", false},
        {"mandatory client certificate missing", "server", "", ClientVerificationMode::Mandatory, "", false},
        {"mandatory client certificate present", "server", "client", ClientVerificationMode::Mandatory, "", true},
        {"optional client certificate untrusted", "server", "rogue-client", ClientVerificationMode::Optional, "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Exchange(c.serverIdentity, c.clientIdentity, c.mode, c.serverName), c.delivered) << c.name;
}

TEST_F(DtlsTransportTest, FailedHandshakeReportsEveryQueuedMessage) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server"));
    auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings(""));
    const SendOptions wrongName{.retransmission = false, .serverName = "wrong.example.test"};
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "a"), wrongName);
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "b"), wrongName);
    ASSERT_TRUE(RunUntil(io, [&] { return clientReceiver.failures.size() == 2; }));
    EXPECT_EQ(clientReceiver.failures[0].first.port, server->LocalTuple().port);
    EXPECT_EQ(client->Statistics().connectionsRejected, 1u);
    EXPECT_TRUE(serverReceiver.received.empty());
    client->Close();
    server->Close();
    test::Drain(io);
}

/// A real ClientHello, made by a client session of our own that no socket carries.
std::string MakeClientHello(SSL_CTX* context) {
    SSL* ssl = detail::DtlsSession::NewSsl(context, 1200);
    SSL_set_connect_state(ssl);
    detail::DtlsSession session(ssl);
    session.Continue();
    const auto datagrams = session.TakeDatagrams(1200);
    return datagrams.empty() ? std::string() : datagrams[0];
}

TEST_F(DtlsTransportTest, CookieExchangeKeepsNoStateAndDoesNotAmplify) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    DtlsLimits oneHandshake;
    oneHandshake.maxHandshakes = 1;
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server"), oneHandshake);
    auto context = MakeSslContext(Settings(""), TlsProtocol::Dtls);
    const std::string hello = MakeClientHello(context->native_handle());
    ASSERT_GT(hello.size(), 13u);
    ASSERT_EQ(hello[13], 1) << "not a ClientHello";

    // Many cookie-less ClientHellos from many addresses: each gets a small HelloVerifyRequest.
    const udp::endpoint target(server->LocalTuple().address, server->LocalTuple().port);
    std::vector<std::unique_ptr<udp::socket>> spoofers;
    for (int i = 0; i < 20; ++i) {
        spoofers.push_back(std::make_unique<udp::socket>(io, udp::endpoint(make_address("127.0.0.1"), 0)));
        spoofers.back()->send_to(boost::asio::buffer(hello), target);
    }
    std::size_t answered = 0;
    ASSERT_TRUE(RunUntil(io, [&] {
        for (auto& spoofer : spoofers) {
            if (spoofer && spoofer->available() > 0) {
                std::array<char, 2048> buffer;
                const auto size = spoofer->receive(boost::asio::buffer(buffer));
                EXPECT_LE(size, hello.size());
                EXPECT_EQ(buffer[13], 3) << "not a HelloVerifyRequest";
                spoofer.reset();
                ++answered;
            }
        }
        return answered == spoofers.size();
    }));
    // None of them holds a handshake slot: a real client still gets through the limit of one.
    auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings(""));
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "after"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    EXPECT_EQ(server->Statistics().connectionsRejected, 0u);
    client->Close();
    server->Close();
    test::Drain(io);
}

TEST_F(DtlsTransportTest, PeerLimitRefusesNewPeersAndTimedOutHandshakesFail) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, firstReceiver, secondReceiver;
    auto serverOptions = Options(serverReceiver);
    serverOptions.limits.maxConnections = 1;
    auto server = MakeDtlsTransport(io, serverOptions, Settings("server"));
    auto first = MakeDtlsTransport(io, Options(firstReceiver), Settings(""));
    auto secondOptions = Options(secondReceiver);
    secondOptions.limits.handshakeTimeout = 300ms;
    auto second = MakeDtlsTransport(io, secondOptions, Settings(""));
    first->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "first"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    second->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "second"));
    ASSERT_TRUE(RunUntil(io, [&] { return secondReceiver.failures.size() == 1; }));
    EXPECT_EQ(secondReceiver.failures[0].second, std::errc::timed_out);
    EXPECT_GE(server->Statistics().connectionsRejected, 1u);
    EXPECT_EQ(serverReceiver.received.size(), 1u);
    first->Close();
    second->Close();
    server->Close();
    test::Drain(io);
}

TEST_F(DtlsTransportTest, LostClientHelloIsRetransmittedByTheTimer) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings(""));
    // The first flight lands on a socket that drops it; the server opens on that port afterwards.
    auto blackHole = std::make_unique<udp::socket>(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const std::uint16_t port = blackHole->local_endpoint().port();
    client->Send(Tuple{make_address("127.0.0.1"), port, TransportType::DTLS}, test::MakeRequest("OPTIONS", "late"));
    ASSERT_TRUE(RunUntil(io, [&] { return blackHole->available() > 0; }));
    blackHole.reset();
    auto server = MakeDtlsTransport(io, Options(serverReceiver, port), Settings("server"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    EXPECT_TRUE(clientReceiver.failures.empty());
    client->Close();
    server->Close();
    test::Drain(io);
}

TEST_F(DtlsTransportTest, IdlePeersAreReapedAndTheNextMessageHandshakesAgain) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto serverOptions = Options(serverReceiver);
    serverOptions.limits.idleTimeout = 100ms;
    serverOptions.limits.maxConnections = 1;
    auto server = MakeDtlsTransport(io, serverOptions, Settings("server"));
    auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings(""));
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "1"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    // Once the idle peer is reaped, a second client fits the server's limit of one peer.
    const auto idle = std::chrono::steady_clock::now() + 400ms;
    RunUntil(io, [&] { return std::chrono::steady_clock::now() >= idle; });
    RecordingReceiver otherReceiver;
    auto other = MakeDtlsTransport(io, Options(otherReceiver), Settings(""));
    other->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "2"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 2; }));
    EXPECT_TRUE(otherReceiver.failures.empty());
    client->Close();
    other->Close();
    server->Close();
    test::Drain(io);
}

TEST(DtlsSession, RecordsArePackedIntoDatagramsAtRecordBoundaries) {
    auto record = [](std::size_t payload) {
        std::string bytes(13 + payload, 'r');
        bytes[11] = static_cast<char>(payload >> 8);
        bytes[12] = static_cast<char>(payload & 0xFF);
        return bytes;
    };
    const std::string a = record(100), b = record(500), c = record(2000), d = record(10);
    const auto datagrams = detail::DtlsSession::PackRecords(a + b + c + d, 1200);
    ASSERT_EQ(datagrams.size(), 3u);
    EXPECT_EQ(datagrams[0], a + b);
    EXPECT_EQ(datagrams[1], c) << "a record over the MTU travels alone";
    EXPECT_EQ(datagrams[2], d);
    // A truncated tail is kept, not lost or over-read.
    const auto truncated = detail::DtlsSession::PackRecords(a + b.substr(0, 20), 1200);
    ASSERT_EQ(truncated.size(), 1u);
    EXPECT_EQ(truncated[0], a + b.substr(0, 20));
}

} // namespace
} // namespace zel::sip::stack

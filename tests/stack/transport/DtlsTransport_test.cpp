#include "stack/transport/Transports.h"
#include "stack/transport/TlsContext.h"
#include "stack/transport/detail/DtlsCookie.h"
#include "stack/transport/detail/DtlsSession.h"
#include "stack/transport/detail/TlsVerification.h"

#include "TestCertificates.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using test::kOk;
using test::Options;
using test::RecordingReceiver;
using test::RunUntil;
using namespace std::chrono_literals;
using DtlsTransportTest = test::CertificateTest;

TEST_F(DtlsTransportTest, TwoTransportsExchangeMessagesOneRecordEach) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server"));
    auto client = MakeDtlsTransport(io, Options(clientReceiver, "127.0.0.1", logger), Settings(""));
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
    test::CloseAll(io, {client, server});
}

TEST_F(DtlsTransportTest, FailedHandshakeReportsEveryQueuedMessageOverTlsAndDtls) {
    for (const auto& make : {MakeSecure(Tls), MakeSecure(Dtls)}) {
        boost::asio::io_context io;
        RecordingReceiver serverReceiver, clientReceiver;
        auto server = make(io, Options(serverReceiver), Settings("server"));
        auto client = make(io, Options(clientReceiver), Settings(""));
        SCOPED_TRACE(ToString(server->Type()));
        const SendOptions wrongName{.retransmission = false, .serverName = "wrong.example.test"};
        client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "a"), wrongName);
        client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "b"), wrongName);
        ASSERT_TRUE(RunUntil(io, [&] { return clientReceiver.failures.size() == 2; }));
        EXPECT_EQ(clientReceiver.failures[0].first.port, server->LocalTuple().port);
        EXPECT_EQ(client->Statistics().connectionsRejected, 1u);
        EXPECT_TRUE(serverReceiver.received.empty());
        test::CloseAll(io, {client, server});
    }
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
    test::CloseAll(io, {client, server});
}

TEST_F(DtlsTransportTest, PeerLimitRefusesNewPeersUntilAnIdlePeerIsReaped) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, firstReceiver, secondReceiver, thirdReceiver;
    auto serverOptions = Options(serverReceiver);
    serverOptions.limits.maxConnections = 1;
    serverOptions.limits.idleTimeout = 1s;
    auto server = MakeDtlsTransport(io, serverOptions, Settings("server"));
    auto first = MakeDtlsTransport(io, Options(firstReceiver), Settings(""));
    auto secondOptions = Options(secondReceiver);
    secondOptions.limits.handshakeTimeout = 300ms;
    auto second = MakeDtlsTransport(io, secondOptions, Settings(""));
    first->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "first"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    // While the first peer is there, a second one's handshake times out.
    second->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "second"));
    ASSERT_TRUE(RunUntil(io, [&] { return secondReceiver.failures.size() == 1; }));
    EXPECT_EQ(secondReceiver.failures[0].second, std::errc::timed_out);
    EXPECT_GE(server->Statistics().connectionsRejected, 1u);
    EXPECT_EQ(serverReceiver.received.size(), 1u);
    // Once the idle first peer is reaped, the next client handshakes and fits the limit of one.
    test::RunFor(io, 1500ms);
    auto third = MakeDtlsTransport(io, Options(thirdReceiver), Settings(""));
    third->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "third"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 2; }));
    EXPECT_TRUE(thirdReceiver.failures.empty());
    test::CloseAll(io, {first, second, third, server});
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
    auto serverOptions = Options(serverReceiver);
    serverOptions.port = port;
    auto server = MakeDtlsTransport(io, serverOptions, Settings("server"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    EXPECT_TRUE(clientReceiver.failures.empty());
    test::CloseAll(io, {client, server});
}

TEST_F(DtlsTransportTest, AssociationThePeerOpenedServesOnlyNamesItsCertificateProves) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server", ClientVerificationMode::Optional));
    auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings("client"));
    client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "in"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));
    const Tuple peer = serverReceiver.received[0].source;

    // A name the client's certificate does not prove: refused (one association per address).
    server->Send(peer, test::MakeRequest("OPTIONS", "other"), SendOptions{.retransmission = false, .serverName = "other.example.test"});
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.failures.size() == 1; }));
    EXPECT_EQ(serverReceiver.failures[0].second, std::errc::address_in_use);
    // The name it proves, and no name at all (a response goes by address and port), use it.
    server->Send(peer, test::MakeRequest("OPTIONS", "proved"), SendOptions{.retransmission = false, .serverName = "client.example.test"});
    server->Send(peer, kOk);
    ASSERT_TRUE(RunUntil(io, [&] { return clientReceiver.received.size() == 2; }));
    EXPECT_NE(clientReceiver.received[0].message.find("Call-ID: proved"), std::string::npos);
    EXPECT_EQ(clientReceiver.received[1].message, kOk);
    EXPECT_EQ(serverReceiver.failures.size(), 1u);
    test::CloseAll(io, {client, server});
}

/// A DTLS client driven by hand over its own UDP socket, so a test can also send raw datagrams
/// from the very address and port of an established association.
class HandDrivenClient {
public:
    HandDrivenClient(boost::asio::io_context& io, SSL_CTX* context, const Tuple& server)
        : socket_(io, udp::endpoint(make_address("127.0.0.1"), 0)), server_(server.address, server.port) {
        SSL* ssl = detail::DtlsSession::NewSsl(context, 1200);
        SSL_set_connect_state(ssl);
        detail::PrepareClient(ssl, expectedName_);
        session_ = std::make_unique<detail::DtlsSession>(ssl);
        session_->Continue();
    }

    /// Sends what the session wrote, feeds it what arrived, retransmits when its timer ran out.
    void Pump() {
        for (const auto& datagram : session_->TakeDatagrams(1200))
            socket_.send_to(boost::asio::buffer(datagram), server_);
        while (socket_.available() > 0) {
            std::array<char, 2048> buffer;
            const auto size = socket_.receive(boost::asio::buffer(buffer));
            std::vector<std::string> records;
            session_->Receive(std::string_view(buffer.data(), size), records);
        }
        if (const auto left = session_->Timeout(); left && left->count() == 0)
            session_->HandleTimeout();
    }
    void Raw(std::string_view datagram) { socket_.send_to(boost::asio::buffer(datagram), server_); }
    detail::DtlsSession& Session() { return *session_; }

private:
    udp::socket socket_;
    udp::endpoint server_;
    const std::string expectedName_ = "127.0.0.1";
    std::unique_ptr<detail::DtlsSession> session_;
};

TEST_F(DtlsTransportTest, DatagramsThatDoNotDecryptKeepNoPeerAlive) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver;
    auto options = Options(serverReceiver);
    options.limits.idleTimeout = 200ms;
    auto server = MakeDtlsTransport(io, options, Settings("server"));
    auto context = MakeSslContext(Settings(""), TlsProtocol::Dtls);
    HandDrivenClient client(io, context->native_handle(), server->LocalTuple());
    ASSERT_TRUE(RunUntil(io, [&] {
        client.Pump();
        return client.Session().GetState() == detail::DtlsSession::State::Open;
    }));
    ASSERT_TRUE(client.Session().Write(test::MakeRequest("OPTIONS", "hand")));
    ASSERT_TRUE(RunUntil(io, [&] {
        client.Pump();
        return serverReceiver.received.size() == 1;
    }));

    // Application records with the right header and a wrong MAC, from the peer's own address:
    // the server still closes the idle association (close_notify ends our session).
    std::string forged = {23, static_cast<char>(0xfe), static_cast<char>(0xfd), 0, 1, 0, 0, 0, 0, 0x7f, 0, 0, 64};
    forged += std::string(64, 'g');
    auto next = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunUntil(io, [&] {
        if (std::chrono::steady_clock::now() >= next) {
            client.Raw(forged);
            next = std::chrono::steady_clock::now() + 20ms;
        }
        client.Pump();
        return client.Session().GetState() == detail::DtlsSession::State::Closed;
    }));
    EXPECT_EQ(client.Session().Error(), std::errc::connection_reset);
    EXPECT_EQ(serverReceiver.received.size(), 1u);
    test::CloseAll(io, {server});
}

/// Fails over inside OnSendFailed as the transaction layer does (to the same address here), then
/// closes the transport from the same call.
class ReenteringReceiver : public RecordingReceiver {
public:
    void OnSendFailed(const Tuple& destination, const std::error_code& error) override {
        RecordingReceiver::OnSendFailed(destination, error);
        if (failures.size() == 1 && transport) {
            transport->Send(destination, test::MakeRequest("OPTIONS", "failover"));
            transport->Close();
        }
    }
    std::shared_ptr<Transport> transport;
};

TEST_F(DtlsTransportTest, SendFailureReportedInlineMayResendAndClose) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver;
    ReenteringReceiver clientReceiver;
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server"));
    auto clientOptions = Options(clientReceiver);
    clientOptions.limits.maxPendingOutboundBytes = 1500;
    auto client = MakeDtlsTransport(io, clientOptions, Settings(""));
    clientReceiver.transport = client;
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "open"));
    ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));

    // Run back to back: the first one's datagram is still on its way when the second is written,
    // so the second goes over the socket's pending-bytes limit and fails inside the write loop.
    client->Send(server->LocalTuple(), test::MakeRequest("MESSAGE", "big1", std::string(900, 'a')));
    client->Send(server->LocalTuple(), test::MakeRequest("MESSAGE", "big2", std::string(900, 'b')));
    ASSERT_TRUE(RunUntil(io, [&] { return !clientReceiver.failures.empty(); }));
    test::Drain(io);
    ASSERT_EQ(clientReceiver.failures.size(), 1u);
    EXPECT_EQ(clientReceiver.failures[0].second, std::errc::no_buffer_space);
    test::CloseAll(io, {server});
}

TEST(DtlsCookie, SecretChangesEachLifetimeAndThePreviousStaysValidForOneMore) {
    const auto start = std::chrono::steady_clock::time_point{} + 1h;
    detail::DtlsCookie cookie(1min, start);
    const std::string peer("\x7f\x00\x00\x01\x13\xc4", 6);
    const std::string first = cookie.Compute(peer);
    EXPECT_TRUE(cookie.Verify(peer, first));
    EXPECT_FALSE(cookie.Verify(peer.substr(0, 5) + "\xc5", first)) << "another port";

    ASSERT_TRUE(cookie.RotateIfDue(start + 59s));
    EXPECT_EQ(cookie.Compute(peer), first) << "not yet due";
    ASSERT_TRUE(cookie.RotateIfDue(start + 61s));
    const std::string second = cookie.Compute(peer);
    EXPECT_NE(second, first);
    EXPECT_TRUE(cookie.Verify(peer, first)) << "the previous secret still counts";
    ASSERT_TRUE(cookie.RotateIfDue(start + 122s));
    EXPECT_FALSE(cookie.Verify(peer, first));
    EXPECT_TRUE(cookie.Verify(peer, second));
    // After a long quiet spell neither old secret counts.
    ASSERT_TRUE(cookie.RotateIfDue(start + 10min));
    EXPECT_FALSE(cookie.Verify(peer, second));
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

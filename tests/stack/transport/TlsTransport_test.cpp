#include "stack/transport/Transports.h"

#include "TestCertificates.h"
#include "TransportTestSupport.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using test::RecordingReceiver;
using test::RunUntil;

class TlsTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certificates = std::make_unique<test::TestCertificates>(); }
    static void TearDownTestSuite() { certificates.reset(); }

    static SecuritySettings Settings(const std::string& identity,
                                     ClientVerificationMode mode = ClientVerificationMode::None) {
        SecuritySettings settings;
        settings.caDirectoryPath = certificates->caDir;
        if (!identity.empty()) {
            settings.certificatePath = certificates->Certificate(identity);
            settings.privateKeyPath = certificates->Key(identity);
        }
        settings.clientVerification = mode;
        return settings;
    }

    static TransportOptions Options(RecordingReceiver& receiver) {
        TransportOptions options;
        options.bindAddress = "127.0.0.1";
        options.receiver = &receiver;
        options.limits.handshakeTimeout = std::chrono::seconds(5);
        return options;
    }

    /// Sends one request from a client with `clientIdentity` to a server with `serverIdentity`;
    /// true when the server received it.
    bool Deliver(const std::string& serverIdentity, const std::string& clientIdentity, ClientVerificationMode mode,
                 const std::string& serverName) {
        boost::asio::io_context io;
        RecordingReceiver serverReceiver, clientReceiver;
        auto server = MakeTlsTransport(io, Options(serverReceiver), Settings(serverIdentity, mode));
        auto client = MakeTlsTransport(io, Options(clientReceiver), Settings(clientIdentity));
        const std::string request = test::MakeRequest("OPTIONS", "tls");
        client->Send(server->LocalTuple(), request, SendOptions{.retransmission = false, .serverName = serverName});
        RunUntil(io, [&] {
            return !serverReceiver.received.empty() || !clientReceiver.failures.empty() ||
                   server->Statistics().connectionsRejected > 0;
        });
        const bool delivered = serverReceiver.received.size() == 1 && serverReceiver.received[0].message == request;
        if (delivered) {
            // The answer returns over the same connection.
            server->Send(serverReceiver.received[0].source, "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n");
            EXPECT_TRUE(RunUntil(io, [&] { return clientReceiver.received.size() == 1; }));
            EXPECT_EQ(serverReceiver.received[0].source.transport, TransportType::TLS);
        }
        client->Close();
        server->Close();
        test::Drain(io);
        return delivered;
    }

    static std::unique_ptr<test::TestCertificates> certificates;
};

std::unique_ptr<test::TestCertificates> TlsTransportTest::certificates;

TEST_F(TlsTransportTest, ServerIdentityIsChecked) {
    const struct {
        const char* name;
        const char* serverIdentity;
        const char* serverName;
        bool delivered;
    } cases[] = {
        {"host name in subjectAltName", "server", "sip.example.test", true},
        {"domain from the sip URI entry", "server", "example.test", true},
        {"IP address entry when no name is given", "server", "", true},
        {"wrong host name", "server", "other.example.test", false},
        {"expired certificate", "expired", "sip.example.test", false},
        {"wildcard while not allowed", "wildcard", "sip.example.test", false},
        {"certificate of an untrusted CA", "rogue-client", "client.example.test", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Deliver(c.serverIdentity, "", ClientVerificationMode::None, c.serverName), c.delivered) << c.name;
}

TEST_F(TlsTransportTest, WildcardSwitchIsHonoured) {
    SetAllowWildcardCertificates(true);
    EXPECT_TRUE(Deliver("wildcard", "", ClientVerificationMode::None, "sip.example.test"));
    SetAllowWildcardCertificates(false);
}

TEST_F(TlsTransportTest, ClientVerificationModes) {
    const struct {
        ClientVerificationMode mode;
        const char* clientIdentity;
        bool delivered;
    } cases[] = {
        {ClientVerificationMode::None, "", true},
        {ClientVerificationMode::None, "rogue-client", true}, // not asked for, not checked
        {ClientVerificationMode::Optional, "", true},
        {ClientVerificationMode::Optional, "client", true},
        {ClientVerificationMode::Optional, "rogue-client", false},
        {ClientVerificationMode::Mandatory, "", false},
        {ClientVerificationMode::Mandatory, "client", true},
        {ClientVerificationMode::Mandatory, "rogue-client", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Deliver("server", c.clientIdentity, c.mode, "sip.example.test"), c.delivered)
            << "mode " << static_cast<int>(c.mode) << ", client certificate '" << c.clientIdentity << "'";
}

TEST_F(TlsTransportTest, FailedHandshakeIsReportedToTheSender) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver, clientReceiver;
    auto server = MakeTlsTransport(io, Options(serverReceiver), Settings("server"));
    auto client = MakeTlsTransport(io, Options(clientReceiver), Settings(""));
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "a"),
                 SendOptions{.retransmission = false, .serverName = "wrong.example.test"});
    ASSERT_TRUE(RunUntil(io, [&] { return clientReceiver.failures.size() == 1; }));
    EXPECT_EQ(clientReceiver.failures[0].first.port, server->LocalTuple().port);
    EXPECT_EQ(client->Statistics().connectionsRejected, 1u);
    client->Close();
    server->Close();
    test::Drain(io);
}

} // namespace
} // namespace zel::sip::stack

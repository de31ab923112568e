#include "stack/transport/Transports.h"

#include "TestCertificates.h"
#include "TransportTestSupport.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using test::RecordingReceiver;
using test::RunUntil;

/// Sets an environment variable for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
    ~ScopedEnvironment() { unsetenv(name_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
};

/// True when an s_client transcript shows a finished handshake.
bool Negotiated(const std::string& transcript) {
    return transcript.find("Cipher is ") != std::string::npos && transcript.find("Cipher is (NONE)") == std::string::npos;
}

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

TEST_F(TlsTransportTest, ClientCertificatesAreCheckedAgainstTheCaDirectoryOnly) {
    // The rogue CA stands in for a public one: OpenSSL's default trust store is taken from here.
    const ScopedEnvironment systemStore("SSL_CERT_FILE", certificates->root + "/rogue-ca.pem");
    EXPECT_FALSE(Deliver("server", "rogue-client", ClientVerificationMode::Mandatory, "sip.example.test"));
    EXPECT_FALSE(Deliver("server", "rogue-client", ClientVerificationMode::Optional, "sip.example.test"));
    EXPECT_TRUE(Deliver("server", "client", ClientVerificationMode::Mandatory, "sip.example.test"));
    // Servers we connect to are still checked against the system store as well.
    EXPECT_TRUE(Deliver("rogue-client", "", ClientVerificationMode::None, "client.example.test"));
}

TEST_F(TlsTransportTest, OldVersionsAndRenegotiationAreRefusedWhateverTheProcessOptions) {
    // What a host might add process-wide (the options accumulate for every later context).
    AddOpenSslContextOptions(SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    for (const bool websocket : {false, true}) {
        SCOPED_TRACE(websocket ? "WSS" : "TLS");
        boost::asio::io_context io;
        RecordingReceiver receiver;
        auto settings = Settings("server");
        settings.cipherList = "DEFAULT@SECLEVEL=0"; // suites that TLS 1.1 could use
        auto server = websocket ? MakeWssTransport(io, Options(receiver), settings)
                                : MakeTlsTransport(io, Options(receiver), settings);
        const std::string target = "127.0.0.1:" + std::to_string(server->LocalTuple().port);
        {
            test::ChildProcess old({"openssl", "s_client", "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0", "-connect", target},
                                   certificates->root + "/old.out", {.stdinPipe = true});
            ASSERT_TRUE(RunUntil(io, [&] {
                return server->Statistics().connectionsRejected == 1 || Negotiated(old.Output());
            })) << old.Output();
            EXPECT_EQ(server->Statistics().connectionsRejected, 1u) << old.Output();
        }
        {
            test::ChildProcess client({"openssl", "s_client", "-tls1_2", "-CAfile", certificates->caDir + "/ca.pem",
                                       "-connect", target},
                                      certificates->root + "/renegotiate.out", {.stdinPipe = true});
            ASSERT_TRUE(RunUntil(io, [&] { return client.Output().find("Verify return code") != std::string::npos; }))
                << client.Output();
            client.Write("R\n");
            std::string transcript;
            ASSERT_TRUE(RunUntil(io, [&] {
                transcript = client.Output();
                const auto asked = transcript.find("RENEGOTIATING");
                return asked != std::string::npos && (transcript.find("no renegotiation", asked) != std::string::npos ||
                                                      transcript.find("depth=", asked) != std::string::npos);
            })) << transcript;
            EXPECT_NE(transcript.find("no renegotiation"), std::string::npos) << transcript;
        }
        server->Close();
        test::Drain(io);
    }
}

TEST_F(TlsTransportTest, ConnectionThePeerOpenedServesOnlyNamesItsCertificateProves) {
    const struct {
        const char* name;
        ClientVerificationMode mode;
        const char* serverName;
        bool reused;
    } cases[] = {
        {"the name the client certificate proves", ClientVerificationMode::Optional, "client.example.test", true},
        {"another name", ClientVerificationMode::Optional, "sip.example.test", false},
        {"no certificate asked for", ClientVerificationMode::None, "client.example.test", false},
        {"an address the certificate does not name", ClientVerificationMode::Optional, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context io;
        RecordingReceiver serverReceiver, clientReceiver;
        auto server = MakeTlsTransport(io, Options(serverReceiver), Settings("server", c.mode));
        auto client = MakeTlsTransport(io, Options(clientReceiver), Settings("client"));
        client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "in"),
                     SendOptions{.retransmission = false, .serverName = "sip.example.test"});
        ASSERT_TRUE(RunUntil(io, [&] { return serverReceiver.received.size() == 1; }));

        // A request of ours to the client's address and port, not to its connection: reuse, or a
        // new connection to a port where nothing listens.
        Tuple byAddress = serverReceiver.received[0].source;
        byAddress.connectionId = 0;
        server->Send(byAddress, test::MakeRequest("OPTIONS", "out"),
                     SendOptions{.retransmission = false, .serverName = c.serverName});
        ASSERT_TRUE(RunUntil(io, [&] { return !clientReceiver.received.empty() || !serverReceiver.failures.empty(); }));
        EXPECT_EQ(clientReceiver.received.size() == 1, c.reused);
        EXPECT_EQ(serverReceiver.failures.size() == 1, !c.reused);
        client->Close();
        server->Close();
        test::Drain(io);
    }
}

TEST_F(TlsTransportTest, LargeMessagesAndMessagesSplitAcrossRecordsArriveOnIdleConnections) {
    // Ours on both sides: messages near the size limit span several TLS records and several reads,
    // in bursts that the server (on a loop of its own) only starts reading once all are written.
    boost::asio::io_context io, serverIo;
    RecordingReceiver serverReceiver, clientReceiver;
    auto server = MakeTlsTransport(serverIo, Options(serverReceiver), Settings("server"));
    auto client = MakeTlsTransport(io, Options(clientReceiver), Settings(""));
    serverReceiver.onMessage = [&](const test::Received& request) { server->Send(request.source, request.message); };
    auto runBoth = [&](const std::function<bool()>& done) {
        return RunUntil(io, [&] {
            serverIo.poll();
            return done();
        });
    };
    client->Send(server->LocalTuple(), test::MakeRequest("OPTIONS", "first"));
    ASSERT_TRUE(runBoth([&] { return clientReceiver.received.size() == 1; }));
    std::vector<std::string> requests;
    for (int i = 0; i < 12; ++i)
        requests.push_back(test::MakeRequest("MESSAGE", "large-" + std::to_string(i),
                                             std::string(60 * 1024 + i, static_cast<char>('a' + i % 26))));
    for (int round = 0; round < 2; ++round) { // the second round starts on a connection gone quiet
        SCOPED_TRACE(round);
        clientReceiver.received.clear();
        for (const auto& request : requests)
            client->Send(server->LocalTuple(), request);
        while (io.poll() > 0) {
        }
        ASSERT_TRUE(runBoth([&] { return clientReceiver.received.size() == requests.size(); }));
        for (std::size_t i = 0; i < requests.size(); ++i)
            EXPECT_TRUE(clientReceiver.received[i].message == requests[i]) << "echo " << i << " differs";
    }
    EXPECT_TRUE(clientReceiver.failures.empty());
    EXPECT_EQ(server->Statistics().connectionsRejected, 0u);
    client->Close();
    test::Drain(io);

    // Another TLS stack, cutting what it sends into 512-byte records: the header of each message
    // spans records, and each message arrives on a connection idle since the last one.
    serverReceiver.onMessage = nullptr;
    serverReceiver.received.clear();
    test::ChildProcess peer({"openssl", "s_client", "-quiet", "-nocommands", "-max_send_frag", "512", "-CAfile",
                             certificates->caDir + "/ca.pem", "-connect",
                             "127.0.0.1:" + std::to_string(server->LocalTuple().port)},
                            certificates->root + "/split.out", {.stdinPipe = true});
    const std::string small = test::MakeRequest("OPTIONS", "split-small", std::string(700, 's'));
    const std::string large = test::MakeRequest("MESSAGE", "split-large", std::string(40 * 1024, 'l'));
    peer.Write(small);
    ASSERT_TRUE(RunUntil(serverIo, [&] { return serverReceiver.received.size() == 1 || !peer.Running(); }))
        << peer.OutputTail();
    peer.Write(large);
    ASSERT_TRUE(RunUntil(serverIo, [&] { return serverReceiver.received.size() == 2 || !peer.Running(); }))
        << peer.OutputTail();
    EXPECT_TRUE(serverReceiver.received[0].message == small);
    EXPECT_TRUE(serverReceiver.received[1].message == large);
    server->Close();
    test::Drain(serverIo);
}

} // namespace
} // namespace zel::sip::stack

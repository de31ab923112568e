#include "TestCertificates.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace zel::sip::stack {
namespace {

using test::Options;
using test::RecordingReceiver;
using test::RunUntil;

/// True when an s_client transcript shows a finished handshake.
bool Negotiated(const std::string& transcript) {
    return transcript.find("Cipher is ") != std::string::npos && transcript.find("Cipher is (NONE)") == std::string::npos;
}

using TlsTransportTest = test::CertificateTest;

/// One request from a client with `clientIdentity` to a server with `serverIdentity`, answered,
/// over TLS and over DTLS (which checks certificates alike): whether it arrived over each.
void ExpectDelivered(bool expected, const std::string& serverIdentity, const std::string& clientIdentity,
                     ClientVerificationMode mode, const std::string& serverName) {
    for (const auto& [name, make] : {std::pair{"TLS", TlsTransportTest::MakeSecure(TlsTransportTest::Tls)},
                                     std::pair{"DTLS", TlsTransportTest::MakeSecure(TlsTransportTest::Dtls)}})
        EXPECT_EQ(TlsTransportTest::Exchange(make, serverIdentity, clientIdentity, mode, serverName), expected) << name;
}

TEST_F(TlsTransportTest, ServerIdentityIsChecked) {
    const struct {
        const char* name;
        const char* serverIdentity;
        const char* serverName;
        bool wildcards;
        bool delivered;
    } cases[] = {
        {"host name in subjectAltName", "server", "sip.example.test", false, true},
        {"domain from the sip URI entry", "server", "example.test", false, true},
        {"IP address entry when no name is given", "server", "", false, true},
        {"wrong host name", "server", "other.example.test", false, false},
        {"expired certificate", "expired", "sip.example.test", false, false},
        {"wildcard while not allowed", "wildcard", "sip.example.test", false, false},
        {"wildcard once allowed", "wildcard", "sip.example.test", true, true},
        {"certificate of an untrusted CA", "rogue-client", "client.example.test", false, false},
    };
    for (const auto& c : cases) {
        SetAllowWildcardCertificates(c.wildcards);
        SCOPED_TRACE(c.name);
        ExpectDelivered(c.delivered, c.serverIdentity, "", ClientVerificationMode::None, c.serverName);
    }
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
    for (const auto& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(c.mode)) + ", client certificate '" +
                     c.clientIdentity + "'");
        ExpectDelivered(c.delivered, "server", c.clientIdentity, c.mode, "sip.example.test");
    }
}

TEST_F(TlsTransportTest, ClientCertificatesAreCheckedAgainstTheCaDirectoryOnly) {
    // The rogue CA stands in for a public one: OpenSSL's default trust store is taken from here.
    setenv("SSL_CERT_FILE", (certificates->root + "/rogue-ca.pem").c_str(), 1);
    ExpectDelivered(false, "server", "rogue-client", ClientVerificationMode::Mandatory, "sip.example.test");
    ExpectDelivered(false, "server", "rogue-client", ClientVerificationMode::Optional, "sip.example.test");
    ExpectDelivered(true, "server", "client", ClientVerificationMode::Mandatory, "sip.example.test");
    // Servers we connect to are still checked against the system store as well.
    ExpectDelivered(true, "rogue-client", "", ClientVerificationMode::None, "client.example.test");
    unsetenv("SSL_CERT_FILE");
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
        test::CloseAll(io, {server});
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
        test::CloseAll(io, {client, server});
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
    test::CloseAll(io, {client});

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
    test::CloseAll(serverIo, {server});
}

} // namespace
} // namespace zel::sip::stack

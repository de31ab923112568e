#pragma once

// What the DTLS transport tests share: a private PKI for the test suite and transports on the
// loopback made from it.

#include "stack/transport/Transports.h"

#include "TestCertificates.h"
#include "TransportTestSupport.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using test::RecordingReceiver;
using test::RunUntil;
using namespace std::chrono_literals;

const std::string kOk = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";

class DtlsTransportTest : public ::testing::Test {
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

    static TransportOptions Options(RecordingReceiver& receiver, std::uint16_t port = 0) {
        TransportOptions options;
        options.bindAddress = "127.0.0.1";
        options.port = port;
        options.receiver = &receiver;
        options.limits.handshakeTimeout = 5s;
        return options;
    }

    /// Sends one request from a client with `clientIdentity` to a server with `serverIdentity`
    /// and answers it; true when both arrived.
    bool Exchange(const std::string& serverIdentity, const std::string& clientIdentity, ClientVerificationMode mode,
                  const std::string& serverName) {
        boost::asio::io_context io;
        RecordingReceiver serverReceiver, clientReceiver;
        auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings(serverIdentity, mode));
        auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings(clientIdentity));
        const std::string request = test::MakeRequest("OPTIONS", "dtls");
        client->Send(server->LocalTuple(), request, SendOptions{.retransmission = false, .serverName = serverName});
        RunUntil(io, [&] {
            return !serverReceiver.received.empty() || !clientReceiver.failures.empty() ||
                   server->Statistics().connectionsRejected > 0;
        });
        bool delivered = serverReceiver.received.size() == 1 && serverReceiver.received[0].message == request;
        if (delivered) {
            EXPECT_EQ(serverReceiver.received[0].source, client->LocalTuple());
            server->Send(serverReceiver.received[0].source, kOk);
            delivered = RunUntil(io, [&] { return clientReceiver.received.size() == 1; });
        }
        client->Close();
        server->Close();
        test::Drain(io);
        return delivered;
    }

    inline static std::unique_ptr<test::TestCertificates> certificates;
};

} // namespace
} // namespace zel::sip::stack

// DTLS against a peer that is not ours: the openssl command line as client and as server.

#include "stack/transport/Transports.h"

#include "TestCertificates.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using test::kOk;
using test::Options;
using test::RecordingReceiver;
using test::RunUntil;
using DtlsTransportTest = test::CertificateTest;

TEST_F(DtlsTransportTest, OpensslClientTalksToOurServer) {
    boost::asio::io_context io;
    RecordingReceiver serverReceiver;
    auto server = MakeDtlsTransport(io, Options(serverReceiver), Settings("server"));
    const std::string port = std::to_string(server->LocalTuple().port);
    test::ChildProcess client({"openssl", "s_client", "-dtls1_2", "-connect", "127.0.0.1:" + port, "-CAfile",
                               certificates->caDir + "/ca.pem", "-verify_return_error", "-quiet"},
                              certificates->root + "/s_client.out", {.stdinPipe = true});
    const std::string request = test::MakeRequest("OPTIONS", "from-openssl");
    client.Write(request);
    ASSERT_TRUE(RunUntil(io, [&] { return !serverReceiver.received.empty(); })) << client.Output();
    EXPECT_EQ(serverReceiver.received[0].message, request);
    server->Send(serverReceiver.received[0].source, kOk);
    EXPECT_TRUE(RunUntil(io, [&] { return client.Output().find("SIP/2.0 200 OK") != std::string::npos; }))
        << client.Output();
    test::CloseAll(io, {server});
}

TEST_F(DtlsTransportTest, OurClientTalksToOpensslServer) {
    boost::asio::io_context io;
    RecordingReceiver clientReceiver;
    const std::uint16_t port = zel::sip::test::FreePort();
    test::ChildProcess server({"openssl", "s_server", "-dtls1_2", "-accept", "127.0.0.1:" + std::to_string(port),
                               "-cert", certificates->Certificate("server"), "-key", certificates->Key("server")},
                              certificates->root + "/s_server.out", {.stdinPipe = true});
    ASSERT_TRUE(RunUntil(io, [&] { return server.Output().find("ACCEPT") != std::string::npos; })) << server.Output();
    auto client = MakeDtlsTransport(io, Options(clientReceiver), Settings(""));
    const std::string request = test::MakeRequest("OPTIONS", "to-openssl");
    client->Send(Tuple{make_address("127.0.0.1"), port, TransportType::DTLS}, request,
                 SendOptions{.retransmission = false, .serverName = "sip.example.test"});
    ASSERT_TRUE(RunUntil(io, [&] { return server.Output().find("Call-ID: to-openssl") != std::string::npos; }))
        << server.Output();
    server.Write(kOk);
    ASSERT_TRUE(RunUntil(io, [&] { return clientReceiver.received.size() == 1; })) << server.Output();
    EXPECT_EQ(clientReceiver.received[0].message, kOk);
    EXPECT_TRUE(clientReceiver.failures.empty());
    test::CloseAll(io, {client});
}

} // namespace
} // namespace zel::sip::stack

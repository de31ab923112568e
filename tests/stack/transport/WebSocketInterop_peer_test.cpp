// WS and WSS against a WebSocket client that is not ours: Debian's python3-websockets, driven by
// tests/tools/ws_sip_client.py. It negotiates the "sip" subprotocol, sends text, binary and
// fragmented messages, and must get every answer back on its own connection.
#include "TestCertificates.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using test::RecordingReceiver;
using test::RunUntil;

bool ClientAvailable() { return test::PythonHas("websockets"); }

std::string ClientScript() { return test::ToolScript("ws_sip_client.py"); }

/// Answers every request 200 OK on the connection it came from.
void AnswerEveryRequest(RecordingReceiver& receiver, std::shared_ptr<Transport>& transport) {
    receiver.onMessage = [&transport](const test::Received& received) {
        const std::size_t lineEnd = received.message.find("\r\n");
        transport->Send(received.source, "SIP/2.0 200 OK" + received.message.substr(lineEnd));
    };
}

using test::Options;
using WebSocketInterop = test::CertificateTest;

TEST_F(WebSocketInterop, ForeignClientExchangesOverWs) {
    if (!ClientAvailable())
        GTEST_SKIP() << "python3-websockets is not installed";
    boost::asio::io_context io;
    RecordingReceiver receiver;
    std::shared_ptr<Transport> transport = MakeWsTransport(io, Options(receiver));
    AnswerEveryRequest(receiver, transport);
    const std::string url = "ws://127.0.0.1:" + std::to_string(transport->LocalTuple().port) + "/";

    const test::ForeignRun run = test::RunForeignPeer(io, {"/usr/bin/python3", ClientScript(), url, "5"});
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_NE(run.output.find("subprotocol sip"), std::string::npos) << run.output;
    std::size_t answers = 0;
    for (std::size_t at = run.output.find("answer SIP/2.0 200 OK"); at != std::string::npos;
         at = run.output.find("answer SIP/2.0 200 OK", at + 1))
        ++answers;
    EXPECT_EQ(answers, 5u) << run.output;
    ASSERT_EQ(receiver.received.size(), 5u);
    EXPECT_EQ(receiver.received[4].message.substr(0, 8), "OPTIONS ") << "the fragmented one, reassembled";
    EXPECT_EQ(receiver.received[0].source.transport, TransportType::WS);

    // Without the "sip" subprotocol the upgrade is refused (RFC 7118 section 4.1).
    const test::ForeignRun refused = test::RunForeignPeer(io, {"/usr/bin/python3", ClientScript(), url, "1", "--no-subprotocol"});
    EXPECT_NE(refused.output.find("refused"), std::string::npos) << refused.output;
    EXPECT_EQ(receiver.received.size(), 5u);
    test::CloseAll(io, {transport});
}

TEST_F(WebSocketInterop, ForeignClientVerifiesOurCertificateOverWss) {
    if (!ClientAvailable())
        GTEST_SKIP() << "python3-websockets is not installed";
    boost::asio::io_context io;
    RecordingReceiver receiver;
    std::shared_ptr<Transport> transport = MakeWssTransport(io, Options(receiver), Settings("server"));
    AnswerEveryRequest(receiver, transport);
    const std::string url = "wss://127.0.0.1:" + std::to_string(transport->LocalTuple().port) + "/";

    const test::ForeignRun run = test::RunForeignPeer(io, {"/usr/bin/python3", ClientScript(), url, "3", certificates->caDir + "/ca.pem"});
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_NE(run.output.find("subprotocol sip"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("done"), std::string::npos) << run.output;
    EXPECT_EQ(receiver.received.size(), 3u);
    EXPECT_EQ(receiver.received[0].source.transport, TransportType::WSS);
    test::CloseAll(io, {transport});
}

} // namespace
} // namespace zel::sip::stack

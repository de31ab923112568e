#include "stack/transport/KeepAliveManager.h"
#include "stack/transport/Stun.h"
#include "stack/transport/Transports.h"

#include "TransportTestSupport.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using namespace std::chrono_literals;

/// Passes keep-alive answers to the manager, as the layer above the transports does.
class ForwardingReceiver : public test::RecordingReceiver {
public:
    void OnKeepAlivePong(const Tuple& source) override {
        RecordingReceiver::OnKeepAlivePong(source);
        if (manager)
            manager->OnPong(source);
    }
    void OnStunResponse(const Tuple& source, const Tuple&, std::string_view message) override {
        ++stunResponses;
        if (manager)
            manager->OnStunResponse(source, message);
    }
    KeepAliveManager* manager = nullptr;
    int stunResponses = 0;
};

class RecordingHandler : public KeepAliveHandler {
public:
    void OnFlowFailed(const Tuple& flow, FlowFailure reason) override { failures.emplace_back(flow, reason); }
    std::vector<std::pair<Tuple, FlowFailure>> failures;
};

TransportOptions Options(test::RecordingReceiver& receiver, std::shared_ptr<test::RecordingLogger> logger = {}) {
    TransportOptions options;
    options.bindAddress = "127.0.0.1";
    options.receiver = &receiver;
    options.messageLogger = std::move(logger);
    return options;
}

TEST(KeepAliveManager, WaitIsBetween80And100PercentOfTheInterval) {
    const struct {
        std::chrono::milliseconds interval;
        double uniform;
        std::chrono::milliseconds expected;
    } cases[] = {
        {30s, 0.0, 24s}, {30s, 0.5, 27s}, {30s, 1.0, 30s}, {30s, -1.0, 24s}, {30s, 7.0, 30s}, {1ms, 0.0, 1ms},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KeepAliveManager::Randomised(c.interval, c.uniform), c.expected) << c.uniform;
}

TEST(KeepAliveManager, RefusesWhatItCannotKeepAlive) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    test::RecordingReceiver receiver;
    auto udp = MakeUdpTransport(io, Options(receiver));
    const Tuple flow{make_address("127.0.0.1"), 5060, TransportType::UDP};
    EXPECT_THROW(manager.Start(nullptr, flow, 1s), std::invalid_argument);
    EXPECT_THROW(manager.Start(udp, flow, 0s), std::invalid_argument);
    EXPECT_THROW(manager.Start(udp, Tuple{flow.address, 5060, TransportType::WS}, 1s), std::invalid_argument);
    EXPECT_FALSE(manager.IsKeptAlive(flow));
    udp->Close();
    test::Drain(io);
}

TEST(KeepAliveManager, UdpFlowAnsweredByOurTransportStaysAliveAndLearnsItsMappedAddress) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    ForwardingReceiver clientReceiver, serverReceiver;
    clientReceiver.manager = &manager;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto client = MakeUdpTransport(io, Options(clientReceiver, logger));
    auto server = MakeUdpTransport(io, Options(serverReceiver, logger));
    Tuple flow = server->LocalTuple();
    manager.Start(client, flow, 20ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.stunResponses >= 3; }));
    EXPECT_TRUE(handler.failures.empty());
    EXPECT_TRUE(manager.IsKeptAlive(flow));
    EXPECT_EQ(manager.MappedAddress(flow), (stun::TransportAddress{client->LocalTuple().address, client->LocalTuple().port}));
    // STUN is neither SIP for the receivers nor a message for the log.
    EXPECT_TRUE(serverReceiver.received.empty());
    EXPECT_TRUE(clientReceiver.received.empty());
    EXPECT_TRUE(logger->logged.empty());
    manager.Stop(flow);
    EXPECT_FALSE(manager.IsKeptAlive(flow));
    client->Close();
    server->Close();
    test::Drain(io);
}

TEST(KeepAliveManager, SilentUdpFlowFailsAfterStunRetransmissions) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 10s, .stunInitialTimeout = 5ms, .stunRequestCount = 3});
    ForwardingReceiver receiver;
    receiver.manager = &manager;
    auto client = MakeUdpTransport(io, Options(receiver));
    udp::socket silent(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const Tuple flow{silent.local_endpoint().address(), silent.local_endpoint().port(), TransportType::UDP};
    manager.Start(client, flow, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return !handler.failures.empty(); }));
    EXPECT_EQ(handler.failures[0].first, flow);
    EXPECT_EQ(handler.failures[0].second, FlowFailure::NoResponse);
    EXPECT_FALSE(manager.IsKeptAlive(flow));

    // Three requests of one transaction: the first and its two retransmissions.
    std::vector<stun::Message> requests;
    while (silent.available() > 0) {
        std::array<char, 1500> buffer;
        udp::endpoint from;
        const auto size = silent.receive_from(boost::asio::buffer(buffer), from);
        auto parsed = stun::Parse(std::string_view(buffer.data(), size));
        ASSERT_TRUE(parsed.message) << parsed.error;
        requests.push_back(*parsed.message);
    }
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.messageClass, stun::MessageClass::Request);
        EXPECT_EQ(request.transactionId, requests[0].transactionId);
    }
    client->Close();
    test::Drain(io);
}

TEST(KeepAliveManager, ChangedMappedAddressFailsTheFlowAndStrayResponsesAreIgnored) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler);
    ForwardingReceiver receiver;
    receiver.manager = &manager;
    auto client = MakeUdpTransport(io, Options(receiver));
    // A server behind which the client's NAT binding moves after the first answer.
    udp::socket server(io, udp::endpoint(make_address("127.0.0.1"), 0));
    std::array<char, 1500> buffer;
    udp::endpoint from;
    std::uint16_t mappedPort = 40000;
    std::function<void()> serve = [&] {
        server.async_receive_from(boost::asio::buffer(buffer), from, [&](const boost::system::error_code& error, std::size_t size) {
            if (error)
                return;
            const auto request = stun::Parse(std::string_view(buffer.data(), size));
            if (request.message) {
                // A stray answer with another transaction id comes first and must change nothing.
                server.send_to(boost::asio::buffer(stun::MakeBindingSuccess(stun::RandomTransactionId(),
                                                                            {from.address(), 1})), from);
                server.send_to(boost::asio::buffer(stun::MakeBindingSuccess(request.message->transactionId,
                                                                            {from.address(), mappedPort++})), from);
            }
            serve();
        });
    };
    serve();
    const Tuple flow{server.local_endpoint().address(), server.local_endpoint().port(), TransportType::UDP};
    manager.Start(client, flow, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return !handler.failures.empty(); }));
    EXPECT_EQ(handler.failures[0].second, FlowFailure::MappedAddressChanged);
    EXPECT_EQ(receiver.stunResponses, 4);
    server.close();
    client->Close();
    test::Drain(io);
}

TEST(KeepAliveManager, TcpFlowIsPingedAndFailsWhenPongsStop) {
    boost::asio::io_context io;
    RecordingHandler handler;
    KeepAliveManager manager(io, handler, KeepAliveTimings{.pongTimeout = 100ms});
    ForwardingReceiver clientReceiver, serverReceiver;
    clientReceiver.manager = &manager;
    auto client = MakeTcpTransport(io, Options(clientReceiver));
    auto server = MakeTcpTransport(io, Options(serverReceiver));
    serverReceiver.onMessage = [&](const test::Received& request) {
        server->Send(request.source, "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    };
    client->Send(server->LocalTuple(), test::MakeRequest("REGISTER", "ka"));
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.received.size() == 1; }));
    const Tuple flow = clientReceiver.received[0].source; // carries the connection id
    ASSERT_NE(flow.connectionId, 0u);
    manager.Start(client, flow, 20ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return clientReceiver.pongs.size() >= 3; }));
    EXPECT_TRUE(handler.failures.empty());
    EXPECT_EQ(serverReceiver.received.size(), 1u) << "pings are not messages";

    // A peer that reads but never answers.
    tcp::acceptor mute(io, tcp::endpoint(make_address("127.0.0.1"), 0));
    tcp::socket accepted(io);
    mute.async_accept(accepted, [](const boost::system::error_code&) {});
    const Tuple muteFlow{make_address("127.0.0.1"), mute.local_endpoint().port(), TransportType::TCP};
    client->Send(muteFlow, test::MakeRequest("OPTIONS", "mute"));
    manager.Start(client, muteFlow, 10ms);
    ASSERT_TRUE(test::RunUntil(io, [&] { return !handler.failures.empty(); }));
    EXPECT_EQ(handler.failures[0].first, muteFlow);
    EXPECT_EQ(handler.failures[0].second, FlowFailure::NoResponse);
    EXPECT_TRUE(manager.IsKeptAlive(flow));
    client->Close();
    server->Close();
    test::Drain(io);
}

TEST(UdpTransportStun, AnswersBindingRequestsAndRoutesResponsesAwayFromSip) {
    boost::asio::io_context io;
    ForwardingReceiver receiver;
    auto logger = std::make_shared<test::RecordingLogger>();
    auto transport = MakeUdpTransport(io, Options(receiver, logger));
    udp::socket peer(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const udp::endpoint target(transport->LocalTuple().address, transport->LocalTuple().port);
    auto exchange = [&](const std::string& request) -> std::optional<stun::Message> {
        peer.send_to(boost::asio::buffer(request), target);
        std::array<char, 1500> buffer;
        std::size_t size = 0;
        bool done = false;
        peer.async_receive(boost::asio::buffer(buffer), [&](const boost::system::error_code& error, std::size_t n) {
            done = !error;
            size = n;
        });
        if (!test::RunUntil(io, [&] { return done; }, 2s)) {
            peer.cancel();
            test::Drain(io);
            return std::nullopt;
        }
        return stun::Parse(std::string_view(buffer.data(), size)).message;
    };
    const auto id = stun::RandomTransactionId();
    const auto success = exchange(stun::MakeBindingRequest(id));
    ASSERT_TRUE(success);
    EXPECT_EQ(success->messageClass, stun::MessageClass::SuccessResponse);
    EXPECT_EQ(success->transactionId, id);
    EXPECT_EQ(success->mappedAddress, (stun::TransportAddress{peer.local_endpoint().address(), peer.local_endpoint().port()}));

    // A comprehension-required attribute we do not know (USERNAME) earns a 420.
    std::string withUsername = stun::MakeBindingRequest(id, false) + std::string("\x00\x06\x00\x04user", 8);
    withUsername[3] = 8;
    const auto refusal = exchange(withUsername);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->errorCode, 420);

    // A broken STUN message gets no answer and is counted as dropped; a response goes up.
    std::string broken = stun::MakeBindingRequest(id, true);
    broken.back() = static_cast<char>(broken.back() ^ 1);
    peer.send_to(boost::asio::buffer(broken), target);
    const auto next = stun::RandomTransactionId();
    const auto answer = exchange(stun::MakeBindingRequest(next));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->transactionId, next) << "the broken request was answered";
    EXPECT_EQ(transport->Statistics().messagesDropped, 1u);
    peer.send_to(boost::asio::buffer(stun::MakeBindingSuccess(id, {make_address("192.0.2.1"), 9})), target);
    ASSERT_TRUE(test::RunUntil(io, [&] { return receiver.stunResponses == 1; }));
    EXPECT_TRUE(receiver.received.empty());
    EXPECT_TRUE(logger->logged.empty());
    EXPECT_EQ(transport->Statistics().messagesReceived, 0u);
    transport->Close();
    test::Drain(io);
}

} // namespace
} // namespace zel::sip::stack

#pragma once

// A transaction layer on a real UDP transport on the loopback, and a raw UDP peer to talk to it.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "TransactionTestSupport.h"
#include "stack/transaction/TransactionLayer.h"
#include "stack/transport/MessageLoggingHandler.h"
#include "stack/transport/Transports.h"

namespace zel::sip::stack::test {

/// Runs `io` until `done` or `limit` (a guard against hangs, not a timing assumption).
inline bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (io.stopped())
            io.restart();
        io.run_one_for(milliseconds(10));
    }
    return done();
}

/// Runs `io` for `duration` of wall time: for checking that nothing (more) happens.
inline void RunFor(boost::asio::io_context& io, milliseconds duration) {
    RunUntil(io, [] { return false; }, duration);
}

/// A raw UDP socket on 127.0.0.1 that records every datagram it receives.
class UdpPeer {
public:
    explicit UdpPeer(boost::asio::io_context& io)
        : socket_(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
        Receive();
    }

    Tuple Where() const {
        return Tuple{socket_.local_endpoint().address(), socket_.local_endpoint().port(), TransportType::UDP, 0};
    }
    std::uint16_t Port() const { return socket_.local_endpoint().port(); }

    void SendTo(const Tuple& to, const std::string& text) {
        socket_.send_to(boost::asio::buffer(text), boost::asio::ip::udp::endpoint(to.address, to.port));
    }

    /// The received datagrams whose first line starts with `prefix`.
    std::vector<std::string> Starting(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const auto& datagram : received)
            if (datagram.starts_with(prefix))
                out.push_back(datagram);
        return out;
    }

    std::vector<std::string> received;

private:
    void Receive() {
        socket_.async_receive_from(boost::asio::buffer(buffer_), from_, [this](const auto& error, std::size_t size) {
            if (error)
                return;
            received.emplace_back(buffer_.data(), size);
            Receive();
        });
    }

    boost::asio::ip::udp::socket socket_;
    std::array<char, 65536> buffer_{};
    boost::asio::ip::udp::endpoint from_;
};

/// Replaces each "{name}" in `text` by its value and turns LF into CRLF.
inline std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
        const std::string placeholder = "{" + name + "}";
        for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at))
            text.replace(at, placeholder.size(), value);
    }
    return Wire(text);
}

/// The value of the header line `name` (first occurrence), "" when absent.
inline std::string HeaderOf(const std::string& message, std::string_view name) {
    const std::string key = "\r\n" + std::string(name) + ": ";
    const std::size_t at = message.find(key);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + key.size();
    return message.substr(start, message.find("\r\n", start) - start);
}

/// A transaction layer on a UDP transport on 127.0.0.1 with short timers, its queue drained into
/// `events`, and a raw UDP peer.
using Kind = TransactionUserMessage::Kind;

// A request from the peer. {branch}, {method}, {callid}, {totag}, {cseqmethod} are filled per test.
inline const char* const kPeerRequest = "{method} sip:us@{us} SIP/2.0\n"
                                 "Via: SIP/2.0/UDP 127.0.0.1:{port};branch=z9hG4bK{branch};rport\n"
                                 "Max-Forwards: 70\n"
                                 "To: <sip:us@{us}>{totag}\n"
                                 "From: <sip:peer@127.0.0.1>;tag=peer\n"
                                 "Call-ID: {callid}\n"
                                 "CSeq: 1 {cseqmethod}\n"
                                 "Content-Length: 0\n"
                                 "\n";

/// Counts what the transport reports to the message log: first sends and retransmissions apart.
struct CountingLogger final : MessageLoggingHandler {
    void outboundMessage(const Tuple&, const Tuple&, std::string_view) override { ++sent; }
    void outboundRetransmit(const Tuple&, const Tuple&, std::string_view) override { ++retransmitted; }
    void inboundMessage(const Tuple&, const Tuple&, std::string_view) override {}
    int sent = 0;
    int retransmitted = 0;
};

class TransactionLayerTest : public ::testing::Test {
protected:
    TransactionLayerTest() {
        options.timers.t1 = milliseconds(20);
        options.timers.t2 = milliseconds(80);
        options.timers.t4 = milliseconds(50);
    }

    void Start(const TransactionClock& clock, ServerLocator* locator = nullptr, TransactionUserQueueLimits limits = {}) {
        queue = std::make_unique<TransactionUserQueue>(clock, limits);
        layer = std::make_unique<TransactionLayer>(io, options, *queue, congestion, clock, locator);
        TransportOptions transportOptions;
        transportOptions.bindAddress = "127.0.0.1";
        transportOptions.receiver = layer.get();
        transportOptions.messageLogger = logger;
        udp = MakeUdpTransport(io, transportOptions);
        layer->AddTransport(udp);
    }
    void Start() { Start(steady); }
    /// Timers long enough that no retransmission or timeout comes first.
    void StartWithSlowTimers() {
        options.timers.t1 = milliseconds(500);
        options.timers.t2 = milliseconds(4000);
        Start();
    }

    std::string Us() const { return "127.0.0.1:" + std::to_string(udp->LocalTuple().port); }

    std::string PeerRequest(std::string method, std::string branch, std::string callId = "call-1",
                            std::string toTag = "", std::string cseqMethod = "") const {
        if (cseqMethod.empty())
            cseqMethod = method;
        return Fill(kPeerRequest, {{"method", method},
                                   {"us", Us()},
                                   {"port", std::to_string(peer.Port())},
                                   {"branch", branch},
                                   {"callid", callId},
                                   {"totag", toTag.empty() ? "" : ";tag=" + toTag},
                                   {"cseqmethod", cseqMethod}});
    }

    /// What has reached the transaction user so far.
    const std::vector<TransactionUserMessage>& Events() {
        while (auto entry = queue->TryPop())
            events.push_back(std::move(*entry));
        return events;
    }
    std::vector<TransactionUserMessage> EventsOf(TransactionId id, std::optional<Kind> kind = std::nullopt) {
        std::vector<TransactionUserMessage> out;
        for (const auto& event : Events())
            if (event.transaction == id && (!kind || event.kind == *kind))
                out.push_back(event);
        return out;
    }
    bool Has(TransactionId id, Kind kind) { return !EventsOf(id, kind).empty(); }

    /// The first received request of `method` that reached the transaction user.
    const TransactionUserMessage* Received(std::string_view method) {
        for (const auto& event : Events())
            if (event.kind == Kind::Request && event.message && event.message->Method() == method)
                return &event;
        return nullptr;
    }

    SipMessage OutgoingOptions() const {
        return Msg("OPTIONS sip:peer@127.0.0.1:" + std::to_string(peer.Port()) +
                   " SIP/2.0\n"
                   "To: <sip:peer@127.0.0.1>\n"
                   "From: <sip:us@127.0.0.1>;tag=us\n"
                   "Call-ID: out-1\n"
                   "CSeq: 7 OPTIONS\n"
                   "Content-Length: 0\n\n");
    }

    /// Sends an INVITE of ours to the peer as transaction `id`; what the peer got.
    SipMessage SendInvite(TransactionId id) {
        SipMessage invite = OutgoingOptions();
        invite.SetMethod("INVITE");
        invite.Set(HeaderType::CSeq, "7 INVITE");
        invite.Add(HeaderType::Contact, "<sip:us@127.0.0.1>");
        layer->SendRequest(id, std::move(invite), peer.Where());
        EXPECT_TRUE(RunUntil(io, [&] { return !peer.Starting("INVITE ").empty(); }));
        return peer.Starting("INVITE ").empty() ? SipMessage{} : SipMessage::Parse(peer.Starting("INVITE ").front());
    }

    boost::asio::io_context io;
    SteadyTransactionClock steady;
    FakeClock fake;
    CongestionManager congestion;
    TransactionLayerOptions options;
    std::unique_ptr<TransactionUserQueue> queue;
    std::unique_ptr<TransactionLayer> layer;
    std::shared_ptr<CountingLogger> logger = std::make_shared<CountingLogger>();
    std::shared_ptr<Transport> udp;
    UdpPeer peer{io};
    std::vector<TransactionUserMessage> events;
};


} // namespace zel::sip::stack::test

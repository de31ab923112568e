#pragma once

#include "stack/transport/KeepAliveManager.h"
#include "stack/transport/MessageLoggingHandler.h"
#include "stack/transport/Transport.h"
#include "stack/transport/TransportReceiver.h"
#include "stack/transport/Transports.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"

namespace zel::sip::stack::test {

using zel::sip::test::ChildProcess;
using zel::sip::test::PythonHas;
using zel::sip::test::TempDir;
using zel::sip::test::ToolScript;

inline const std::string kOk = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";

/// Whether this host has an IPv6 loopback to bind to (some containers have none).
inline bool HasIpv6Loopback() {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io);
    boost::system::error_code error;
    socket.open(boost::asio::ip::udp::v6(), error);
    if (!error)
        socket.bind(boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("::1"), 0), error);
    return !error;
}

/// What a transport handed up, kept for assertions.
struct Received {
    Tuple source;
    Tuple local;
    std::string message;
};

/// Records what a transport reports; passes pongs and STUN answers on to `manager` when set, as the
/// layer above the transports does.
class RecordingReceiver : public TransportReceiver {
public:
    void OnMessage(const Tuple& source, const Tuple& local, std::string_view message) override {
        received.push_back({source, local, std::string(message)});
        if (onMessage)
            onMessage(received.back());
    }
    void OnSendFailed(const Tuple& destination, const std::error_code& error) override {
        failures.emplace_back(destination, error);
    }
    void OnKeepAlivePong(const Tuple& source) override {
        pongs.push_back(source);
        if (manager)
            manager->OnPong(source);
    }
    void OnStunResponse(const Tuple& source, const Tuple&, std::string_view message) override {
        ++stunResponses;
        if (manager)
            manager->OnStunResponse(source, message);
    }

    std::vector<Received> received;
    std::vector<std::pair<Tuple, std::error_code>> failures;
    std::vector<Tuple> pongs;
    int stunResponses = 0;
    KeepAliveManager* manager = nullptr;
    /// Called after each message is recorded (e.g. to answer it).
    std::function<void(const Received&)> onMessage;
};

/// The flows a keep-alive manager gave up on.
class RecordingHandler : public KeepAliveHandler {
public:
    void OnFlowFailed(const Tuple& flow, FlowFailure reason) override { failures.emplace_back(flow, reason); }
    std::vector<std::pair<Tuple, FlowFailure>> failures;
};

struct LoggedMessage {
    enum class Kind { Outbound, Retransmit, Inbound } kind;
    Tuple source;
    Tuple destination;
    std::string wire;
};

class RecordingLogger : public MessageLoggingHandler {
public:
    void outboundMessage(const Tuple& source, const Tuple& destination, std::string_view wire) override {
        logged.push_back({LoggedMessage::Kind::Outbound, source, destination, std::string(wire)});
    }
    void outboundRetransmit(const Tuple& source, const Tuple& destination, std::string_view wire) override {
        logged.push_back({LoggedMessage::Kind::Retransmit, source, destination, std::string(wire)});
    }
    void inboundMessage(const Tuple& source, const Tuple& destination, std::string_view wire) override {
        logged.push_back({LoggedMessage::Kind::Inbound, source, destination, std::string(wire)});
    }
    std::vector<LoggedMessage> logged;
};

/// Options of a transport on `address` (the loopback by default) that reports to `receiver`.
inline TransportOptions Options(TransportReceiver& receiver, const std::string& address = "127.0.0.1",
                                std::shared_ptr<MessageLoggingHandler> logger = {}) {
    TransportOptions options;
    options.ipVersion = address.find(':') != std::string::npos ? IpVersion::V6 : IpVersion::V4;
    options.bindAddress = address;
    options.receiver = &receiver;
    options.messageLogger = std::move(logger);
    options.limits.handshakeTimeout = std::chrono::seconds(5);
    return options;
}

/// Runs `io` on this thread until `done` holds or `limit` passes; returns `done()`. The limit is a
/// safety net against hangs, never a measured timing.
inline bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (io.stopped())
            io.restart();
        io.run_one_for(std::chrono::milliseconds(20));
    }
    return done();
}

/// Runs `io` for `duration` of wall time (for timeouts that must pass).
inline void RunFor(boost::asio::io_context& io, std::chrono::milliseconds duration) {
    RunUntil(io, [] { return false; }, duration);
}

/// Runs whatever is ready, e.g. to let closes complete.
inline void Drain(boost::asio::io_context& io) {
    if (io.stopped())
        io.restart();
    io.poll();
}

/// Closes the transports and lets their closes complete.
inline void CloseAll(boost::asio::io_context& io, std::initializer_list<std::shared_ptr<Transport>> transports) {
    for (const auto& transport : transports)
        transport->Close();
    Drain(io);
}

/// A raw TCP peer with a blocking socket, connected from `from` (any port) to `transport`.
struct RawClient {
    RawClient(boost::asio::io_context& io, const Transport& transport, const char* from = "127.0.0.1") : socket(io) {
        socket.open(boost::asio::ip::tcp::v4());
        socket.bind(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(from), 0));
        socket.connect(boost::asio::ip::tcp::endpoint(transport.LocalTuple().address, transport.LocalTuple().port));
    }
    void Write(std::string_view bytes) {
        socket.non_blocking(false);
        boost::system::error_code ignored; // a closed connection shows in ClosedByPeer
        boost::asio::write(socket, boost::asio::buffer(bytes), ignored);
    }
    /// True once the transport closed its end; pongs and other bytes are read and dropped.
    bool ClosedByPeer() {
        socket.non_blocking(true);
        char bytes[256];
        boost::system::error_code error;
        do
            socket.read_some(boost::asio::buffer(bytes), error);
        while (!error);
        return error != boost::asio::error::would_block;
    }
    boost::asio::ip::tcp::socket socket;
};

/// A small SIP request with a body and a correct Content-Length.
inline std::string MakeRequest(const std::string& method, const std::string& callId, const std::string& body = {}) {
    std::string text = method + " sip:bob@example.com SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:5060;branch=z9hG4bK" +
                       callId + "\r\nFrom: <sip:alice@example.com>;tag=1\r\nTo: <sip:bob@example.com>\r\nCall-ID: " +
                       callId + "\r\nCSeq: 1 " + method + "\r\nMax-Forwards: 70\r\n";
    if (!body.empty())
        text += "Content-Type: text/plain\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return text;
}

/// What a foreign peer program printed, and whether it got to one of its final lines.
struct ForeignRun {
    std::string output;
    bool finished = false;
};

/// Runs a peer program while `io` serves it, until it prints "done", "refused", "failed" or a
/// Python traceback, or `limit` passes; the program is stopped and reaped in every case.
inline ForeignRun RunForeignPeer(boost::asio::io_context& io, const std::vector<std::string>& arguments,
                                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const TempDir dir;
    ChildProcess peer(arguments, dir.File("peer.out"));
    ForeignRun run;
    run.finished = RunUntil(io, [&] { return peer.Printed({"done", "refused", "failed", "Traceback"}); }, limit);
    run.output = peer.Output();
    return run;
}

} // namespace zel::sip::stack::test

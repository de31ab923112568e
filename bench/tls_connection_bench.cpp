// Heap one idle TLS connection holds in our TLS transport, on each side:
//
// BM_HeapPerAcceptedTlsConnection: N connections that clients opened to our transport.
// BM_HeapPerOpenedTlsConnection: N connections our transport opened to N TLS servers.
//
// The other side of every connection runs in a child process (this executable started again with
// --peer, built from our own TLS transport), so the figures hold only the side under test. Each
// connection carries one request (accepted side) or one request and its response (opened side):
// that is how the test knows the handshake is through on our side, and what a connection holds
// once it has carried traffic and gone quiet. A few connections are opened first and kept, so that
// what OpenSSL and the transport set up once per process is not counted.
//
// Heap figures are glibc's mallinfo2 (bytes in use, also in mmapped chunks) before and after,
// divided by N; the transport and the test run on this one thread. Certificates are made with the
// openssl command line as the transport tests make them. Run: build with -DZEL_BUILD_BENCH=ON, then
// ./bench/bench_tls_connection --benchmark_counters_tabular=true

#include "stack/transport/TransportReceiver.h"
#include "stack/transport/Transports.h"

#include "../tests/stack/transport/TestCertificates.h"
#include "support/Process.h"

#include <boost/asio/io_context.hpp>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zel::sip::stack;
using namespace std::chrono_literals;

/// Connections opened before the measurement and kept through it.
constexpr int kWarmUp = 8;

std::size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::string Request(int i) {
    const std::string callId = "tls-heap-" + std::to_string(i);
    return "OPTIONS sip:bench@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/TLS 127.0.0.1:5061;branch=z9hG4bK-" + callId + "\r\n"
           "Max-Forwards: 70\r\nFrom: <sip:peer@127.0.0.1>;tag=1\r\nTo: <sip:bench@127.0.0.1>\r\n"
           "Call-ID: " + callId + "\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";
}

const char* const kResponse = "SIP/2.0 200 OK\r\nVia: SIP/2.0/TLS 127.0.0.1:5061;branch=z9hG4bK-x\r\n"
                              "From: <sip:peer@127.0.0.1>;tag=1\r\nTo: <sip:bench@127.0.0.1>;tag=2\r\n"
                              "Call-ID: x\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";

/// Settings of every transport here: the test PKI's server certificate, its CA trusted.
SecuritySettings Security(const std::string& certificateRoot) {
    SecuritySettings security;
    security.caDirectoryPath = certificateRoot + "/ca";
    security.certificatePath = certificateRoot + "/server.pem";
    security.privateKeyPath = certificateRoot + "/server.key";
    return security;
}

TransportOptions Loopback(TransportReceiver& receiver, std::size_t connections) {
    TransportOptions options;
    options.bindAddress = "127.0.0.1";
    options.receiver = &receiver;
    options.limits.maxConnections = 2 * connections;
    options.limits.maxAcceptedPerAddress = connections;
    options.limits.reservedOutgoingConnections = 0;
    return options;
}

/// Counts what arrives; answers requests when it has a transport to answer on.
class Counter : public TransportReceiver {
public:
    void OnMessage(const Tuple& source, const Tuple&, std::string_view message) override {
        ++messages;
        if (answerOn != nullptr && message.rfind("SIP/2.0 ", 0) != 0)
            answerOn->Send(source, kResponse);
    }
    void OnSendFailed(const Tuple&, const std::error_code&) override { ++failures; }
    void OnConnectionClosed(const Tuple&) override { ++closed; }

    Transport* answerOn = nullptr;
    int messages = 0;
    int failures = 0;
    int closed = 0;
};

/// Runs `io` until `done` holds or `limit` has passed; whether it holds.
bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        io.run_one_for(50ms);
    io.poll(); // what the last event queued (writes completing, reads restarting)
    return done();
}

// --- the peer process ---------------------------------------------------------------------------

/// `--peer servers COUNT ROOT`: COUNT TLS transports that answer each request; prints their ports
/// on one line. `--peer clients COUNT ROOT PORT`: COUNT TLS transports, each sending one request to
/// 127.0.0.1:PORT over its own connection. Runs until stopped.
int RunPeer(const std::vector<std::string>& arguments) {
    if (arguments.size() < 3)
        return 2;
    const bool servers = arguments[0] == "servers";
    const int count = std::stoi(arguments[1]);
    const SecuritySettings security = Security(arguments[2]);
    boost::asio::io_context io;
    std::vector<std::unique_ptr<Counter>> receivers;
    std::vector<std::shared_ptr<Transport>> transports;
    std::ostringstream ports;
    for (int i = 0; i < count; ++i) {
        receivers.push_back(std::make_unique<Counter>());
        transports.push_back(MakeTlsTransport(io, Loopback(*receivers.back(), 4), security));
        if (servers)
            receivers.back()->answerOn = transports.back().get();
        ports << transports.back()->LocalTuple().port << ' ';
    }
    if (servers) {
        std::cout << "ports: " << ports.str() << std::endl;
    } else {
        Tuple parent{boost::asio::ip::make_address("127.0.0.1"),
                     static_cast<std::uint16_t>(std::stoi(arguments.at(3))), TransportType::TLS};
        for (int i = 0; i < count; ++i)
            transports[static_cast<std::size_t>(i)]->Send(parent, Request(i));
    }
    io.run();
    return 0;
}

// --- the measurements ---------------------------------------------------------------------------

std::string SelfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

zel::sip::stack::test::TestCertificates& Certificates() {
    static zel::sip::stack::test::TestCertificates certificates;
    return certificates;
}

void BM_HeapPerAcceptedTlsConnection(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    zel::sip::test::TempDir scratch;
    for (auto _ : state) {
        boost::asio::io_context io;
        Counter receiver;
        auto transport = MakeTlsTransport(io, Loopback(receiver, count + kWarmUp), Security(Certificates().root));
        const std::string port = std::to_string(transport->LocalTuple().port);
        auto clients = [&](int n, const std::string& log) {
            return std::make_unique<zel::sip::test::ChildProcess>(
                std::vector<std::string>{SelfPath(), "--peer", "clients", std::to_string(n), Certificates().root, port},
                scratch.File(log));
        };
        auto warmUp = clients(kWarmUp, "warm-up.log");
        if (!RunUntil(io, [&] { return receiver.messages == kWarmUp; }, 30s)) {
            state.SkipWithError(("warm-up connections did not arrive: " + warmUp->OutputTail()).c_str());
            break;
        }
        const std::size_t before = HeapInUse();
        auto measured = clients(count, "clients.log");
        const bool arrived = RunUntil(io, [&] { return receiver.messages == kWarmUp + count; }, 60s);
        const std::size_t after = HeapInUse();
        if (!arrived) {
            state.SkipWithError(("connections did not arrive: " + measured->OutputTail()).c_str());
            break;
        }
        state.counters["heap_bytes_per_connection"] =
            (static_cast<double>(after) - static_cast<double>(before)) / count;
        measured.reset();
        warmUp.reset();
        RunUntil(io, [&] { return receiver.closed == kWarmUp + count; }, 10s);
        transport->Close();
        io.poll();
    }
}

void BM_HeapPerOpenedTlsConnection(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    zel::sip::test::TempDir scratch;
    for (auto _ : state) {
        zel::sip::test::ChildProcess servers(
            {SelfPath(), "--peer", "servers", std::to_string(kWarmUp + count), Certificates().root},
            scratch.File("servers.log"));
        if (!zel::sip::test::WaitUntil([&] { return servers.Printed({"ports: "}) || !servers.Running(); }, 30s) ||
            !servers.Printed({"ports: "})) {
            state.SkipWithError(("the TLS servers did not start: " + servers.OutputTail()).c_str());
            break;
        }
        std::istringstream line(servers.Output().substr(servers.Output().find("ports: ") + 7));
        std::vector<std::uint16_t> ports;
        for (unsigned port = 0; line >> port;)
            ports.push_back(static_cast<std::uint16_t>(port));

        boost::asio::io_context io;
        Counter receiver;
        auto transport = MakeTlsTransport(io, Loopback(receiver, count + kWarmUp), Security(Certificates().root));
        auto open = [&](int from, int to) {
            for (int i = from; i < to; ++i)
                transport->Send(Tuple{boost::asio::ip::make_address("127.0.0.1"), ports.at(static_cast<std::size_t>(i)),
                                      TransportType::TLS},
                                Request(i));
            return RunUntil(io, [&] { return receiver.messages == to || receiver.failures > 0; }, 60s) &&
                   receiver.failures == 0;
        };
        if (!open(0, kWarmUp)) {
            state.SkipWithError("warm-up connections failed");
            break;
        }
        const std::size_t before = HeapInUse();
        const bool answered = open(kWarmUp, kWarmUp + count);
        const std::size_t after = HeapInUse();
        if (!answered) {
            state.SkipWithError("connections failed");
            break;
        }
        state.counters["heap_bytes_per_connection"] =
            (static_cast<double>(after) - static_cast<double>(before)) / count;
        transport->Close();
        io.poll();
    }
}

} // namespace

BENCHMARK(BM_HeapPerAcceptedTlsConnection)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HeapPerOpenedTlsConnection)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--peer")
        return RunPeer(std::vector<std::string>(argv + 2, argv + argc));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

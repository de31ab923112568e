// Messages per second through our UDP, TCP, DTLS and TLS transports on loopback, against the ceiling
// of a plain Asio UDP echo on the same machine in the same run. Each iteration sends a window of
// messages from one endpoint to the other, which echoes each one back; the iteration ends when
// the whole window has come back. `vs_asio_udp` is the rate divided by the ceiling's.
#include "stack/transport/TransportReceiver.h"
#include "stack/transport/Transports.h"

#include "../tests/stack/transport/TestCertificates.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace zel::sip::stack;
using boost::asio::ip::make_address;
using boost::asio::ip::udp;

constexpr int kWindow = 32;

/// A typical 600-byte SIP request.
const std::string& SipMessage() {
    static const std::string message = [] {
        std::string head = "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
                           "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK74bf9;rport\r\n"
                           "Max-Forwards: 70\r\n"
                           "From: Alice <sip:alice@atlanta.example.com>;tag=9fxced76sl\r\n"
                           "To: Bob <sip:bob@biloxi.example.com>\r\n"
                           "Call-ID: 3848276298220188511@atlanta.example.com\r\n"
                           "CSeq: 1 INVITE\r\n"
                           "Contact: <sip:alice@127.0.0.1:5060>\r\n"
                           "Content-Type: application/sdp\r\n";
        std::string body = "v=0\r\no=alice 2890844526 2890844526 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
                           "t=0 0\r\nm=audio 49170 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\n";
        const std::size_t fixed = head.size() + body.size() + std::string("Content-Length: 000\r\n\r\n").size();
        body += "a=x-pad:" + std::string(600 - fixed - 10, 'p') + "\r\n";
        return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }();
    return message;
}

double g_ceiling = 0; // messages per second of the plain Asio echo

void Report(benchmark::State& state, std::int64_t messages, std::chrono::steady_clock::duration elapsed,
            bool isCeiling) {
    const double rate = static_cast<double>(messages) / std::chrono::duration<double>(elapsed).count();
    state.counters["msgs_per_s"] = rate;
    if (isCeiling)
        g_ceiling = rate;
    if (g_ceiling > 0)
        state.counters["vs_asio_udp"] = rate / g_ceiling;
    state.SetItemsProcessed(messages);
}

void BM_AsioUdpEcho(benchmark::State& state) {
    boost::asio::io_context io;
    udp::socket a(io, udp::endpoint(make_address("127.0.0.1"), 0));
    udp::socket b(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const auto aEndpoint = a.local_endpoint();
    const auto bEndpoint = b.local_endpoint();
    std::array<char, 2048> aBuffer{}, bBuffer{};
    udp::endpoint bSender;
    int returned = 0;
    std::function<void()> aReceive = [&] {
        a.async_receive(boost::asio::buffer(aBuffer), [&](const boost::system::error_code& error, std::size_t) {
            if (error)
                return;
            ++returned;
            aReceive();
        });
    };
    std::function<void()> bReceive = [&] {
        b.async_receive_from(boost::asio::buffer(bBuffer), bSender, [&](const boost::system::error_code& error, std::size_t size) {
            if (error)
                return;
            auto echo = std::make_shared<std::string>(bBuffer.data(), size);
            b.async_send_to(boost::asio::buffer(*echo), bSender, [echo](const boost::system::error_code&, std::size_t) {});
            bReceive();
        });
    };
    aReceive();
    bReceive();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        returned = 0;
        for (int i = 0; i < kWindow; ++i) {
            auto copy = std::make_shared<std::string>(SipMessage());
            a.async_send_to(boost::asio::buffer(*copy), bEndpoint, [copy](const boost::system::error_code&, std::size_t) {});
        }
        while (returned < kWindow)
            io.run_one();
    }
    Report(state, state.iterations() * kWindow, std::chrono::steady_clock::now() - start, true);
    (void)aEndpoint;
}

class Echo : public TransportReceiver {
public:
    void OnMessage(const Tuple& source, const Tuple&, std::string_view message) override {
        if (echoTo)
            echoTo->Send(source, std::string(message));
        else
            ++returned;
    }
    void OnSendFailed(const Tuple&, const std::error_code&) override { ++failed; }
    Transport* echoTo = nullptr;
    int returned = 0;
    int failed = 0;
};

using Factory = std::function<std::shared_ptr<Transport>(boost::asio::io_context&, const TransportOptions&)>;

void RunTransportEcho(benchmark::State& state, const Factory& make) {
    boost::asio::io_context io;
    Echo aReceiver, bReceiver;
    TransportOptions options;
    options.bindAddress = "127.0.0.1";
    options.receiver = &aReceiver;
    auto a = make(io, options);
    options.receiver = &bReceiver;
    auto b = make(io, options);
    bReceiver.echoTo = b.get();
    // The first exchange opens the connection or association outside the measurement.
    a->Send(b->LocalTuple(), SipMessage());
    while (aReceiver.returned < 1 && aReceiver.failed == 0 && bReceiver.failed == 0)
        io.run_one_for(std::chrono::seconds(5));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        aReceiver.returned = 0;
        for (int i = 0; i < kWindow; ++i)
            a->Send(b->LocalTuple(), SipMessage());
        while (aReceiver.returned < kWindow && aReceiver.failed == 0)
            io.run_one();
    }
    Report(state, state.iterations() * kWindow, std::chrono::steady_clock::now() - start, false);
    if (aReceiver.failed || bReceiver.failed)
        state.SkipWithError("a send failed");
    a->Close();
    b->Close();
    io.poll();
}

void BM_OurUdpEcho(benchmark::State& state) { RunTransportEcho(state, MakeUdpTransport); }

void BM_OurTcpEcho(benchmark::State& state) { RunTransportEcho(state, MakeTcpTransport); }

/// Our test certificates as the server's settings of a secure transport.
SecuritySettings TestSecurity() {
    static zel::sip::stack::test::TestCertificates certificates;
    SecuritySettings security;
    security.caDirectoryPath = certificates.caDir;
    security.certificatePath = certificates.Certificate("server");
    security.privateKeyPath = certificates.Key("server");
    return security;
}

void BM_OurDtlsEcho(benchmark::State& state) {
    const SecuritySettings security = TestSecurity();
    RunTransportEcho(state, [&](boost::asio::io_context& io, const TransportOptions& options) {
        return MakeDtlsTransport(io, options, security);
    });
}

void BM_OurTlsEcho(benchmark::State& state) {
    const SecuritySettings security = TestSecurity();
    RunTransportEcho(state, [&](boost::asio::io_context& io, const TransportOptions& options) {
        return MakeTlsTransport(io, options, security);
    });
}

} // namespace

BENCHMARK(BM_AsioUdpEcho)->UseRealTime();
BENCHMARK(BM_OurUdpEcho)->UseRealTime();
BENCHMARK(BM_OurTcpEcho)->UseRealTime();
BENCHMARK(BM_OurDtlsEcho)->UseRealTime();
BENCHMARK(BM_OurTlsEcho)->UseRealTime();

BENCHMARK_MAIN();

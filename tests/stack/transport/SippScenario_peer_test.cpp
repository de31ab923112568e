// SIPp as a real peer: it runs OPTIONS and INVITE scenarios against our UDP and TCP transports,
// answered by a minimal responder that echoes the dialog headers.

#include "stack/transport/Transports.h"

#include "TransportTestSupport.h"

#include <boost/algorithm/string/predicate.hpp>

#include <gtest/gtest.h>

#include <optional>

#include "support/Sipp.h"

namespace zel::sip::stack {
namespace {

/// The 200 for a request: Via, From, To (with a tag added), Call-ID and CSeq copied.
std::string OkFor(std::string_view request) {
    std::string response = "SIP/2.0 200 OK\r\n";
    std::size_t position = request.find("\r\n") + 2;
    while (position < request.size()) {
        const std::size_t end = request.find("\r\n", position);
        const std::string_view line = request.substr(position, end - position);
        position = end + 2;
        if (line.empty())
            break;
        const std::string_view name = line.substr(0, line.find(':'));
        for (const char* copied : {"Via", "From", "Call-ID", "CSeq"})
            if (boost::algorithm::iequals(name, copied))
                response.append(line).append("\r\n");
        if (boost::algorithm::iequals(name, "To")) {
            response.append(line);
            if (line.find(";tag=") == std::string_view::npos)
                response.append(";tag=zel");
            response.append("\r\n");
        }
    }
    return response + "Contact: <sip:test@127.0.0.1>\r\nContent-Length: 0\r\n\r\n";
}

/// Runs SIPp for `calls` calls of `scenario` against `target`, serving `io` meanwhile; returns its
/// exit status (0: every call succeeded), or -1 when it had to be stopped.
int RunSipp(boost::asio::io_context& io, const std::string& scenario, const char* transportMode, const Tuple& target,
            int calls) {
    zel::sip::test::SippClient client;
    client.scenario = {"-sf", zel::sip::test::SippScenario(scenario)};
    client.transport = transportMode;
    client.remote = target.address.to_string() + ":" + std::to_string(target.port);
    client.calls = calls;
    client.rate = 50;
    client.limit = 2;
    client.timeout = "20s";
    client.extra = {"-nd"};
    const test::TempDir dir;
    test::ChildProcess sipp(zel::sip::test::SippArguments(client), dir.File("sipp.out"));
    test::RunUntil(io, [&] { return !sipp.Running(); }, std::chrono::seconds(30));
    const std::optional<int> status = sipp.WaitForExit(std::chrono::milliseconds(0));
    return status ? *status : -1;
}

struct SippCase {
    const char* scenario;
    const char* sippTransport; // u1: UDP, one socket; t1: TCP, one connection
    TransportType transport;
    int requestsPerCall;
};

class SippScenario : public ::testing::TestWithParam<SippCase> {};

TEST_P(SippScenario, EveryCallSucceeds) {
    if (!zel::sip::test::SippInstalled())
        GTEST_SKIP() << "sipp is not installed";
    const SippCase& c = GetParam();
    constexpr int kCalls = 5;
    boost::asio::io_context io;
    test::RecordingReceiver receiver;
    TransportOptions options;
    options.bindAddress = "127.0.0.1";
    options.receiver = &receiver;
    auto transport = c.transport == TransportType::UDP ? MakeUdpTransport(io, options) : MakeTcpTransport(io, options);
    receiver.onMessage = [&](const test::Received& received) {
        if (!received.message.starts_with("SIP/2.0") && !received.message.starts_with("ACK "))
            transport->Send(received.source, OkFor(received.message));
    };

    EXPECT_EQ(RunSipp(io, c.scenario, c.sippTransport, transport->LocalTuple(), kCalls), 0);
    std::size_t requests = 0;
    for (const auto& received : receiver.received)
        if (!received.message.starts_with("ACK "))
            ++requests;
    EXPECT_GE(requests, std::size_t(kCalls * c.requestsPerCall)); // retransmissions may add some
    EXPECT_TRUE(receiver.failures.empty());
    transport->Close();
    test::Drain(io);
}

INSTANTIATE_TEST_SUITE_P(Loopback, SippScenario,
                         ::testing::Values(SippCase{"options_uac.xml", "u1", TransportType::UDP, 1},
                                           SippCase{"options_uac.xml", "t1", TransportType::TCP, 1},
                                           SippCase{"invite_uac.xml", "u1", TransportType::UDP, 2},
                                           SippCase{"invite_uac.xml", "t1", TransportType::TCP, 2}),
                         [](const auto& param) {
                             return std::string(param.param.scenario).substr(0, 6) +
                                    std::string(ToString(param.param.transport));
                         });

} // namespace
} // namespace zel::sip::stack

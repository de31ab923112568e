// SIPp as a real peer: it runs OPTIONS and INVITE scenarios against our UDP and TCP transports,
// answered by a minimal responder that echoes the dialog headers.

#include "stack/transport/Transports.h"

#include "TransportTestSupport.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

extern char** environ;

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;

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

/// A port free for both UDP and TCP on the loopback, for SIPp's own socket.
std::uint16_t FreePort() {
    boost::asio::io_context io;
    for (;;) {
        boost::asio::ip::udp::socket udp(io, boost::asio::ip::udp::endpoint(make_address("127.0.0.1"), 0));
        const auto port = udp.local_endpoint().port();
        boost::system::error_code error;
        boost::asio::ip::tcp::acceptor tcp(io);
        tcp.open(boost::asio::ip::tcp::v4());
        tcp.bind(boost::asio::ip::tcp::endpoint(make_address("127.0.0.1"), port), error);
        if (!error)
            return port;
    }
}

/// Runs SIPp for `calls` calls of `scenario` against `target`, serving `io` meanwhile; returns its
/// exit status (0: every call succeeded), or -1 when it had to be killed.
int RunSipp(boost::asio::io_context& io, const std::string& scenario, const char* transportMode, const Tuple& target,
            int calls) {
    const std::string scenarioPath = std::string(ZEL_TEST_DATA_DIR) + "/sipp/" + scenario;
    const std::string remote = target.address.to_string() + ":" + std::to_string(target.port);
    const std::string localPort = std::to_string(FreePort());
    const std::string callCount = std::to_string(calls);
    std::vector<std::string> arguments{"sipp", "-sf", scenarioPath, "-t", transportMode, "-i", "127.0.0.1",
                                       "-p", localPort, "-m", callCount, "-l", "2", "-r", "50",
                                       "-nostdin", "-timeout", "20s", "-timeout_error", "-nd", remote};
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "sipp", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -2;

    int status = 0;
    bool exited = false;
    test::RunUntil(
        io, [&] { return exited = exited || waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30));
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SippInstalled() { return system("command -v sipp >/dev/null 2>&1") == 0; }

struct SippCase {
    const char* scenario;
    const char* sippTransport; // u1: UDP, one socket; t1: TCP, one connection
    TransportType transport;
    int requestsPerCall;
};

class SippScenario : public ::testing::TestWithParam<SippCase> {};

TEST_P(SippScenario, EveryCallSucceeds) {
    if (!SippInstalled())
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

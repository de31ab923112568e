// Ten thousand TCP connections open at once, held by a separate process: every one is served.
#include "TransportTestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace zel::sip::stack {
namespace {

constexpr std::size_t kConnections = 10000;

/// Raises this process's descriptor limit to what the connections need; false when the hard
/// limit does not allow it.
bool EnoughDescriptors(std::size_t needed) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < needed)
        return false;
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = needed;
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    return true;
}

TEST(ManyConnections, TenThousandTcpPeersAreEachAnswered) {
    if (!test::PythonHas("asyncio"))
        GTEST_SKIP() << "python3 is not installed";
    if (!EnoughDescriptors(kConnections + 512))
        GTEST_SKIP() << "the descriptor limit is below " << kConnections + 512;
    boost::asio::io_context io;
    test::RecordingReceiver receiver;
    TransportOptions options = test::Options(receiver);
    options.limits.maxConnections = kConnections + 16;
    options.limits.reservedOutgoingConnections = 16;
    options.limits.maxAcceptedPerAddress = kConnections; // every peer is on 127.0.0.1
    std::shared_ptr<Transport> transport = MakeTcpTransport(io, options);
    receiver.onMessage = [&](const test::Received& message) {
        const std::size_t lineEnd = message.message.find("\r\n");
        transport->Send(message.source, "SIP/2.0 200 OK" + message.message.substr(lineEnd));
    };
    const test::ForeignRun run = test::RunForeignPeer(
        io,
        {"/usr/bin/python3", test::ToolScript("tcp_many_clients.py"), "127.0.0.1",
         std::to_string(transport->LocalTuple().port), std::to_string(kConnections)},
        std::chrono::minutes(5));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_NE(run.output.find("connected " + std::to_string(kConnections)), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("answered " + std::to_string(kConnections)), std::string::npos) << run.output;
    EXPECT_EQ(receiver.received.size(), kConnections);
    EXPECT_EQ(transport->Statistics().connectionsRejected, 0u);
    test::CloseAll(io, {transport});
}

} // namespace
} // namespace zel::sip::stack

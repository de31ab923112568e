// Server location that needs no DNS server: numeric hosts, cancelled queries, bad settings.

#include "ServerLocatorTestSupport.h"

#include "stack/dns/DnsError.h"
#include "stack/dns/ServerLocator.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace zel::sip::stack {
namespace {

TEST_F(ServerLocatorTest, NumericHostsNeedNoServer) {
    // Nothing listens on the server port: any query would fail.
    LoopbackUdpSocket closed;
    const std::string server = closed.Address();
    closed.Close();
    struct Case {
        Destination destination;
        std::string expected;
        std::string tlsName;
    };
    const std::vector<Case> cases{
        {Dest("192.0.2.1"), "192.0.2.1:5060 UDP", "192.0.2.1"},
        {Dest("192.0.2.1", {}, {}, true), "192.0.2.1:5061 TLS", "192.0.2.1"},
        {Dest("192.0.2.1", 5080, TT::TCP), "192.0.2.1:5080 TCP", "192.0.2.1"},
        {Dest("[2001:db8::1]"), "[2001:db8::1]:5060 UDP", "2001:db8::1"},
        {Dest("2001:db8::1", 5090, TT::TCP, true), "[2001:db8::1]:5090 TLS", "2001:db8::1"},
    };
    ServerLocator locator(io, Settings(server));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination.host);
        const auto outcome = Locate(locator, c.destination);
        ASSERT_FALSE(outcome.error) << outcome.error.message();
        ASSERT_EQ(outcome.Tuples(), std::vector<std::string>{c.expected});
        EXPECT_EQ(outcome.targets.All().front().tlsName, c.tlsName);
        EXPECT_TRUE(outcome.targets.All().front().hostName.empty());
    }
}

TEST_F(ServerLocatorTest, CancelledRequestsAreNeverAnswered) {
    LoopbackUdpSocket silent;
    DnsSettings settings = Settings(silent.Address());
    settings.timeout = std::chrono::milliseconds(100);
    settings.tries = 1;

    // Cancel: the handler is not called, the query still ends.
    {
        ServerLocator locator(io, settings);
        bool called = false;
        const auto id = locator.Locate(Dest("example.test", 5060), [&](std::error_code, TargetList) { called = true; });
        locator.Cancel(id);
        io.restart();
        io.run_for(std::chrono::seconds(10));
        EXPECT_FALSE(called);
    }
    // Destroying the locator with queries on the wire: no handler, nothing left to run.
    {
        bool called = false;
        auto locator = std::make_unique<ServerLocator>(io, settings);
        locator->Locate(Dest("example.test", 5060), [&](std::error_code, TargetList) { called = true; });
        locator->Locate(Dest("192.0.2.7"), [&](std::error_code, TargetList) { called = true; });
        locator.reset();
        io.restart();
        io.run_for(std::chrono::seconds(10));
        EXPECT_FALSE(called);
    }
}

TEST(ServerLocatorSettings, BadSettingsAreRejected) {
    boost::asio::io_context io;
    DnsSettings settings;
    settings.transports.clear();
    EXPECT_THROW(ServerLocator(io, settings), std::invalid_argument);
    settings = {};
    settings.tries = 0;
    EXPECT_THROW(ServerLocator(io, settings), std::invalid_argument);
    settings = {};
    settings.servers = {"not an address"};
    EXPECT_THROW(ServerLocator(io, settings), std::invalid_argument);
    settings = {};
    settings.maxTargets = 0;
    EXPECT_THROW(ServerLocator(io, settings), std::invalid_argument);
}

} // namespace
} // namespace zel::sip::stack

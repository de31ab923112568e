// Server location (RFC 3263) against dnsmasq on the loopback.

#include "ServerLocatorTestSupport.h"
#include "support/Dnsmasq.h"

#include "stack/dns/DnsError.h"
#include "stack/dns/ServerLocator.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel::sip::stack {
namespace {

using zel::sip::test::Dnsmasq;

// sip:example.test has NAPTR records for UDP (preferred), TCP, TLS and SCTP (not supported);
// srvonly.test has SRV records for TCP and TLS only; plain.test has an address only.
const std::vector<std::string> kZone{
    R"(naptr-record=example.test,10,50,"s","SIP+D2T","","_sip._tcp.example.test")",
    R"(naptr-record=example.test,10,40,"s","SIP+D2U","","_sip._udp.example.test")",
    R"(naptr-record=example.test,20,10,"s","SIPS+D2T","","_sips._tcp.example.test")",
    R"(naptr-record=example.test,5,10,"s","SIP+D2S","","_sip._sctp.example.test")",
    "srv-host=_sip._udp.example.test,udp1.example.test,5070,10,0",
    "srv-host=_sip._tcp.example.test,tcp1.example.test,5071,10,0",
    "srv-host=_sips._tcp.example.test,tls1.example.test,5072,10,0",
    "srv-host=_sip._sctp.example.test,udp1.example.test,5079,10,0",
    "host-record=example.test,127.0.0.10",
    "host-record=udp1.example.test,127.0.0.11",
    "host-record=tcp1.example.test,127.0.0.12,::12",
    "host-record=tls1.example.test,127.0.0.13",
    "srv-host=_sip._tcp.srvonly.test,tcp.srvonly.test,5081,10,0",
    "srv-host=_sips._tcp.srvonly.test,tls.srvonly.test,5082,10,0",
    "host-record=tcp.srvonly.test,127.0.0.31",
    "host-record=tls.srvonly.test,127.0.0.32",
    "host-record=plain.test,127.0.0.20,::20",
    "srv-host=_sip._udp.weighted.test,w1.weighted.test,5001,10,1",
    "srv-host=_sip._udp.weighted.test,w3.weighted.test,5003,10,3",
    "srv-host=_sip._udp.weighted.test,backup.weighted.test,5009,20,100",
    "host-record=w1.weighted.test,127.0.0.41",
    "host-record=w3.weighted.test,127.0.0.43",
    "host-record=backup.weighted.test,127.0.0.49",
    "srv-host=_sip._udp.down.test,.",
    "srv-host=_sip._udp.dup.test,d1.dup.test,5060,10,0",
    "srv-host=_sip._udp.dup.test,d2.dup.test,5060,20,0",
    "host-record=d1.dup.test,127.0.0.60",
    "host-record=d2.dup.test,127.0.0.61",
    "host-record=d2.dup.test,127.0.0.60",
    "host-record=down.test,127.0.0.50",
};

TEST_F(ServerLocatorTest, FollowsNaptrThenSrvThenAddresses) {
    Dnsmasq dns(kZone);
    ServerLocator locator(io, Settings(dns.Address()));

    auto outcome = Locate(locator, Dest("example.test"));
    ASSERT_FALSE(outcome.error) << outcome.error.message();
    // NAPTR order 10 (UDP preference 40, then TCP), then order 20 (TLS); SCTP is not supported.
    EXPECT_EQ(outcome.Tuples(), (std::vector<std::string>{"127.0.0.11:5070 UDP", "127.0.0.12:5071 TCP",
                                                          "[::12]:5071 TCP", "127.0.0.13:5072 TLS"}));
    const Target& first = outcome.targets.All().front();
    EXPECT_EQ(first.tlsName, "example.test");
    EXPECT_EQ(first.hostName, "udp1.example.test");

    // Failover walks the same order, then runs out.
    TargetList& list = outcome.targets;
    std::vector<std::string> walked;
    for (; !list.Exhausted(); list.Next())
        walked.push_back(ToString(list.Current()->tuple));
    EXPECT_EQ(walked, outcome.Tuples());
    EXPECT_EQ(list.Current(), nullptr);
    EXPECT_FALSE(list.Next());
}

TEST_F(ServerLocatorTest, SelectsTransportsAndFamilies) {
    Dnsmasq dns(kZone);
    struct Case {
        const char* name;
        Destination destination;
        AddressFamilies families;
        std::vector<TransportType> transports;
        std::vector<std::string> expected;
    };
    const std::vector<TT> all{TT::UDP, TT::TCP, TT::TLS};
    const std::vector<Case> cases{
        {"sips keeps the secure NAPTR only", Dest("example.test", {}, {}, true), AddressFamilies::PreferIPv4, all,
         {"127.0.0.13:5072 TLS"}},
        {"unsupported transports are skipped", Dest("example.test"), AddressFamilies::PreferIPv4, {TT::TCP},
         {"127.0.0.12:5071 TCP", "[::12]:5071 TCP"}},
        {"IPv6 first", Dest("example.test", {}, TT::TCP), AddressFamilies::PreferIPv6, all,
         {"[::12]:5071 TCP", "127.0.0.12:5071 TCP"}},
        {"IPv6 only", Dest("example.test", {}, TT::TCP), AddressFamilies::IPv6Only, all, {"[::12]:5071 TCP"}},
        {"transport parameter: SRV of that transport", Dest("example.test", {}, TT::TCP),
         AddressFamilies::IPv4Only, all, {"127.0.0.12:5071 TCP"}},
        {"sips with transport tcp means TLS", Dest("example.test", {}, TT::TCP, true), AddressFamilies::IPv4Only,
         all, {"127.0.0.13:5072 TLS"}},
        {"explicit port: addresses of the host, no NAPTR or SRV", Dest("example.test", 5099),
         AddressFamilies::PreferIPv4, all, {"127.0.0.10:5099 UDP"}},
        {"explicit port and transport", Dest("plain.test", 5099, TT::TCP), AddressFamilies::PreferIPv4, all,
         {"127.0.0.20:5099 TCP", "[::20]:5099 TCP"}},
        {"explicit port on sips", Dest("plain.test", 5099, {}, true), AddressFamilies::IPv4Only, all,
         {"127.0.0.20:5099 TLS"}},
        {"no NAPTR: SRV per supported transport", Dest("srvonly.test"), AddressFamilies::PreferIPv4, all,
         {"127.0.0.31:5081 TCP", "127.0.0.32:5082 TLS"}},
        {"no NAPTR, sips: secure SRV only", Dest("srvonly.test", {}, {}, true), AddressFamilies::PreferIPv4, all,
         {"127.0.0.32:5082 TLS"}},
        {"no SRV: UDP on 5060 for sip", Dest("plain.test"), AddressFamilies::PreferIPv4, all,
         {"127.0.0.20:5060 UDP", "[::20]:5060 UDP"}},
        {"no SRV: TLS on 5061 for sips", Dest("plain.test", {}, {}, true), AddressFamilies::IPv4Only, all,
         {"127.0.0.20:5061 TLS"}},
        {"no SRV, transport given: its default port", Dest("plain.test", {}, TT::TCP), AddressFamilies::IPv4Only,
         all, {"127.0.0.20:5060 TCP"}},
        {"SRV target '.': the domain's address", Dest("down.test", {}, TT::UDP), AddressFamilies::IPv4Only, all,
         {"127.0.0.50:5060 UDP"}},
        {"two SRV targets with one address: tried once", Dest("dup.test", {}, TT::UDP), AddressFamilies::IPv4Only,
         all, {"127.0.0.60:5060 UDP", "127.0.0.61:5060 UDP"}},
        {"name case and trailing dot do not matter", Dest("PLAIN.Test.", 5099), AddressFamilies::IPv4Only, all,
         {"127.0.0.20:5099 UDP"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DnsSettings settings = Settings(dns.Address());
        settings.families = c.families;
        settings.transports = c.transports;
        ServerLocator locator(io, settings);
        const auto outcome = Locate(locator, c.destination);
        EXPECT_FALSE(outcome.error) << outcome.error.message();
        EXPECT_EQ(outcome.Tuples(), c.expected);
    }
}

TEST_F(ServerLocatorTest, ReportsClearErrors) {
    Dnsmasq dns(kZone);
    LoopbackUdpSocket silent; // bound, never answers
    LoopbackUdpSocket closed;
    const std::string refused = closed.Address();
    closed.Close();
    struct Case {
        const char* name;
        std::string server;
        Destination destination;
        std::vector<TransportType> transports;
        DnsError expected;
    };
    const std::vector<TT> all{TT::UDP, TT::TCP, TT::TLS};
    const std::vector<Case> cases{
        {"NXDOMAIN", dns.Address(), Dest("missing.test"), all, DnsError::NotFound},
        {"NXDOMAIN with a port", dns.Address(), Dest("missing.test", 5060), all, DnsError::NotFound},
        {"name without addresses", dns.Address(), Dest("_sip._udp.example.test", 5060), all, DnsError::NoRecords},
        {"server refuses (outside its zone)", dns.Address(), Dest("example.invalid", 5060), all,
         DnsError::Refused},
        {"server does not answer", silent.Address(), Dest("example.test", 5060), all, DnsError::Timeout},
        {"nothing listens on the server port", refused, Dest("example.test", 5060), all,
         DnsError::Refused},
        {"empty host", dns.Address(), Dest(""), all, DnsError::BadName},
        {"empty label", dns.Address(), Dest("a..test"), all, DnsError::BadName},
        {"overlong label", dns.Address(), Dest(std::string(64, 'a') + ".test"), all, DnsError::BadName},
        {"sips over UDP", dns.Address(), Dest("example.test", {}, TT::UDP, true), all,
         DnsError::UnsupportedTransport},
        {"transport not supported", dns.Address(), Dest("192.0.2.1", {}, TT::WS), all,
         DnsError::UnsupportedTransport},
        {"sips without a secure transport", dns.Address(), Dest("example.test", {}, {}, true), {TT::UDP, TT::TCP},
         DnsError::UnsupportedTransport},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DnsSettings settings = Settings(c.server);
        settings.transports = c.transports;
        settings.timeout = std::chrono::milliseconds(100);
        settings.tries = 1;
        settings.families = AddressFamilies::IPv4Only;
        ServerLocator locator(io, settings);
        const auto outcome = Locate(locator, c.destination);
        EXPECT_EQ(outcome.error, make_error_code(c.expected)) << outcome.error.message();
        EXPECT_TRUE(outcome.targets.All().empty());
    }
}

TEST_F(ServerLocatorTest, AnswersComeFromTheCacheOnceTheServerIsGone) {
    auto dns = std::make_unique<Dnsmasq>(kZone);
    ServerLocator locator(io, Settings(dns->Address()));
    const auto first = Locate(locator, Dest("example.test"));
    ASSERT_FALSE(first.error) << first.error.message();
    const auto missing = Locate(locator, Dest("missing.test"));
    ASSERT_EQ(missing.error, make_error_code(DnsError::NotFound));

    dns->Stop();
    const auto second = Locate(locator, Dest("example.test"));
    EXPECT_FALSE(second.error) << second.error.message();
    EXPECT_EQ(second.Tuples(), first.Tuples());
    // NXDOMAIN is cached too, for a bounded time.
    EXPECT_EQ(Locate(locator, Dest("missing.test")).error, make_error_code(DnsError::NotFound));
    // A name never asked for does need the server, which is gone.
    EXPECT_TRUE(IsTransient(Locate(locator, Dest("plain.test", 5060)).error));

    locator.Client().ClearCache();
    EXPECT_TRUE(IsTransient(Locate(locator, Dest("example.test")).error));
}

TEST_F(ServerLocatorTest, OrdersSrvByPriorityAndWeight) {
    Dnsmasq dns(kZone);
    ServerLocator locator(io, Settings(dns.Address()));
    // Weights 1 and 3 at priority 10: the weight 3 record comes first about three times in four
    // (RFC 2782). 200 draws, bounds about six standard deviations wide.
    constexpr int kDraws = 200;
    int heavyFirst = 0;
    for (int i = 0; i < kDraws; ++i) {
        const auto outcome = Locate(locator, Dest("weighted.test", {}, TT::UDP));
        ASSERT_EQ(outcome.Tuples().size(), 3u);
        const auto tuples = outcome.Tuples();
        ASSERT_EQ(tuples[2], "127.0.0.49:5009 UDP"); // priority 20 always last
        heavyFirst += tuples[0] == "127.0.0.43:5003 UDP" ? 1 : 0;
    }
    EXPECT_GT(heavyFirst, kDraws * 55 / 100);
    EXPECT_LT(heavyFirst, kDraws * 93 / 100);
}

TEST_F(ServerLocatorTest, FailedTargetsComeLast) {
    Dnsmasq dns(kZone);
    ServerLocator locator(io, Settings(dns.Address()));
    const auto first = Locate(locator, Dest("example.test"));
    ASSERT_EQ(first.Tuples().size(), 4u);
    const Tuple failed = first.targets.All().front().tuple;

    locator.ReportFailure(failed);
    auto after = Locate(locator, Dest("example.test")).Tuples();
    EXPECT_EQ(after.back(), ToString(failed));
    EXPECT_EQ(after.front(), first.Tuples()[1]);

    locator.ReportSuccess(failed);
    EXPECT_EQ(Locate(locator, Dest("example.test")).Tuples(), first.Tuples());

    locator.ReportFailure(failed, std::chrono::seconds(0));
    EXPECT_EQ(Locate(locator, Dest("example.test")).Tuples(), first.Tuples());
}

TEST_F(ServerLocatorTest, LargeAnswersComeOverTcp) {
    // 40 SRV records do not fit a 512 byte UDP answer: the server truncates it and c-ares asks again
    // over TCP, through the same socket watching.
    std::vector<std::string> zone;
    for (int i = 0; i < 40; ++i) {
        const std::string host = "server-with-a-long-name-" + std::to_string(i) + ".big.test";
        zone.push_back("srv-host=_sip._tcp.big.test," + host + "," + std::to_string(6000 + i) + ",10,1");
        zone.push_back("host-record=" + host + ",127.0.1." + std::to_string(i + 1));
    }
    Dnsmasq dns(zone);
    DnsSettings settings = Settings(dns.Address());
    settings.families = AddressFamilies::IPv4Only;
    ServerLocator locator(io, settings);
    const auto outcome = Locate(locator, Dest("big.test", {}, TT::TCP));
    ASSERT_FALSE(outcome.error) << outcome.error.message();
    EXPECT_EQ(outcome.targets.All().size(), 40u);
}

TEST_F(ServerLocatorTest, HostileAnswersAreBounded) {
    // 400 SRV records in 10 priorities, each naming a host with 64 addresses: 25,600 targets and 400
    // address questions if followed to the end. The bounds keep the SRV records of the best
    // priorities, ask about 64 hosts and hand back 128 targets, all from priority 0.
    std::vector<std::string> zone;
    for (int i = 0; i < 400; ++i) {
        const std::string host = "p" + std::to_string(i % 10) + "-h" + std::to_string(i) + ".hostile.test";
        zone.push_back("srv-host=_sip._udp.hostile.test," + host + ",5060," + std::to_string(i % 10) + ",1");
        for (int a = 1; a <= 64; ++a)
            zone.push_back("host-record=" + host + ",10." + std::to_string(i / 200) + "." + std::to_string(i % 200) +
                           "." + std::to_string(a));
    }
    Dnsmasq dns(zone);
    DnsSettings settings = Settings(dns.Address());
    settings.families = AddressFamilies::IPv4Only;
    ServerLocator locator(io, settings);

    // A timer on the same loop keeps ticking while the lookup runs: nothing holds the thread long.
    boost::asio::steady_timer ticker(io);
    int ticks = 0;
    std::function<void()> tick = [&] {
        ticker.expires_after(std::chrono::milliseconds(1));
        ticker.async_wait([&](boost::system::error_code error) {
            if (!error) {
                ++ticks;
                tick();
            }
        });
    };
    tick();
    const auto outcome = Locate(locator, Dest("hostile.test", {}, TT::UDP));
    ticker.cancel();
    ASSERT_FALSE(outcome.error) << outcome.error.message();
    EXPECT_EQ(outcome.targets.All().size(), settings.maxTargets);
    for (const auto& target : outcome.targets.All())
        EXPECT_EQ(target.hostName.substr(0, 3), "p0-") << target.hostName;
    // Every question answered is cached: one SRV question, then one A question per host kept.
    EXPECT_EQ(locator.Client().Cache().Size(), 1 + settings.maxNamesPerStep);
    EXPECT_GT(ticks, 0);
}

TEST_F(ServerLocatorTest, HandlerMayDestroyTheLocator) {
    Dnsmasq dns(kZone);
    auto locator = std::make_unique<ServerLocator>(io, Settings(dns.Address()));
    int calls = 0;
    // Both wait for the same questions; the first handler destroys the locator, so the second is dropped.
    for (int i = 0; i < 2; ++i)
        locator->Locate(Dest("example.test"), [&](std::error_code error, TargetList) {
            EXPECT_FALSE(error);
            ++calls;
            locator.reset();
        });
    io.run_for(std::chrono::seconds(10));
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace zel::sip::stack

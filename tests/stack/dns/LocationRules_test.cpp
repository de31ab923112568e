#include "stack/dns/LocationRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace zel::sip::stack {
namespace {

using TT = TransportType;

TEST(LocationRules, Transports) {
    EXPECT_EQ(TransportFor(TT::UDP, false), TT::UDP);
    EXPECT_EQ(TransportFor(TT::TCP, true), TT::TLS);
    EXPECT_EQ(TransportFor(TT::WS, true), TT::WSS);
    EXPECT_EQ(TransportFor(TT::UDP, true), std::nullopt);

    EXPECT_EQ(DefaultTransport(false, {TT::UDP, TT::TCP, TT::TLS}), TT::UDP);
    EXPECT_EQ(DefaultTransport(true, {TT::UDP, TT::TCP, TT::TLS}), TT::TLS);
    EXPECT_EQ(DefaultTransport(false, {TT::TCP, TT::TLS}), TT::TCP);
    EXPECT_EQ(DefaultTransport(true, {TT::UDP, TT::WSS}), TT::WSS);
    EXPECT_EQ(DefaultTransport(true, {TT::UDP, TT::TCP}), std::nullopt);

    EXPECT_EQ(TransportOfNaptrService("sips+d2t"), TT::TLS);
    EXPECT_EQ(TransportOfNaptrService("SIP+D2W"), TT::WS);
    EXPECT_EQ(TransportOfNaptrService("SIPS+D2W"), TT::WSS);
    EXPECT_EQ(TransportOfNaptrService("SIP+D2S"), std::nullopt);
    EXPECT_EQ(TransportOfNaptrService("E2U+sip"), std::nullopt);

    EXPECT_EQ(SrvName(TT::UDP, "example.com"), "_sip._udp.example.com");
    EXPECT_EQ(SrvName(TT::TLS, "example.com"), "_sips._tcp.example.com");
    EXPECT_EQ(SrvName(TT::WSS, "example.com"), "_sips._ws.example.com");
}

TEST(LocationRules, SelectNaptrFiltersAndOrders) {
    const std::vector<NaptrRecord> records{
        {20, 10, "S", "SIPS+D2T", "", "_sips._tcp.a"},
        {10, 60, "s", "SIP+D2T", "", "_sip._tcp.a"},
        {10, 50, "s", "SIP+D2U", "", "_sip._udp.a"},
        {5, 10, "s", "SIP+D2S", "", "_sip._sctp.a"},          // SCTP: not ours
        {5, 10, "u", "SIP+D2U", "!.*!sip:x@y!", ""},          // terminal URI rule: not for SIP servers
        {5, 10, "s", "SIP+D2U", "", "."},                      // no replacement
        {10, 50, "s", "SIP+D2U", "", "_sip._udp.a"},          // duplicate
        {30, 10, "s", "SIP+D2W", "", "_sip._ws.a"},           // WS not supported below
    };
    const std::vector<TT> supported{TT::UDP, TT::TCP, TT::TLS};
    EXPECT_EQ(SelectNaptr(records, false, supported),
              (std::vector<NaptrChoice>{{TT::UDP, "_sip._udp.a"}, {TT::TCP, "_sip._tcp.a"}, {TT::TLS, "_sips._tcp.a"}}));
    EXPECT_EQ(SelectNaptr(records, true, supported), (std::vector<NaptrChoice>{{TT::TLS, "_sips._tcp.a"}}));
    EXPECT_EQ(SelectNaptr(records, false, {TT::WS}), (std::vector<NaptrChoice>{{TT::WS, "_sip._ws.a"}}));
    EXPECT_TRUE(SelectNaptr(records, true, {TT::UDP, TT::TCP}).empty());
}

TEST(LocationRules, OrderSrvKeepsPriorityAndDropsDot) {
    std::mt19937 random(7);
    const std::vector<SrvRecord> records{
        {20, 0, 1, "c"}, {10, 5, 2, "a"}, {10, 0, 3, "b"}, {30, 1, 4, "."}, {5, 0, 5, "first"}};
    for (int i = 0; i < 50; ++i) {
        const auto ordered = OrderSrv(records, random);
        ASSERT_EQ(ordered.size(), 4u);
        EXPECT_EQ(ordered[0].target, "first");
        EXPECT_EQ(ordered[3].target, "c");
        EXPECT_EQ(ordered[1].priority, 10);
        EXPECT_EQ(ordered[2].priority, 10);
    }
}

TEST(LocationRules, OrderSrvDrawsWholeOrdersByWeight) {
    // Every order of weights 0, 1 and 9 has a known chance (RFC 2782, with the weight 0 record placed
    // first before each draw): first "nine" 9/11, then "zero" or "one" at 1/2 each; first "one" 1/11,
    // then "zero" 1/10; first "zero" 1/11, then "one" only for the largest number, 1/11. A record
    // drawn once must never come back.
    std::mt19937 random(2024);
    const std::vector<SrvRecord> records{{1, 9, 3, "nine"}, {1, 1, 2, "one"}, {1, 0, 1, "zero"}};
    const std::map<std::string, double> expected{
        {"nine one zero", 9.0 / 22}, {"nine zero one", 9.0 / 22}, {"one nine zero", 9.0 / 110},
        {"one zero nine", 1.0 / 110}, {"zero nine one", 10.0 / 121}, {"zero one nine", 1.0 / 121}};
    constexpr int kDraws = 20000;
    std::map<std::string, int> seen;
    for (int i = 0; i < kDraws; ++i) {
        const auto ordered = OrderSrv(records, random);
        ASSERT_EQ(ordered.size(), 3u);
        ++seen[ordered[0].target + " " + ordered[1].target + " " + ordered[2].target];
    }
    for (const auto& [order, count] : seen)
        EXPECT_TRUE(expected.contains(order)) << order;
    for (const auto& [order, chance] : expected) {
        // Six standard deviations of a binomial count.
        const double mean = kDraws * chance;
        const double spread = 6 * std::sqrt(mean * (1 - chance));
        EXPECT_NEAR(seen[order], mean, spread) << order;
    }
}

TEST(LocationRules, OrderSrvHandlesLargeSets) {
    // More records than any answer holds, in groups of odd sizes: the result is the same records,
    // by priority, and heavy records (weight 1000) come before light ones (weight 1) almost always.
    std::mt19937 random(99);
    std::vector<SrvRecord> records;
    for (int i = 0; i < 30001; ++i)
        records.push_back({static_cast<std::uint16_t>(i % 3), static_cast<std::uint16_t>(i % 2 ? 1000 : 1),
                           static_cast<std::uint16_t>(i % 65536), "h" + std::to_string(i)});
    const auto ordered = OrderSrv(records, random);
    ASSERT_EQ(ordered.size(), records.size());
    std::set<std::string> targets;
    for (const auto& record : ordered)
        targets.insert(record.target);
    EXPECT_EQ(targets.size(), records.size());
    EXPECT_TRUE(std::is_sorted(ordered.begin(), ordered.end(),
                               [](const SrvRecord& a, const SrvRecord& b) { return a.priority < b.priority; }));
    // In priority 0, the first half holds nearly all heavy records.
    std::size_t heavyEarly = 0;
    std::size_t heavy = 0;
    const std::size_t group = static_cast<std::size_t>(std::count_if(
        ordered.begin(), ordered.end(), [](const SrvRecord& r) { return r.priority == 0; }));
    for (std::size_t i = 0; i < group; ++i)
        if (ordered[i].weight == 1000) {
            ++heavy;
            heavyEarly += i < group / 2 ? 1 : 0;
        }
    EXPECT_GT(heavyEarly, heavy * 95 / 100);
}

} // namespace
} // namespace zel::sip::stack

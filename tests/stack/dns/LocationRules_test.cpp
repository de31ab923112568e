#include "stack/dns/LocationRules.h"

#include <gtest/gtest.h>

#include <map>

namespace zel::sip::stack {
namespace {

using TT = TransportType;

TEST(LocationRules, TransportsAndPorts) {
    EXPECT_EQ(DefaultPort(TT::UDP), 5060);
    EXPECT_EQ(DefaultPort(TT::TCP), 5060);
    EXPECT_EQ(DefaultPort(TT::TLS), 5061);
    EXPECT_EQ(DefaultPort(TT::WSS), 443);

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

TEST(LocationRules, OrderSrvDrawsByWeight) {
    // Weights 0, 1 and 9 at one priority: how often each comes first. A weight 0 record is drawn only
    // when the random number is 0 (chance 1/11); the others share the rest by weight. Loose bounds.
    std::mt19937 random(12345);
    const std::vector<SrvRecord> records{{1, 0, 1, "zero"}, {1, 1, 2, "one"}, {1, 9, 3, "nine"}};
    std::map<std::string, int> first;
    constexpr int kDraws = 2000;
    for (int i = 0; i < kDraws; ++i)
        ++first[OrderSrv(records, random).front().target];
    EXPECT_GT(first["zero"], kDraws * 4 / 100);
    EXPECT_LT(first["zero"], kDraws * 15 / 100);
    EXPECT_GT(first["nine"], kDraws * 75 / 100);
    EXPECT_LT(first["nine"], kDraws * 88 / 100);
    EXPECT_GT(first["one"], 0);
}

} // namespace
} // namespace zel::sip::stack

// The transaction layer's failover between the targets a DNS server (dnsmasq on the loopback)
// names, over a real UDP transport with a short T1.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LayerTestSupport.h"
#include "support/Dnsmasq.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TransactionUserMessage::Kind;
using zel::sip::test::Dnsmasq;

// RFC 3263 section 4.3: the next SRV target gets the request, with a new branch, after a 503 or a
// timeout at the first; the user sees only the outcome at the last target tried.
TEST_F(TransactionLayerTest, MovesToTheNextTargetAfterA503OrATimeout) {
    for (const bool firstAnswers503 : {true, false}) {
        SCOPED_TRACE(firstAnswers503 ? "503" : "timeout");
        UdpPeer second(io);
        std::unique_ptr<Dnsmasq> dns;
        try {
            dns = std::make_unique<Dnsmasq>(std::vector<std::string>{
                "srv-host=_sip._udp.failover.test,one.failover.test," + std::to_string(peer.Port()) + ",10,0",
                "srv-host=_sip._udp.failover.test,two.failover.test," + std::to_string(second.Port()) + ",20,0",
                "host-record=one.failover.test,127.0.0.1", "host-record=two.failover.test,127.0.0.1"});
        } catch (const std::exception& error) {
            GTEST_SKIP() << error.what();
        }
        DnsSettings dnsSettings;
        dnsSettings.servers = {dns->Address()};
        dnsSettings.useHostsFile = false;
        dnsSettings.timeout = milliseconds(500);
        ServerLocator locator(io, dnsSettings);
        layer.reset();
        events.clear();
        peer.received.clear();
        Start(steady, &locator);

        const TransactionId id = layer->AllocateId();
        layer->SendRequest(id, OutgoingOptions(), Destination{"failover.test", std::nullopt, TransportType::UDP, false});
        ASSERT_TRUE(RunUntil(io, [&] { return !peer.received.empty(); }));
        const SipMessage first = SipMessage::Parse(peer.received.front());
        if (firstAnswers503)
            peer.SendTo(udp->LocalTuple(), ResponseTo(first, 503, "one").Encode());
        ASSERT_TRUE(RunUntil(io, [&] { return !second.received.empty(); }, milliseconds(5000)));
        const SipMessage moved = SipMessage::Parse(second.received.front());
        EXPECT_NE(moved.Get<Via>(HeaderType::Via).Branch(), first.Get<Via>(HeaderType::Via).Branch());
        second.SendTo(udp->LocalTuple(), ResponseTo(moved, 200, "two").Encode());

        ASSERT_TRUE(RunUntil(io, [&] { return Has(id, Kind::Terminated); }, milliseconds(5000)));
        RunFor(io, milliseconds(100));
        const auto all = EventsOf(id);
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(all[0].kind, Kind::Response);
        EXPECT_EQ(all[0].message->StatusCode(), 200);
        EXPECT_EQ(all[1].kind, Kind::Terminated);
        layer.reset(); // before the locator it uses
    }
}

} // namespace
} // namespace zel::sip::stack::test

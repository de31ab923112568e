// Client registrations against real registrars on loopback: SIPp checking digest credentials (with
// packets lost on purpose), and kamailio with RFC 5626 outbound and RFC 3327 Path over UDP and TCP.

#include <gtest/gtest.h>

#include "support/Kamailio.h"
#include "support/TcpForwarder.h"
#include "stack/dum/DumTestSupport.h"

namespace zel::sip::stack::test {
namespace {

using zel::sip::test::ChildProcess;
using zel::sip::test::FreePort;
using zel::sip::test::Kamailio;
using zel::sip::test::ProgramInstalled;
using zel::sip::test::TcpForwarder;
using zel::sip::test::TempDir;
using zel::sip::test::UdpPortBound;
using zel::sip::test::WaitUntil;

std::string DataFile(const std::string& name) { return std::string(ZEL_TEST_DATA_DIR) + "/" + name; }

// SIPp answers the first REGISTER 401 and verifies the digest of the second (its verifyauth),
// then takes the removal, verified the same way; one in ten packets each way is lost.
TEST(RegistrationPeers, SippRegistrarVerifiesOurDigestDespiteLosses) {
    if (!ProgramInstalled("sipp")) {
        GTEST_SKIP() << "sipp is not installed";
    }
    constexpr int kRegistrations = 20;
    TempDir dir;
    const std::uint16_t port = FreePort();
    ChildProcess sipp({"sipp", "-sf", DataFile("sipp/registrar_digest_uas.xml"), "-i", "127.0.0.1", "-p",
                       std::to_string(port), "-m", std::to_string(kRegistrations), "-lost", "10", "-nostdin",
                       "-timeout", "120s", "-trace_err", "-error_file", dir.File("errors.log")},
                      dir.File("sipp.out"));
    ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(port); }, 10s));

    StackOptions options; // RFC 3261 timers: retransmissions must recover every loss
    DumUnderTest ua(options);
    ua.Profile()->AddDigestCredential(DigestCredential{"sipp.test", "alice", "secret"});
    const NameAddr aor = NameAddr::Parse("<sip:alice@127.0.0.1:" + std::to_string(port) + ">");
    for (int i = 0; i < kRegistrations; ++i) {
        ua.Manager().SendCommand(
            ua.Manager().MakeRegistration(aor, std::make_shared<UserProfile>(*ua.Profile()), 600));
    }
    ASSERT_TRUE(ua.Handler().WaitFor("success", kRegistrations, 90s))
        << ua.Handler().Count("failure") << " failures";
    for (auto& [id, handle] : ua.Handler().Registered()) {
        ua.OnDialogThread([handle = handle] { handle->End(); });
    }
    ASSERT_TRUE(ua.Handler().WaitFor("removed", kRegistrations, 90s));
    EXPECT_EQ(ua.Handler().Count("failure"), 0u);
    EXPECT_EQ(sipp.WaitForExit(30s), 0) << sipp.Output();
}

class KamailioOutbound : public ::testing::TestWithParam<TransportType> {
protected:
    void SetUp() override {
        if (!Kamailio::Installed()) {
            GTEST_SKIP() << "kamailio with its outbound module is not installed";
        }
    }
};

std::shared_ptr<UserProfile> OutboundProfile(DumUnderTest& ua, const std::string& proxy, int regId) {
    auto profile = std::make_shared<UserProfile>(*ua.Profile());
    profile->SetOutboundProxy(Uri::Parse(proxy));
    profile->SetExpressOutboundAsRouteSet(true);
    profile->SetKeepAliveTimeForDatagram(30);
    profile->SetKeepAliveTimeForStream(120);
    profile->SetInstanceId("<urn:uuid:6e1d7f2a-2b7c-4c55-9a3e-0b7c1d2e3f4" + std::to_string(regId) + ">");
    profile->SetRegId(regId);
    profile->SetClientOutboundEnabled(true);
    return profile;
}

// Two user agents register with outbound; kamailio confirms outbound (Require: outbound), so each
// registration keeps its flow alive.
TEST_P(KamailioOutbound, RegistersWithOutboundAndRemoves) {
    Kamailio kamailio;
    const std::string transport = GetParam() == TransportType::TCP ? ";transport=tcp" : "";
    const std::string proxy = "sip:127.0.0.1:" + std::to_string(kamailio.Port()) + transport;
    DumUnderTest alice;
    DumUnderTest bob;
    const std::string domain = "127.0.0.1:" + std::to_string(kamailio.Port());
    alice.Manager().SendCommand(alice.Manager().MakeRegistration(NameAddr::Parse("<sip:alice@" + domain + ">"),
                                                                 OutboundProfile(alice, proxy, 1), 600));
    bob.Manager().SendCommand(
        bob.Manager().MakeRegistration(NameAddr::Parse("<sip:bob@" + domain + ">"), OutboundProfile(bob, proxy, 1), 600));
    ASSERT_TRUE(alice.Handler().WaitFor("success")) << kamailio.Log();
    ASSERT_TRUE(bob.Handler().WaitFor("success")) << kamailio.Log();
    bool outbound = false;
    const ClientRegistrationHandle handle = alice.Handler().LastHandle();
    alice.OnDialogThread([&] { outbound = handle->IsOutboundInEffect(); });
    EXPECT_TRUE(outbound) << alice.Handler().Events().back().response;
    EXPECT_TRUE(alice.Stop());
    EXPECT_TRUE(bob.Stop());
    EXPECT_EQ(alice.Handler().Count("removed"), 1u);
    EXPECT_EQ(bob.Handler().Count("removed"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Transports, KamailioOutbound, ::testing::Values(TransportType::UDP, TransportType::TCP),
                         [](const ::testing::TestParamInfo<TransportType>& transport) {
                             return std::string(ToString(transport.param));
                         });

// The TCP connection of an outbound flow dies (the forwarder in front of kamailio drops it): the
// registration is told its flow terminated and registers again over a new connection.
TEST(KamailioOutboundFlow, ADeadFlowIsRegisteredAgain) {
    if (!Kamailio::Installed()) {
        GTEST_SKIP() << "kamailio with its outbound module is not installed";
    }
    Kamailio kamailio;
    TcpForwarder forwarder(kamailio.Port());
    const std::string proxy = "sip:127.0.0.1:" + std::to_string(forwarder.Port()) + ";transport=tcp";
    DumUnderTest ua;
    const std::string domain = "127.0.0.1:" + std::to_string(kamailio.Port());
    ua.Manager().SendCommand(
        ua.Manager().MakeRegistration(NameAddr::Parse("<sip:carol@" + domain + ">"), OutboundProfile(ua, proxy, 1), 600));
    ASSERT_TRUE(ua.Handler().WaitFor("success")) << kamailio.Log();
    ASSERT_EQ(forwarder.Accepted(), 1u);

    forwarder.DropAll();
    ASSERT_TRUE(ua.Handler().WaitFor("flow")) << "the closed connection was not noticed";
    ASSERT_TRUE(ua.Handler().WaitFor("success", 2)) << kamailio.Log();
    std::string events;
    for (const auto& event : ua.Handler().Events()) {
        events += event.what + " " + std::to_string(event.status) + "\n" + event.response + "\n";
    }
    EXPECT_EQ(forwarder.Accepted(), 2u) << "the new registration must use a new connection\n" << events;
    EXPECT_TRUE(ua.Stop());
}

} // namespace
} // namespace zel::sip::stack::test

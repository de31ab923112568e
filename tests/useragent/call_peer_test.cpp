// Calls between two of our user agents through kamailio, as registrar and record-routing proxy
// with RFC 5626 outbound: both register their flows, one calls the other's address of record, the
// INVITE reaches the callee through a location lookup, the call connects with media negotiated on
// both sides, and the BYE follows the recorded route.

#include <gtest/gtest.h>

#include "capi/SessionTestSupport.h"
#include "support/Kamailio.h"

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

/// Registers `aor` of `phone` through `proxy` and waits (bounded) for the registrar's 2xx.
class Registration {
public:
    Registration(Phone& phone, const std::string& aor, const std::string& proxy) {
        SIPUserAgentAddNewClientRegistrationEventHandler(phone.Handle(), &Registration::OnNew, this);
        if (SIPUserAgentRegister(phone.Handle(), aor.c_str(), nullptr, proxy.c_str(), nullptr, nullptr) != 0) {
            throw std::runtime_error("register: " + LastError());
        }
    }
    ~Registration() { SIPRemoveEventHandler(this); }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    bool WaitForSuccess() const { return recorder_.WaitFor("success", 1, 20s); }
    std::size_t Failures() const { return recorder_.Count("failure"); }

private:
    static void OnNew(void* context, SIPClientRegistration* registration) {
        SIPClientRegistrationAddSuccessEventHandler(
            registration, [](void* self) { static_cast<Registration*>(self)->recorder_.Record("success"); }, context);
        SIPClientRegistrationAddFailureEventHandler(
            registration,
            [](void* self, std::int32_t, const char*, const char*) {
                static_cast<Registration*>(self)->recorder_.Record("failure");
            },
            context);
    }

    Recorder recorder_;
};

class KamailioCalls : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!Kamailio::Installed()) {
            GTEST_SKIP() << "kamailio with its outbound module is not installed";
        }
    }
};

// Over UDP and over TCP (where the callee is reached over the connection it registered on).
TEST_P(KamailioCalls, CallToARegisteredAddressOfRecordConnectsAndHangsUpThroughTheProxy) {
    const bool tcp = GetParam() == "tcp";
    Kamailio kamailio;
    const std::string domain = "127.0.0.1:" + std::to_string(kamailio.Port());
    const std::string transport = tcp ? ";transport=tcp" : "";
    const std::string proxy = "sip:" + domain + transport;
    const std::string withTcp = tcp ? R"("TCPAllowed": true, "TCPPort": 0, )" : "";
    Phone alice(withTcp + kPcmuOpus);
    Phone bob(withTcp + kPcmu);
    Registration aliceRegistration(alice, "sip:alice@" + domain, proxy);
    Registration bobRegistration(bob, "sip:bob@" + domain, proxy);
    ASSERT_TRUE(aliceRegistration.WaitForSuccess()) << kamailio.Log();
    ASSERT_TRUE(bobRegistration.WaitForSuccess()) << kamailio.Log();
    // Both contacts were saved as outbound flows (instance and reg-id).
    EXPECT_GE(kamailio.LogLines("register sip:(alice|bob)@.* contact .*reg-id=1"), 2U) << kamailio.Log();

    const std::string callId = alice.Call("<sip:bob@" + domain + transport + ">");
    ASSERT_TRUE(alice.WaitFor(0, "Connected")) << kamailio.Log();
    ASSERT_TRUE(bob.WaitFor(0, "Connected")) << kamailio.Log();
    const SessionRecord caller = alice.Session(0);
    const SessionRecord callee = bob.Session(0);
    EXPECT_EQ(caller.callId, callId);
    EXPECT_EQ(callee.callId, callId);
    EXPECT_EQ(caller.events, (std::vector<std::string>{"MediaNegotiated", "Connected"}));
    EXPECT_EQ(callee.events, (std::vector<std::string>{"MediaNegotiated", "Connected"}));
    // The offer's PCMU is what both agreed on, at the ports each side handed out.
    EXPECT_EQ(caller.remotePortAtConnect, callee.localPortAtConnect);
    EXPECT_EQ(callee.remotePortAtConnect, caller.localPortAtConnect);
    EXPECT_NE(caller.attributesAtConnect.find("rtpmap:0 PCMU/8000"), std::string::npos) << caller.attributesAtConnect;
    EXPECT_EQ(caller.attributesAtConnect.find("opus"), std::string::npos) << caller.attributesAtConnect;
    // The INVITE went to bob by a location lookup, and the proxy stayed in the route.
    EXPECT_GE(kamailio.LogLines("request INVITE sip:bob@"), 1U) << kamailio.Log();

    ASSERT_EQ(SIPSessionTerminate(bob.Session(0).handle), 0) << LastError();
    ASSERT_TRUE(alice.WaitFor(0, "Terminated")) << kamailio.Log();
    ASSERT_TRUE(bob.WaitFor(0, "Terminated")) << kamailio.Log();
    EXPECT_EQ(alice.Session(0).terminatedReason, TerminatedReason_RemoteBye);
    EXPECT_EQ(bob.Session(0).terminatedReason, TerminatedReason_LocalBye);
    EXPECT_GE(kamailio.LogLines("request BYE "), 1U) << kamailio.Log();
    EXPECT_EQ(aliceRegistration.Failures() + bobRegistration.Failures(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Transports, KamailioCalls, ::testing::Values("udp", "tcp"),
                         [](const ::testing::TestParamInfo<std::string>& transport) { return transport.param; });

} // namespace
} // namespace zel::sip::test

// Registrations through the C interface of the shared object, as a host makes them, against
// kamailio as registrar with RFC 5626 outbound over UDP and TCP on 127.0.0.1: what kamailio receives
// (reg-ids, the instance, the transport, the removals), the events the host sees, and that
// destroying a user agent removes what is still registered and leaves no thread behind.

#include <gtest/gtest.h>

#include <regex>

#include "support/Kamailio.h"
#include "useragent/HostSupport.h"

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

class KamailioOutboundRegistrations : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!Kamailio::Installed()) {
            GTEST_SKIP() << "kamailio with its outbound module is not installed";
        }
    }
};

// Two registrations of one user agent through kamailio as outbound proxy: each carries the user
// agent's instance and its own reg-id (1, then 2) over the transport asked for; the host reads the
// address of record back, removes one registration itself, and destruction removes the other one.
TEST_P(KamailioOutboundRegistrations, RegisterRemoveAndDestroy) {
    const std::string transport = GetParam();
    Kamailio kamailio;
    const std::string domain = "127.0.0.1:" + std::to_string(kamailio.Port());
    const std::string proxy = "sip:" + domain + (transport == "tcp" ? ";transport=tcp" : "");
    const int threadsBefore = ThreadCount();

    RegistrationEvents events;
    SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackConfiguration().c_str());
    ASSERT_NE(userAgent, nullptr) << LastError();
    events.Attach(userAgent);

    ASSERT_EQ(SIPUserAgentRegister(userAgent, ("sip:alice@" + domain).c_str(), nullptr, proxy.c_str(), nullptr,
                                   nullptr),
              0)
        << LastError();
    EXPECT_EQ(LastError(), "");
    ASSERT_TRUE(events.WaitFor("success", 1)) << kamailio.Log();
    ASSERT_EQ(SIPUserAgentRegister(userAgent, ("<sip:bob@" + domain + ">").c_str(), "", proxy.c_str(), "", ""), 0)
        << LastError();
    ASSERT_TRUE(events.WaitFor("success", 2)) << kamailio.Log();
    EXPECT_EQ(events.Count("new"), 2u);
    EXPECT_EQ(events.Count("failure"), 0u);

    // What the registrar received: outbound contacts with one instance and reg-ids 1 and 2, over
    // the transport of the proxy URI.
    const std::string protocol = transport == "tcp" ? "tcp" : "udp";
    EXPECT_EQ(kamailio.LogLines("request REGISTER sip:" + std::regex_replace(domain, std::regex("\\."), "\\.") +
                                     " from 127\\.0\\.0\\.1:[0-9]+/" + protocol),
              2u)
        << kamailio.Log();
    const std::string log = kamailio.Log();
    std::smatch alice;
    std::smatch bob;
    ASSERT_TRUE(std::regex_search(log, alice, std::regex("register sip:alice@.* contact .*reg-id=1.*\\n")));
    ASSERT_TRUE(std::regex_search(log, bob, std::regex("register sip:bob@.* contact .*reg-id=2.*\\n")));
    const std::regex instance("\\+sip\\.instance=\"(<urn:uuid:[0-9a-f-]{36}>)\"");
    std::smatch aliceInstance;
    std::smatch bobInstance;
    const std::string aliceLine = alice.str();
    const std::string bobLine = bob.str();
    ASSERT_TRUE(std::regex_search(aliceLine, aliceInstance, instance)) << aliceLine;
    ASSERT_TRUE(std::regex_search(bobLine, bobInstance, instance)) << bobLine;
    EXPECT_EQ(aliceInstance[1].str(), bobInstance[1].str());

    // The host's view of the first registration, then its removal.
    const std::vector<RegistrationEvents::Event> seen = events.Events();
    ASSERT_EQ(seen.front().kind, "new");
    EXPECT_NE(seen.front().aor.find("sip:alice@" + domain), std::string::npos) << seen.front().aor;
    SIPClientRegistration* first = events.Registration(0);
    ASSERT_EQ(SIPClientRegistrationRemove(first), 0) << LastError();
    EXPECT_EQ(LastError(), "");
    ASSERT_TRUE(events.WaitFor("removed", 1));
    EXPECT_TRUE(WaitUntil([&] { return kamailio.LogLines("register sip:alice@.*(expires=0|expires 0)") >= 1; }, 10s))
        << kamailio.Log();

    // Destruction ends bob's registration: kamailio sees its removal, and every thread is gone.
    DestroySIPUserAgent(userAgent);
    EXPECT_EQ(LastError(), "");
    EXPECT_TRUE(WaitUntil([&] { return kamailio.LogLines("register sip:bob@.*(expires=0|expires 0)") >= 1; }, 40s))
        << kamailio.Log();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }, 5s))
        << ThreadCount() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(events.Count("failure"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, KamailioOutboundRegistrations, ::testing::Values("udp", "tcp"),
                         [](const ::testing::TestParamInfo<std::string>& transport) { return transport.param; });

// A registration without outbound proxy, with digest: kamailio challenges, the user agent answers
// from the registering call's password (user and realm taken from the address of record), and no
// reg-id or instance goes out. A wrong password ends in the registrar's refusal, reported as
// Failure with its status and reason; removing a registration that has ended fails with a reason,
// and nothing of it is left to remove when the user agent is destroyed.
TEST(KamailioRegistrations, DigestWithoutOutboundAndRefusal) {
    if (!Kamailio::Installed()) {
        GTEST_SKIP() << "kamailio is not installed";
    }
    Kamailio kamailio({.password = "secret", .realm = "127.0.0.1"});
    const std::string domain = "127.0.0.1:" + std::to_string(kamailio.Port());
    RegistrationEvents events;
    SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackConfiguration().c_str());
    ASSERT_NE(userAgent, nullptr) << LastError();
    events.Attach(userAgent);

    ASSERT_EQ(SIPUserAgentRegister(userAgent, ("sip:carol@" + domain).c_str(), "secret", nullptr, nullptr, nullptr), 0)
        << LastError();
    ASSERT_TRUE(events.WaitFor("success")) << kamailio.Log();
    EXPECT_EQ(kamailio.LogLines("register sip:carol@.*(reg-id|sip\\.instance)"), 0u) << kamailio.Log();

    ASSERT_EQ(SIPUserAgentRegister(userAgent, ("sip:dave@" + domain).c_str(), "wrong", nullptr, nullptr, nullptr), 0)
        << LastError();
    ASSERT_TRUE(events.WaitFor("failure")) << kamailio.Log();
    RegistrationEvents::Event failure;
    for (const RegistrationEvents::Event& event : events.Events()) {
        if (event.kind == "failure") {
            failure = event;
        }
    }
    EXPECT_TRUE(failure.status == 401 || failure.status == 403) << failure.status << " " << failure.reason;
    EXPECT_FALSE(failure.reason.empty());
    SIPClientRegistration* refused = events.Registration(1);
    ASSERT_NE(refused, nullptr);
    // The dialog layer ends the refused registration just after the Failure callbacks return, so
    // removing it may still be accepted for a moment (and then does nothing); once it has ended,
    // removing it fails with a reason.
    EXPECT_TRUE(WaitUntil([&] { return SIPClientRegistrationRemove(refused) == -1; }, 5s));
    EXPECT_NE(LastError(), "");

    DestroySIPUserAgent(userAgent);
    EXPECT_EQ(events.Count("success"), 1u);
    EXPECT_TRUE(WaitUntil([&] { return kamailio.LogLines("register sip:carol@.*(expires=0|expires 0)") >= 1; }, 40s))
        << kamailio.Log();
}

} // namespace
} // namespace zel::sip::test

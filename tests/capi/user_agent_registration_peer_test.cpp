// Registrations through the C interface against SIPp as the registrar: digest, refreshes, removal,
// refusals with Warning headers, the RFC 5626 fallback after 439, and destruction with a live
// registration (answered or not).
#include "UserAgentTestSupport.h"
#include "support/Process.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>

namespace {

using namespace std::chrono_literals;
using zel::sip::test::ChildProcess;
using zel::sip::test::FreePort;
using zel::sip::test::LastError;
using zel::sip::test::LoopbackUdpConfiguration;
using zel::sip::test::ProgramInstalled;
using zel::sip::test::Recorder;
using zel::sip::test::TempDir;
using zel::sip::test::ThreadCount;
using zel::sip::test::UdpPortBound;
using zel::sip::test::WaitUntil;

/// SIPp as the registrar on a free loopback UDP port, for `calls` registrations (Call-IDs).
class Registrar {
public:
    Registrar(const std::string& scenario, int calls)
        : port_(FreePort()),
          sipp_({"sipp", "-sf", std::string(ZEL_TEST_DATA_DIR) + "/sipp/" + scenario, "-i", "127.0.0.1", "-p",
                 std::to_string(port_), "-m", std::to_string(calls), "-nostdin", "-timeout", "90s",
                 "-timeout_error", "-trace_err", "-error_file", dir_.File("errors.log")},
                dir_.File("sipp.out")) {}

    bool Ready() const { return WaitUntil([&] { return UdpPortBound(port_); }, 10s); }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Aor() const { return "<sip:alice@" + HostPort() + ">"; }
    /// SIPp's exit code once every call has ended (0: each went as its scenario says).
    std::optional<int> Finished() { return sipp_.WaitForExit(60s); }
    std::string Output() const { return sipp_.OutputTail(); }

private:
    TempDir dir_;
    std::uint16_t port_;
    ChildProcess sipp_;
};

/// The host's side: every callback records an event; the registration callbacks share the context.
struct Host {
    Recorder events;
    SIPUserAgent* userAgent = nullptr;
    std::atomic<SIPClientRegistration*> registration{nullptr};
    std::string failure;           // "code|reason|warning" of the last Failure
    std::string destroyFromInside; // the last error of a DestroySIPUserAgent made inside a callback
    bool tryDestroyInside = false;
    bool removeInside = false;
    int removeInsideResult = 1; // SIPClientRegistrationRemove's result inside the Success callback
};

void OnSuccess(void* context) {
    auto* host = static_cast<Host*>(context);
    if (host->removeInside) {
        host->removeInside = false;
        host->removeInsideResult = SIPClientRegistrationRemove(host->registration);
    }
    host->events.Record("success");
}
void OnRemoved(void* context) {
    static_cast<Host*>(context)->events.Record("removed");
}
void OnFailure(void* context, int32_t code, const char* reason, const char* warning) {
    auto* host = static_cast<Host*>(context);
    host->failure = std::to_string(code) + "|" + reason + "|" + warning;
    if (host->tryDestroyInside) {
        DestroySIPUserAgent(host->userAgent);
        host->destroyFromInside = LastError();
    }
    host->events.Record("failure");
}
void OnNewRegistration(void* context, SIPClientRegistration* registration) {
    auto* host = static_cast<Host*>(context);
    host->registration = registration;
    SIPClientRegistrationAddSuccessEventHandler(registration, OnSuccess, host);
    SIPClientRegistrationAddRemovedEventHandler(registration, OnRemoved, host);
    SIPClientRegistrationAddFailureEventHandler(registration, OnFailure, host);
    host->events.Record("new");
}

/// A second subscriber that drops its own callbacks at its first Success.
struct OneShot {
    std::atomic<int> successes{0};
};
void OnOneShotSuccess(void* context) {
    ++static_cast<OneShot*>(context)->successes;
    SIPRemoveEventHandler(context);
}
void OnOneShotNewRegistration(void* context, SIPClientRegistration* registration) {
    SIPClientRegistrationAddSuccessEventHandler(registration, OnOneShotSuccess, context);
}

std::string AorText(SIPClientRegistration* registration) {
    SIPNameAddr* aor = SIPClientRegistrationGetAoR(registration);
    if (aor == nullptr) {
        return "(null)";
    }
    std::array<char, 256> buffer{};
    return SIPNameAddrToString(aor, buffer.data(), buffer.size()) >= 0 ? buffer.data() : "(error)";
}

class UserAgentRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProgramInstalled("sipp")) {
            GTEST_SKIP() << "sipp is not installed";
        }
        threadsBefore_ = zel::sip::test::ThreadBaseline();
    }

    SIPUserAgent* Create() {
        host_.userAgent = CreateSIPUserAgent(LoopbackUdpConfiguration().c_str());
        if (host_.userAgent != nullptr) {
            SIPUserAgentAddNewClientRegistrationEventHandler(host_.userAgent, OnNewRegistration, &host_);
        }
        return host_.userAgent;
    }

    void TearDown() override {
        SIPRemoveEventHandler(&host_);
        if (host_.userAgent != nullptr) {
            DestroySIPUserAgent(host_.userAgent);
        }
    }

    Host host_;
    std::size_t threadsBefore_ = 0;
};

TEST_F(UserAgentRegistration, DigestRefreshesAndRemoval) {
    Registrar registrar("ua_refresh_uas.xml", 1);
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    OneShot oneShot;
    SIPUserAgentAddNewClientRegistrationEventHandler(host_.userAgent, OnOneShotNewRegistration, &oneShot);

    // The digest user defaults to the address of record's user part (alice).
    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), "secret", nullptr, nullptr, "sipp.test"),
              0)
        << LastError();
    ASSERT_TRUE(host_.events.WaitFor("success", 2)) << registrar.Output();
    // One announcement, then a Success for the first REGISTER and one for the refresh.
    const std::vector<std::string> expected{"new", "success", "success"};
    EXPECT_EQ(host_.events.Events(), expected);
    // The subscriber that removed itself inside its first call was not called again.
    EXPECT_EQ(oneShot.successes.load(), 1);
    EXPECT_EQ(AorText(host_.registration), registrar.Aor());

    EXPECT_EQ(SIPClientRegistrationRemove(host_.registration), 0);
    EXPECT_EQ(LastError(), "");
    ASSERT_TRUE(host_.events.WaitFor("removed", 1)) << registrar.Output();
    EXPECT_EQ(host_.events.Count("failure"), 0u);
    EXPECT_EQ(registrar.Finished(), 0) << registrar.Output();
}

TEST_F(UserAgentRegistration, CredentialOfTheDefaultFromAnswersARegistrationWithoutPassword) {
    Registrar registrar("registrar_digest_uas.xml", 1);
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    // The registration's profile is a copy of the master profile as it is at Register.
    ASSERT_EQ(SIPUserAgentSetDefaultFrom(host_.userAgent, "<sip:someone@127.0.0.1>", "secret", "alice", "sipp.test"),
              0);
    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(host_.events.WaitFor("success", 1)) << registrar.Output();
    EXPECT_EQ(SIPClientRegistrationRemove(host_.registration), 0);
    ASSERT_TRUE(host_.events.WaitFor("removed", 1)) << registrar.Output();
    EXPECT_EQ(host_.events.Count("failure"), 0u);
    EXPECT_EQ(registrar.Finished(), 0) << registrar.Output();
}

TEST_F(UserAgentRegistration, RefusalReportsTheFirstWarningAndDestroyInsideACallbackIsRefused) {
    Registrar registrar("ua_forbidden_uas.xml", 1);
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    host_.tryDestroyInside = true;

    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(host_.events.WaitFor("failure", 1)) << registrar.Output();
    const std::vector<std::string> expected{"new", "failure"};
    EXPECT_EQ(host_.events.Events(), expected);
    EXPECT_EQ(host_.failure, "403|Forbidden|account disabled");
    // Destruction from the callback would have waited for itself: it was refused and said why.
    EXPECT_NE(host_.destroyFromInside.find("own callbacks"), std::string::npos) << host_.destroyFromInside;

    // The registration has ended: no address of record, and removing it fails with the handle error.
    EXPECT_TRUE(WaitUntil([&] { return SIPClientRegistrationGetAoR(host_.registration) == nullptr; }, 10s));
    EXPECT_EQ(SIPClientRegistrationRemove(host_.registration), -1);
    EXPECT_NE(LastError().find("ended"), std::string::npos) << LastError();
    EXPECT_EQ(registrar.Finished(), 0) << registrar.Output();

    // The user agent is still whole and goes the usual way, with its refused registration.
    DestroySIPUserAgent(host_.userAgent);
    host_.userAgent = nullptr;
    EXPECT_EQ(LastError(), "");
    // A joined thread leaves /proc a moment after the join returns.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore_; }, 10s)) << ThreadCount();
}

TEST_F(UserAgentRegistration, OutboundRefusedWith439RegistersAgainWithoutIt) {
    Registrar registrar("ua_outbound_439_uas.xml", 2);
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    const std::string proxy = "sip:" + registrar.HostPort();

    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), nullptr, proxy.c_str(), nullptr, nullptr),
              0)
        << LastError();
    ASSERT_TRUE(host_.events.WaitFor("success", 1)) << registrar.Output();
    // The refused attempt is not reported; the registration without outbound is announced as new.
    const std::vector<std::string> expected{"new", "success"};
    EXPECT_EQ(host_.events.Events(), expected);
    EXPECT_EQ(AorText(host_.registration), registrar.Aor());
    EXPECT_EQ(SIPClientRegistrationRemove(host_.registration), 0);
    ASSERT_TRUE(host_.events.WaitFor("removed", 1));
    EXPECT_EQ(registrar.Finished(), 0) << registrar.Output();
}

TEST_F(UserAgentRegistration, DestroyRemovesAnActiveRegistrationBeforeItReturns) {
    Registrar refusing("ua_forbidden_uas.xml", 1);
    Registrar registrar("ua_outbound_439_uas.xml", 1);
    ASSERT_TRUE(refusing.Ready());
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    // A registration that has ended (refused) comes first in the handler's map; it must not keep
    // the live one from being removed.
    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, refusing.Aor().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(host_.events.WaitFor("failure", 1)) << refusing.Output();
    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(host_.events.WaitFor("success", 1)) << registrar.Output();

    DestroySIPUserAgent(host_.userAgent);
    host_.userAgent = nullptr;
    // The registrar's answer to the removal (Expires 0, which the scenario checks) came back
    // before destruction returned.
    EXPECT_EQ(host_.events.Count("removed"), 1u);
    // A joined thread leaves /proc a moment after the join returns.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore_; }, 10s)) << ThreadCount();
    EXPECT_EQ(registrar.Finished(), 0) << registrar.Output();
}

TEST_F(UserAgentRegistration, RemoveInsideItsOwnCallback) {
    Registrar registrar("ua_outbound_439_uas.xml", 1);
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    host_.removeInside = true;
    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(host_.events.WaitFor("removed", 1)) << registrar.Output();
    EXPECT_EQ(host_.removeInsideResult, 0);
    EXPECT_EQ(registrar.Finished(), 0) << registrar.Output();
}

TEST_F(UserAgentRegistration, DestroyReturnsWhenTheRegistrarHasGoneSilent) {
    Registrar registrar("ua_silent_uas.xml", 1);
    ASSERT_TRUE(registrar.Ready());
    ASSERT_NE(Create(), nullptr) << LastError();
    ASSERT_EQ(SIPUserAgentRegister(host_.userAgent, registrar.Aor().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(host_.events.WaitFor("success", 1)) << registrar.Output();

    // The removal is never answered: the dialog layer's shutdown bound ends the wait.
    DestroySIPUserAgent(host_.userAgent);
    host_.userAgent = nullptr;
    // Whether the removal's own timeout (64*T1) or the shutdown bound (also 64*T1) comes first
    // is a race, so Removed may or may not have been reported: what counts is that destruction
    // returned and took every thread with it.
    // A joined thread leaves /proc a moment after the join returns.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore_; }, 10s)) << ThreadCount();
}

} // namespace

// User agents as a host creates, uses and destroys them, without a peer: construction failures,
// threads, the operations' argument errors and the event registry's edge cases.
#include "UserAgentTestSupport.h"
#include "support/Process.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using zel::sip::test::LastError;
using zel::sip::test::LoopbackUdpConfiguration;
using zel::sip::test::LoopbackUdpSocket;
using zel::sip::test::ThreadCount;

void IgnoreRegistration(void*, SIPClientRegistration*) {}

/// Whether the process is back to `count` threads (a joined thread leaves /proc a moment after
/// the join returns, so this waits a bounded while).
bool ThreadsBackTo(std::size_t count) {
    return zel::sip::test::WaitUntil([&] { return ThreadCount() == count; }, std::chrono::seconds(10));
}

TEST(UserAgentConstruction, FailureReportsTheCauseAndLeavesNoThread) {
    const std::size_t threadsBefore = ThreadCount();

    // A transport that cannot bind: the port is taken.
    LoopbackUdpSocket taken;
    const std::string portInUse = R"({"Address": "127.0.0.1", "UDPPort": )" + std::to_string(taken.Port()) +
                                  R"(, "TCPAllowed": false, "TLSAllowed": false, "DTLSAllowed": false})";
    EXPECT_EQ(CreateSIPUserAgent(portInUse.c_str()), nullptr);
    EXPECT_NE(LastError().find(std::to_string(taken.Port())), std::string::npos) << LastError();
    EXPECT_TRUE(ThreadsBackTo(threadsBefore));

    // An interface named by host name rather than IP address.
    EXPECT_EQ(CreateSIPUserAgent(R"({"Address": "pbx.example.com", "UDPPort": 0, "TCPAllowed": false,
                                     "TLSAllowed": false, "DTLSAllowed": false})"),
              nullptr);
    EXPECT_NE(LastError().find("pbx.example.com"), std::string::npos) << LastError();
    EXPECT_TRUE(ThreadsBackTo(threadsBefore));

    // A feature tag that would break every Contact header.
    EXPECT_EQ(CreateSIPUserAgent(R"({"Address": "127.0.0.1", "UDPPort": 0, "TCPAllowed": false, "TLSAllowed": false,
                                     "DTLSAllowed": false, "Capabilities": ["video>\r\nX-Injected: 1"]})"),
              nullptr);
    EXPECT_NE(LastError().find("Capabilities"), std::string::npos) << LastError();
    EXPECT_TRUE(ThreadsBackTo(threadsBefore));

    // A failure after a transport was bound (a Contact override that is no URI) unwinds it too.
    const std::string lateFailure = R"({"Address": "127.0.0.1", "UDPPort": 0, "TCPAllowed": false, "TLSAllowed": false,
                                      "DTLSAllowed": false, "ExternalContactUri": "this is no uri"})";
    EXPECT_EQ(CreateSIPUserAgent(lateFailure.c_str()), nullptr);
    EXPECT_FALSE(LastError().empty());
    EXPECT_TRUE(ThreadsBackTo(threadsBefore));
}

TEST(UserAgentConstruction, DestroyJoinsEveryThreadAndClearsTheLastError) {
    const std::size_t threadsBefore = ThreadCount();
    for (int round = 0; round < 3; ++round) {
        SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackUdpConfiguration().c_str());
        ASSERT_NE(userAgent, nullptr) << LastError();
        EXPECT_EQ(LastError(), "");
        EXPECT_GT(ThreadCount(), threadsBefore);
        ASSERT_EQ(SIPUserAgentSetDefaultFrom(userAgent, "bad <from", nullptr, nullptr, nullptr), -1);
        DestroySIPUserAgent(userAgent);
        EXPECT_EQ(LastError(), "");
        EXPECT_TRUE(ThreadsBackTo(threadsBefore));
    }
    DestroySIPUserAgent(nullptr);
    EXPECT_EQ(LastError(), "");
}

TEST(UserAgentOperations, BadArgumentsFailWithAMessageAndGoodOnesClearIt) {
    SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackUdpConfiguration().c_str());
    ASSERT_NE(userAgent, nullptr) << LastError();

    EXPECT_EQ(SIPUserAgentSetDefaultFrom(userAgent, "\"Alice\" <sip:alice@127.0.0.1>", "secret", nullptr, nullptr), 0);
    EXPECT_EQ(LastError(), "");
    EXPECT_EQ(SIPUserAgentSetDefaultFrom(userAgent, "<sip:alice@127.0.0.1", nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(LastError().empty());
    EXPECT_EQ(SIPUserAgentSetDefaultFrom(userAgent, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(LastError().empty());

    // Nothing is sent when an argument is bad; a port nobody listens on receives nothing either way.
    LoopbackUdpSocket silent;
    const std::string aor = "<sip:alice@" + silent.Address() + ">";
    EXPECT_EQ(SIPUserAgentRegister(userAgent, aor.c_str(), nullptr, "this is not a uri", nullptr, nullptr), -1);
    EXPECT_FALSE(LastError().empty());
    EXPECT_EQ(SIPUserAgentRegister(userAgent, "", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(LastError().empty());
    EXPECT_EQ(SIPUserAgentRegister(userAgent, "sip:alice@", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(LastError().empty());
    EXPECT_EQ(SIPUserAgentRegister(nullptr, aor.c_str(), nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(LastError().empty());

    DestroySIPUserAgent(userAgent);
}

TEST(EventRegistry, RemovingUnknownOrOrphanedContextsIsHarmless) {
    int neverUsed = 0;
    SIPRemoveEventHandler(&neverUsed);
    SIPRemoveEventHandler(nullptr);

    // Callbacks whose user agent is gone stay recorded until removed; removing them then is harmless.
    int context = 0;
    for (int round = 0; round < 100; ++round) {
        SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackUdpConfiguration().c_str());
        ASSERT_NE(userAgent, nullptr) << LastError();
        SIPUserAgentAddNewClientRegistrationEventHandler(userAgent, IgnoreRegistration, &context);
        SIPUserAgentAddNewClientRegistrationEventHandler(userAgent, IgnoreRegistration, &context);
        DestroySIPUserAgent(userAgent);
    }
    SIPRemoveEventHandler(&context);
    SIPRemoveEventHandler(&context);
}

} // namespace

// The call scenarios in tests/data/sipp (call_*_uac.xml and call_*_uas.xml) played by SIPp against
// SIPp over loopback: each pair must complete every call on both sides, over UDP and over TCP, and
// the two that stand losses (the basic call and the late offer) with 10% of the packets lost each
// way. This keeps the scenarios sound for the tests that play one side against our user agent.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Sipp.h"

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

struct ScenarioPair {
    std::string name;
    std::string uac;
    std::string uas;
    std::vector<std::string> uacExtra = {};
    std::vector<std::string> uasExtra = {};
    /// Injection rows for the callee (-inf).
    std::vector<std::vector<std::string>> uasInjection = {};
    /// Global variables of the callee's scenario (-set).
    std::vector<std::pair<std::string, std::string>> uasVariables = {};
    /// The caller answers a digest challenge: the user and password, and the digest URI set to the
    /// callee's Request-URI (SIPp's client puts only host and port there, SIPp's verifyauth hashes
    /// the Request-URI).
    bool digest = false;
};

std::vector<ScenarioPair> Pairs() {
    auto same = [](const std::string& name) {
        return ScenarioPair{name, "call_" + name + "_uac.xml", "call_" + name + "_uas.xml"};
    };
    std::vector<ScenarioPair> pairs;
    for (const char* name : {"basic", "callee_bye", "nosdp", "multipart", "hold_caller", "hold_callee", "prack",
                             "busy", "reject", "cancel", "timer", "timer_422", "bye_body", "srtp"}) {
        pairs.push_back(same(name));
    }
    ScenarioPair auth401 = same("auth401");
    auth401.uasInjection = {{"alice", "secret"}};
    auth401.digest = true;
    pairs.push_back(auth401);
    ScenarioPair auth407 = same("auth407");
    auth407.digest = true;
    pairs.push_back(auth407);
    pairs.push_back({"timer_reinvite", "call_timer_reinvite_uac.xml", "call_timer_uas.xml"});
    // Glare: one side sends its re-INVITE first, the other answers it only after sending its own.
    pairs.push_back({"glare_caller_waits", "call_glare_uac.xml", "call_glare_first_uas.xml"});
    pairs.push_back({"glare_callee_waits", "call_glare_first_uac.xml", "call_glare_uas.xml"});
    // Session expiry: the side that does not refresh ends the call after half a second instead of 60 s.
    pairs.push_back({"expiry_caller_silent", "call_timer_expiry_uac.xml", "call_timer_bye_uas.xml", {}, {"-d", "500"}});
    pairs.push_back({"expiry_callee_silent", "call_timer_bye_uac.xml", "call_timer_expiry_uas.xml", {"-d", "500"}, {}});
    return pairs;
}

/// One pair being played: the callee listening, the caller calling it.
struct Run {
    std::string name;
    std::unique_ptr<SippProcess> uas;
    std::unique_ptr<SippProcess> uac;
};

/// Plays `pairs` with `calls` calls each, at most `parallel` pairs at once; returns a report of every
/// pair that failed (empty when all passed).
std::string PlayPairs(const std::vector<ScenarioPair>& pairs, const std::string& transport, int calls, int lostPercent,
                      std::size_t parallel) {
    TempDir dir;
    std::string failures;
    std::vector<Run> running;
    auto finish = [&](Run& run) {
        const std::optional<int> uac = run.uac->WaitForExit(60s);
        // The callee ends when its last call has (a lingering one a few seconds later).
        const std::optional<int> uas = run.uas->WaitForExit(uac == 0 ? 30s : 2s);
        if (uac != 0 || uas != 0) {
            failures += "=== " + run.name + " over " + transport + ": caller " + (uac ? std::to_string(*uac) : "hung") +
                        ", callee " + (uas ? std::to_string(*uas) : "hung") + "\n" + run.uac->Report() +
                        run.uas->Report();
        }
    };
    for (const ScenarioPair& pair : pairs) {
        if (running.size() == parallel) {
            finish(running.front());
            running.erase(running.begin());
        }
        SippServer server;
        server.scenario = {"-sf", SippScenario(pair.uas)};
        server.transport = transport;
        server.calls = calls;
        server.lostPercent = lostPercent;
        server.timeout = "60s";
        server.extra = pair.uasExtra;
        server.injection = pair.uasInjection;
        server.variables = pair.uasVariables;
        Run run{pair.name, std::make_unique<SippProcess>(server, dir.Path().string(), pair.name + "_uas"), nullptr};

        SippClient client;
        client.scenario = {"-sf", SippScenario(pair.uac)};
        client.transport = transport;
        client.remote = run.uas->Address();
        client.calls = calls;
        client.rate = 10;
        client.limit = calls;
        client.lostPercent = lostPercent;
        client.timeout = "60s";
        client.extra = pair.uacExtra;
        if (pair.digest) {
            client.extra.insert(client.extra.end(),
                                {"-au", "alice", "-ap", "secret", "-auth_uri", "service@" + run.uas->Address()});
        }
        run.uac = std::make_unique<SippProcess>(client, dir.Path().string(), pair.name + "_uac");
        running.push_back(std::move(run));
    }
    for (Run& run : running) {
        finish(run);
    }
    return failures;
}

class SippCallScenarios : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!SippInstalled()) {
            GTEST_SKIP() << "sipp is not installed (Debian package sip-tester)";
        }
    }
};

// Every pair, two calls each (tags, Call-IDs and CSeqs must not clash between calls).
TEST_P(SippCallScenarios, EveryPairCompletesItsCalls) {
    const std::string failures = PlayPairs(Pairs(), GetParam(), 2, 0, 6);
    EXPECT_TRUE(failures.empty()) << failures;
}

INSTANTIATE_TEST_SUITE_P(Transports, SippCallScenarios, ::testing::Values("u1", "t1"),
                         [](const ::testing::TestParamInfo<const char*>& transport) {
                             return std::string(transport.param[0] == 'u' ? "Udp" : "Tcp");
                         });

// A pair that cannot agree (the caller expects 486, the callee answers 200) is reported with the
// caller's account of the unexpected message, so a broken scenario cannot pass unnoticed.
TEST(SippCallScenariosHarness, AFailingPairIsReported) {
    if (!SippInstalled()) {
        GTEST_SKIP() << "sipp is not installed (Debian package sip-tester)";
    }
    const std::string failures =
        PlayPairs({{"mismatch", "call_busy_uac.xml", "call_basic_uas.xml"}}, "u1", 1, 0, 1);
    EXPECT_NE(failures.find("=== mismatch over u1: caller 1"), std::string::npos) << failures;
    EXPECT_NE(failures.find("unexpected message"), std::string::npos) << failures;
}

} // namespace
} // namespace zel::sip::test

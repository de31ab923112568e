// SIPp against the stack on the loopback: a transaction user on our stack answers OPTIONS 200 and
// INVITE 180/200 over UDP and TCP; with SIPp dropping 10% of the packets every transaction still
// completes, and retransmissions never reach the user twice.

#include <gtest/gtest.h>

#include <optional>

#include "StackTestSupport.h"
#include "support/Sipp.h"

namespace zel::sip::stack::test {
namespace {

struct SippCase {
    const char* name;
    bool builtInUac;       // SIPp's "-sn uac": INVITE, ACK, BYE; else tests/data/sipp/options_uac.xml
    const char* sippMode;  // u1: UDP, one socket; t1: TCP, one connection
    TransportType transport;
    int lostPercent;
    int calls;
};

class SippTransactions : public ::testing::TestWithParam<SippCase> {};

TEST_P(SippTransactions, EveryTransactionCompletesAndTheUserSeesEachRequestOnce) {
    if (!zel::sip::test::SippInstalled())
        GTEST_SKIP() << "sipp is not installed (Debian package sip-tester)";
    const SippCase& c = GetParam();
    SipStack stack;
    const Tuple local = stack.AddTransport(c.transport, IpVersion::V4, "127.0.0.1", 0);
    TestTransactionUser user(stack, milliseconds(500), milliseconds(4000));

    zel::sip::test::SippClient client;
    if (c.builtInUac) {
        client.scenario = {"-sn", "uac", "-d", "100"};
    } else {
        client.scenario = {"-sf", zel::sip::test::SippScenario("options_uac.xml")};
    }
    client.transport = c.sippMode;
    client.remote = "127.0.0.1:" + std::to_string(local.port);
    client.calls = c.calls;
    client.lostPercent = c.lostPercent;
    client.timeout = "60s";

    zel::sip::test::TempDir dir;
    {
        zel::sip::test::ChildProcess sipp(zel::sip::test::SippArguments(client), dir.File("sipp.log"));
        const std::optional<int> status = sipp.WaitForExit(std::chrono::seconds(90));
        if (status != 0) {
            ADD_FAILURE() << "sipp status " << (status ? std::to_string(*status) : "killed") << "\n"
                          << sipp.OutputTail();
        }
    }
    user.Stop();

    const auto requests = user.Requests();
    std::map<std::string, int> byMethod;
    for (const auto& [request, count] : requests) {
        EXPECT_EQ(count, 1) << request; // retransmissions are absorbed by the transactions
        ++byMethod[request.substr(request.rfind(' ') + 1)];
    }
    EXPECT_EQ(byMethod[c.builtInUac ? "INVITE" : "OPTIONS"], c.calls);
    if (c.builtInUac && c.lostPercent == 0) {
        EXPECT_EQ(byMethod["BYE"], c.calls);
    } else if (c.builtInUac) {
        // SIPp takes any 200 of the call as the answer to its BYE, so a 2xx retransmission (its ACK
        // was lost) can complete a call whose BYE never arrived: most BYEs, not all, are seen.
        EXPECT_GE(byMethod["BYE"], c.calls / 2);
        EXPECT_LE(byMethod["BYE"], c.calls);
    }
    stack.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(Loopback, SippTransactions,
                         ::testing::Values(SippCase{"OptionsUdp", false, "u1", TransportType::UDP, 0, 20},
                                           SippCase{"OptionsTcp", false, "t1", TransportType::TCP, 0, 20},
                                           SippCase{"InviteUdp", true, "u1", TransportType::UDP, 0, 20},
                                           SippCase{"InviteTcp", true, "t1", TransportType::TCP, 0, 20},
                                           SippCase{"OptionsUdpLost10", false, "u1", TransportType::UDP, 10, 50},
                                           SippCase{"InviteUdpLost10", true, "u1", TransportType::UDP, 10, 50}),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace zel::sip::stack::test

// The stack log is set up once per process, from the first configuration that gets that far; a
// set-up that fails is tried again by the next creation. Its own executable: the first creation
// in a process decides, so no other test may create a user agent before these run.
#include "capi/UserAgentTestSupport.h"
#include "support/Process.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using zel::sip::test::LastError;
using zel::sip::test::TempDir;

std::string Configuration(const std::string& type, const std::string& path) {
    return R"({"Address": "127.0.0.1", "UDPPort": 0, "TCPAllowed": false, "TLSAllowed": false,
               "DTLSAllowed": false, "Logging": {"StackLogType": ")" +
           type + R"(", "StackLogLevel": "DEBUG", "StackLogPath": ")" + path + R"("}})";
}

TEST(StackLogSetup, FailedSetUpIsRetriedAndTheFirstSuccessfulOneHolds) {
    TempDir dir;
    const std::string first = dir.File("first.log");
    const std::string second = dir.File("second.log");

    // A type the log facility does not know: no user agent, and the set-up stays open.
    EXPECT_EQ(CreateSIPUserAgent(Configuration("NOWHERE", first).c_str()), nullptr);
    EXPECT_NE(LastError().find("NOWHERE"), std::string::npos) << LastError();

    SIPUserAgent* firstAgent = CreateSIPUserAgent(Configuration("FILE", first).c_str());
    ASSERT_NE(firstAgent, nullptr) << LastError();
    SIPUserAgent* secondAgent = CreateSIPUserAgent(Configuration("FILE", second).c_str());
    ASSERT_NE(secondAgent, nullptr) << LastError();
    DestroySIPUserAgent(secondAgent);
    DestroySIPUserAgent(firstAgent);

    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_FALSE(std::filesystem::exists(second));
}

} // namespace

#pragma once

// SIPp (Debian package sip-tester) as a client of our side for one test: the command line is built
// here, the process is a ChildProcess (stopped and reaped in every path).

#include <string>
#include <vector>

#include "support/Process.h"

namespace zel::sip::test {

inline bool SippInstalled() { return ProgramInstalled("sipp"); }

/// tests/data/sipp/<name>.
inline std::string SippScenario(const std::string& name) { return std::string(ZEL_TEST_DATA_DIR) + "/sipp/" + name; }

/// One SIPp client run: `calls` calls of a scenario sent to `remote` from its own free loopback port.
struct SippClient {
    /// The scenario: {"-sf", SippScenario("options_uac.xml")} or a built-in one, {"-sn", "uac"}.
    std::vector<std::string> scenario;
    /// "u1" (UDP, one socket) or "t1" (TCP, one connection).
    std::string transport = "u1";
    /// Our side, "127.0.0.1:port".
    std::string remote;
    int calls = 1;
    /// Calls started per second, and how many may be open at once.
    int rate = 25;
    int limit = 20;
    /// Messages SIPp drops on purpose, in percent (its -lost).
    int lostPercent = 0;
    /// SIPp gives up (and fails) after this long.
    std::string timeout = "30s";
    /// Anything else, before the remote address (e.g. "-nd": none of its default answers).
    std::vector<std::string> extra;
};

/// SIPp's command line for `client`. Its exit code is 0 when every call succeeded.
inline std::vector<std::string> SippArguments(const SippClient& client) {
    std::vector<std::string> arguments{"sipp"};
    arguments.insert(arguments.end(), client.scenario.begin(), client.scenario.end());
    for (const std::string& argument :
         {std::string("-t"), client.transport, std::string("-i"), std::string("127.0.0.1"), std::string("-p"),
          std::to_string(FreePort()), std::string("-m"), std::to_string(client.calls), std::string("-r"),
          std::to_string(client.rate), std::string("-l"), std::to_string(client.limit), std::string("-timeout"),
          client.timeout, std::string("-timeout_error"), std::string("-nostdin")}) {
        arguments.push_back(argument);
    }
    if (client.lostPercent > 0) {
        arguments.push_back("-lost");
        arguments.push_back(std::to_string(client.lostPercent));
    }
    arguments.insert(arguments.end(), client.extra.begin(), client.extra.end());
    arguments.push_back(client.remote);
    return arguments;
}

} // namespace zel::sip::test

#pragma once

// SIPp (Debian package sip-tester) as a peer of one test: a client calling our side (SippClient) or
// a server our side calls (SippServer). The command line is built here, the process is a
// ChildProcess (stopped and reaped in every path); SippProcess adds the injection file, the error
// log and the readiness probe of a server.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
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
    /// Rows of an injection file (-inf, read in sequence, one row per call): [field0], [field1]...
    /// Needs SippProcess (or a folder given to SippArguments) to write the file.
    std::vector<std::vector<std::string>> injection;
    /// Global variables of the scenario (-set name value; declared in it with <Global>).
    std::vector<std::pair<std::string, std::string>> variables;
};

/// One SIPp server run: it listens on a free loopback port and plays `calls` calls of a scenario
/// for whoever calls it, then exits (0 when every call succeeded).
struct SippServer {
    /// The scenario: {"-sf", SippScenario("call_basic_uas.xml")}.
    std::vector<std::string> scenario;
    /// "u1" (UDP) or "t1" (TCP).
    std::string transport = "u1";
    /// It exits once this many calls have ended.
    int calls = 1;
    /// Messages SIPp drops on purpose, in percent (its -lost).
    int lostPercent = 0;
    /// SIPp gives up (and fails) after this long.
    std::string timeout = "30s";
    /// Anything else (e.g. {"-d", "500"}: the length of a scenario's <pause/>).
    std::vector<std::string> extra;
    /// As for SippClient: injection rows (-inf) and global variables (-set).
    std::vector<std::vector<std::string>> injection;
    std::vector<std::pair<std::string, std::string>> variables;
};

namespace detail {

/// Options both sides share: addresses (the SDP's media address too, else SIPp puts the host's
/// primary address there), limits, losses and the injection file written into `folder`.
inline void AppendSippCommon(std::vector<std::string>& arguments, const std::string& transport, std::uint16_t port,
                             int calls, const std::string& timeout, int lostPercent,
                             const std::vector<std::vector<std::string>>& injection,
                             const std::vector<std::pair<std::string, std::string>>& variables,
                             const std::string& folder, const std::string& name) {
    for (const std::string& argument :
         {std::string("-t"), transport, std::string("-i"), std::string("127.0.0.1"), std::string("-mi"),
          std::string("127.0.0.1"), std::string("-p"), std::to_string(port), std::string("-m"), std::to_string(calls),
          std::string("-timeout"), timeout, std::string("-timeout_error"), std::string("-nostdin")}) {
        arguments.push_back(argument);
    }
    if (lostPercent > 0) {
        arguments.push_back("-lost");
        arguments.push_back(std::to_string(lostPercent));
    }
    for (const auto& [variable, value] : variables) {
        arguments.insert(arguments.end(), {"-set", variable, value});
    }
    if (!injection.empty()) {
        if (folder.empty()) {
            throw std::invalid_argument("SIPp injection rows need a folder for their file");
        }
        const std::string file = folder + "/" + name + ".csv";
        std::ofstream csv(file);
        csv << "SEQUENTIAL\n";
        for (const auto& row : injection) {
            for (const std::string& field : row) {
                if (field.find_first_of(";\r\n") != std::string::npos) {
                    throw std::invalid_argument("a SIPp injection field cannot hold ';' or a line break: " + field);
                }
                csv << field << ';';
            }
            csv << '\n';
        }
        if (!csv.flush()) {
            throw std::runtime_error("cannot write " + file);
        }
        arguments.insert(arguments.end(), {"-inf", file});
    }
}

} // namespace detail

/// SIPp's command line for `client`, from its own free loopback port. Its exit code is 0 when every
/// call succeeded. `folder` holds the injection file when there are injection rows (raises
/// std::invalid_argument when there are and it is empty).
inline std::vector<std::string> SippArguments(const SippClient& client, const std::string& folder = {}) {
    std::vector<std::string> arguments{"sipp"};
    arguments.insert(arguments.end(), client.scenario.begin(), client.scenario.end());
    detail::AppendSippCommon(arguments, client.transport, FreePort(), client.calls, client.timeout,
                             client.lostPercent, client.injection, client.variables, folder, "client");
    arguments.insert(arguments.end(), {"-r", std::to_string(client.rate), "-l", std::to_string(client.limit)});
    arguments.insert(arguments.end(), client.extra.begin(), client.extra.end());
    arguments.push_back(client.remote);
    return arguments;
}

/// SIPp's command line for `server` listening on `port`; `folder` as for a client.
inline std::vector<std::string> SippArguments(const SippServer& server, std::uint16_t port,
                                              const std::string& folder = {}) {
    std::vector<std::string> arguments{"sipp"};
    arguments.insert(arguments.end(), server.scenario.begin(), server.scenario.end());
    detail::AppendSippCommon(arguments, server.transport, port, server.calls, server.timeout, server.lostPercent,
                             server.injection, server.variables, folder, "server");
    arguments.insert(arguments.end(), server.extra.begin(), server.extra.end());
    return arguments;
}

/// True when a TCP socket listens on 127.0.0.1:`port` (read from /proc/net/tcp, so the probe opens
/// no connection: SIPp would take one for a peer).
inline bool TcpPortListening(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the column names
    std::ostringstream wanted;
    wanted << std::uppercase << std::hex;
    wanted.width(4);
    wanted.fill('0');
    wanted << port;
    const std::string local = "0100007F:" + wanted.str();
    const std::string any = "00000000:" + wanted.str();
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string address;
        std::string remote;
        std::string state;
        fields >> slot >> address >> remote >> state;
        if ((address == local || address == any) && state == "0A") { // 0A: LISTEN
            return true;
        }
    }
    return false;
}

/// One SIPp process of a test, its files in a folder the test owns: its output, the unexpected
/// messages it saw (-trace_err) and its injection file. The destructor stops it.
class SippProcess {
public:
    /// Starts `client`, which calls `client.remote` at once. Raises std::runtime_error when sipp
    /// cannot be started.
    SippProcess(const SippClient& client, const std::string& folder, const std::string& name = "client")
        : name_(name), errorFile_(folder + "/" + name + "_errors.log"),
          process_(std::make_unique<ChildProcess>(WithErrorFile(SippArguments(client, folder)),
                                                  folder + "/" + name + ".out")) {}

    /// Starts `server` on a free loopback port and returns once it listens there (UDP bound, or TCP
    /// listening for "t1"). Raises std::runtime_error, with its output, when it ends or is not ready
    /// within 10 s.
    SippProcess(const SippServer& server, const std::string& folder, const std::string& name = "server")
        : name_(name), errorFile_(folder + "/" + name + "_errors.log") {
        const bool tcp = server.transport.rfind('t', 0) == 0;
        try {
            std::tie(port_, process_) = StartOnFreePort(
                [&](std::uint16_t port) {
                    return std::make_unique<ChildProcess>(WithErrorFile(SippArguments(server, port, folder)),
                                                          folder + "/" + name + ".out");
                },
                [&](std::uint16_t port) { return tcp ? TcpPortListening(port) : UdpPortBound(port); },
                std::chrono::seconds(10));
        } catch (const std::runtime_error& error) {
            throw std::runtime_error("SIPp " + name_ + " did not start listening: " + error.what());
        }
    }

    /// The port a server listens on (0 for a client).
    std::uint16_t Port() const noexcept { return port_; }
    /// "127.0.0.1:port" of a server, the remote address of a client calling it.
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    /// Waits up to `timeout` for it to end by itself: its exit code (0: every call succeeded), or
    /// nullopt when it still runs.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout) { return process_->WaitForExit(timeout); }

    /// Stops it now (idempotent).
    void Stop() { process_->Stop(); }

    /// For failure messages: the end of its output and the start of its log of unexpected messages.
    std::string Report() const {
        std::ifstream file(errorFile_);
        std::stringstream errors;
        errors << file.rdbuf();
        std::string text = errors.str();
        if (text.size() > 6000) {
            text = text.substr(0, 6000) + "\n[...]";
        }
        // The unexpected messages first: a long report is cut in the middle by CI's summaries.
        return "--- SIPp " + name_ + " unexpected messages ---\n" + (text.empty() ? std::string("(none)") : text) +
               "\n--- SIPp " + name_ + " output (end) ---\n" + process_->OutputTail(1500) + "\n";
    }

    ChildProcess& Process() noexcept { return *process_; }

private:
    std::vector<std::string> WithErrorFile(std::vector<std::string> arguments) const {
        // Options may come anywhere on SIPp's command line; a client's remote address stays last.
        arguments.insert(arguments.begin() + 1, {"-trace_err", "-error_file", errorFile_});
        return arguments;
    }

    std::string name_;
    std::string errorFile_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zel::sip::test

#pragma once

// What the server-location tests share: the fixture that runs one lookup on a loop of its own.

#include "stack/dns/ServerLocator.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "support/Process.h"

namespace zel::sip::stack {
namespace {

using zel::sip::test::LoopbackUdpSocket;
using TT = TransportType;

struct Outcome {
    std::error_code error;
    TargetList targets;
    std::vector<std::string> Tuples() const {
        std::vector<std::string> texts;
        for (const auto& target : targets.All())
            texts.push_back(ToString(target.tuple));
        return texts;
    }
};

Destination Dest(std::string host, std::optional<std::uint16_t> port = std::nullopt,
                 std::optional<TransportType> transport = std::nullopt, bool secure = false) {
    return {std::move(host), port, transport, secure};
}

class ServerLocatorTest : public ::testing::Test {
protected:
    DnsSettings Settings(const std::string& server) const {
        DnsSettings settings;
        settings.servers = {server};
        settings.timeout = std::chrono::milliseconds(300);
        settings.tries = 2;
        settings.useHostsFile = false;
        return settings;
    }

    /// Runs the loop until the handler has run; the bound only guards against a hang.
    Outcome Locate(ServerLocator& locator, const Destination& destination) {
        std::optional<Outcome> outcome;
        locator.Locate(destination, [&](std::error_code error, TargetList targets) {
            outcome = Outcome{error, std::move(targets)};
        });
        io.restart();
        while (!outcome && io.run_one_for(std::chrono::seconds(10)) > 0) {
        }
        if (!outcome)
            ADD_FAILURE() << "no answer for " << destination.host;
        return outcome.value_or(Outcome{});
    }

    boost::asio::io_context io;
};

} // namespace
} // namespace zel::sip::stack

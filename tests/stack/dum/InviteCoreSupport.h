#pragma once

// Inputs and readers shared by the invite session core's tests (invite_core_*_test.cpp): sessions
// brought to a state without sockets or clocks, and what a step sends, arms and stops.

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "stack/dum/InviteSessionCore.h"

namespace zel::sip::stack::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Kind = InviteSend::Kind;
using E = InviteEvent;

inline const Clock::time_point kStart{};

/// T1 500 ms, T2 4 s, stale after 180 s (call) and 40 s (re-INVITE), `uniform` as every random draw.
inline InviteTimings Timings(double uniform = 0.5) { return InviteTimings{500ms, 4000ms, [uniform] { return uniform; }, 180s, 40s}; }

/// A client session connected after an offer in the INVITE and the answer in the 2xx.
inline InviteSessionCore ConnectedClient(double uniform = 0.5) {
    InviteSessionCore core = InviteSessionCore::Client(true, Timings(uniform));
    core.OnInviteSent(kStart);
    core.OnInviteResponse(200, true, false, kStart);
    return core;
}

/// A server session whose 2xx (with the answer to the INVITE's offer) waits for its ACK.
inline InviteSessionCore AcceptedServer(double uniform = 0.5) {
    InviteSessionCore core = InviteSessionCore::Server(Timings(uniform));
    core.Start(true);
    core.ProvideAnswer(kStart);
    core.Accept(200, kStart);
    return core;
}

/// The same once the ACK came.
inline InviteSessionCore ConnectedServer(double uniform = 0.5) {
    InviteSessionCore core = AcceptedServer(uniform);
    core.OnAck(false);
    return core;
}

inline std::vector<Kind> Kinds(const InviteStep& step) {
    std::vector<Kind> kinds;
    for (const InviteSend& send : step.send) {
        kinds.push_back(send.kind);
    }
    return kinds;
}

/// The final responses of a step, as "code method", sorted.
inline std::vector<std::string> Finals(const InviteStep& step) {
    std::vector<std::string> finals;
    for (const InviteSend& send : step.send) {
        if (send.kind == Kind::Response && send.code >= 200) {
            finals.push_back(std::to_string(send.code) + " " + std::string(send.method));
        }
    }
    std::sort(finals.begin(), finals.end());
    return finals;
}

inline std::optional<Clock::time_point> Armed(const InviteStep& step, InviteTimer timer) {
    for (const auto& [armed, at] : step.arm) {
        if (armed == timer) {
            return at;
        }
    }
    return std::nullopt;
}

inline bool Stops(const InviteStep& step, InviteTimer timer) {
    return std::find(step.stop.begin(), step.stop.end(), timer) != step.stop.end();
}

} // namespace zel::sip::stack::test

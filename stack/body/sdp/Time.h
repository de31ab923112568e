#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel::sip::stack::sdp {

/// One time description: t=<start-time> <stop-time> with its r= repeat lines (RFC 8866 sections
/// 5.9, 5.10). Times are NTP seconds; 0 0 is an unbounded session. Repeat lines are kept as their
/// text (without "r=") since nothing here interprets them.
struct Time {
    std::uint64_t start = 0;
    std::uint64_t stop = 0;
    std::vector<std::string> repeats;

    friend bool operator==(const Time&, const Time&) = default;
};

} // namespace zel::sip::stack::sdp

#pragma once

#include "stack/body/sdp/Connection.h"

#include <cstdint>
#include <string>

namespace zel::sip::stack::sdp {

/// The origin line, o=<username> <sess-id> <sess-version> <nettype> <addrtype> <unicast-address>
/// (RFC 8866 section 5.2). Session id and version are unsigned 64-bit numbers; RFC 3264 section 8
/// has the version grow by one with each new offer or answer of a session.
struct Origin {
    std::string userName = "-";
    std::uint64_t sessionId = 0;
    std::uint64_t sessionVersion = 0;
    std::string netType = "IN";
    AddrType addrType = AddrType::IP4;
    std::string address;

    /// The value of the o= line, without "o=" and line end.
    std::string Encode() const;

    friend bool operator==(const Origin&, const Origin&) = default;
};

} // namespace zel::sip::stack::sdp

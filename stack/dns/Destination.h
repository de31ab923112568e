#pragma once

#include "stack/transport/Tuple.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zel::sip::stack {

/// What server location (RFC 3263 section 4) needs of a SIP or SIPS URI: its host, port, transport
/// parameter and scheme.
struct Destination {
    /// A domain name, an IPv4 address or an IPv6 address (with or without brackets).
    std::string host;
    /// The URI's port, when it has one; it skips the NAPTR and SRV look-ups.
    std::optional<std::uint16_t> port;
    /// From the URI's transport parameter ("udp", "tcp", "tls", "ws", "wss", ...), when present.
    std::optional<TransportType> transport;
    /// A sips URI: only secure transports may be used (TCP means TLS, WS means WSS).
    bool secure = false;
};

} // namespace zel::sip::stack

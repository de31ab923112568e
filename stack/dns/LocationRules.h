#pragma once

#include "stack/dns/DnsRecords.h"
#include "stack/transport/Tuple.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::stack {

// The rules of RFC 3263 section 4 that need no DNS: pure functions, tested without a server.

/// The port used when neither the URI nor an SRV record gives one: 5060, 5061 for TLS and DTLS
/// (RFC 3261 section 19.1.2, RFC 3263 section 4.2), 80 for WS and 443 for WSS (RFC 6455 section 3).
std::uint16_t DefaultPort(TransportType transport) noexcept;

/// The transport actually used for a transport parameter: for a sips URI TCP means TLS and WS means
/// WSS (RFC 3261 section 26.2, RFC 7118); UDP has no secure form here and gives nothing.
std::optional<TransportType> TransportFor(TransportType requested, bool secure) noexcept;

/// The transport used when the URI names none and DNS offers no NAPTR or SRV record, or when only a
/// port is given: UDP for sip and TLS (TCP with TLS) for sips (RFC 3263 section 4.1), or else the
/// first supported transport allowed for the scheme. Nothing when no supported transport is allowed.
std::optional<TransportType> DefaultTransport(bool secure, const std::vector<TransportType>& supported) noexcept;

/// The transport a NAPTR service field names (RFC 3263 section 4.1, RFC 7118 and the IANA
/// registry): "SIP+D2U" UDP, "SIP+D2T" TCP, "SIPS+D2T" TLS, "SIP+D2W" WS, "SIPS+D2W" WSS; case is ignored.
/// Anything else (SCTP, unknown services) gives nothing.
std::optional<TransportType> TransportOfNaptrService(std::string_view service) noexcept;

/// The SRV name for a transport (RFC 3263 section 4.2, RFC 7118): "_sip._udp.", "_sip._tcp.",
/// "_sips._tcp." (TLS), "_sip._ws.", "_sips._ws." (WSS), "_sips._udp." (DTLS), then the domain.
std::string SrvName(TransportType transport, std::string_view domain);

/// One NAPTR record kept for the SRV step.
struct NaptrChoice {
    TransportType transport;
    std::string srvName;

    friend bool operator==(const NaptrChoice&, const NaptrChoice&) = default;
};

/// The NAPTR records a client may follow, ordered by order and then preference (RFC 3403 section 4.1):
/// flag "S", empty regular expression, a replacement, a service we know, a transport in `supported`,
/// and for a sips URI a secure one only (RFC 3263 section 4.1). Duplicates are dropped.
std::vector<NaptrChoice> SelectNaptr(const std::vector<NaptrRecord>& records, bool secure,
                                     const std::vector<TransportType>& supported);

/// Orders SRV records as RFC 2782 says: by priority, and within one priority by repeated weighted
/// random selection (weight 0 records have a small chance, being placed first before each draw).
/// Records whose target is "." (service not offered) are removed.
std::vector<SrvRecord> OrderSrv(std::vector<SrvRecord> records, std::mt19937& random);

} // namespace zel::sip::stack

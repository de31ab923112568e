#pragma once

#include "stack/transport/Tuple.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zel::sip::stack {

/// Which address records are looked up, and which family's addresses are tried first.
enum class AddressFamilies { IPv4Only, IPv6Only, PreferIPv4, PreferIPv6 };

/// Settings of the DNS layer. Validate() checks them; the ServerLocator copies them at construction.
struct DnsSettings {
    /// UDP, TCP and TLS. Out of line: g++ 12 warns (wrongly) about the initializer list of an
    /// inline default when a caller's copy of the settings is inlined.
    static std::vector<TransportType> DefaultTransports();

    /// DNS servers as "address[:port]" ("127.0.0.1:5353", "[::1]:53"), tried in order. Empty means
    /// the system's servers from /etc/resolv.conf.
    std::vector<std::string> servers;
    /// Time to wait for an answer on the first try; c-ares doubles it on each further round.
    std::chrono::milliseconds timeout{2000};
    /// Rounds over the server list before a query times out (at least 1).
    int tries = 2;
    AddressFamilies families = AddressFamilies::PreferIPv4;
    /// The transports the stack can send on, in order of local preference: they bound what NAPTR and
    /// SRV results are used, and order the per-transport SRV queries made when a domain has no NAPTR
    /// records (RFC 3263 section 4.1 leaves that order to local policy). Must not be empty.
    std::vector<TransportType> transports = DefaultTransports();
    /// Record sets kept at most in the cache; the one closest to expiry is dropped first.
    std::size_t cacheEntries = 1024;
    /// Longest time a positive answer is kept, whatever its TTL.
    std::chrono::seconds maxTtl{3600};
    /// Longest time an NXDOMAIN or NODATA answer is kept (RFC 2308); used as is when the answer
    /// carries no SOA record.
    std::chrono::seconds negativeTtl{30};
    /// How long a target reported as failed is tried only after all others.
    std::chrono::seconds blacklistTime{32};

    // Bounds on the work a hostile or broken DNS answer can cause on the event thread. Real
    // deployments stay far below them: SRV and NAPTR sets hold a handful to a few dozen records, a
    // lookup asks for a few names and yields a few targets. Each cut is logged as a warning.

    /// NAPTR or SRV records kept from one answer (a 64 KiB answer can hold about 3,000); the most
    /// preferred are kept (lowest order and preference, lowest priority). A and AAAA answers keep
    /// at most 64 addresses whatever this says.
    std::size_t maxRecordsPerAnswer = 128;
    /// Names one step of a lookup asks about: the SRV names taken from NAPTR records, and the host
    /// names whose addresses are looked up (each asked for A, AAAA or both, as `families` says).
    /// The most preferred names are kept.
    std::size_t maxNamesPerStep = 64;
    /// Targets one lookup hands back, in order; the rest are dropped. With RFC 3261 timer B at 32 s
    /// per unanswered target, 128 targets already mean over an hour of failover.
    std::size_t maxTargets = 128;

    /// Look host names up in /etc/hosts (or $CARES_HOSTS) before asking DNS for A/AAAA records.
    bool useHostsFile = true;

    /// Raises std::invalid_argument naming the first bad value (no transports, tries below 1, a
    /// timeout that is not positive, an empty server entry, a bound of 0).
    void Validate() const;
};

} // namespace zel::sip::stack

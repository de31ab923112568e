#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel::sip::stack::sdp {

/// The address type of an origin or connection line (RFC 8866 section 5.7).
enum class AddrType { IP4, IP6 };

/// "IP4" or "IP6".
std::string_view ToString(AddrType type) noexcept;

/// "IP4"/"IP6" (any case) to the enumeration; none for anything else.
std::optional<AddrType> AddrTypeFromString(std::string_view text) noexcept;

/// One connection line, c=<nettype> <addrtype> <connection-address> (RFC 8866 section 5.7).
///
/// The multicast forms are kept as written: for IP4 "<address>/<ttl>[/<number of addresses>]",
/// for IP6 "<address>[/<number of addresses>]". A connection line with a number of addresses is
/// one Connection here; the addresses it stands for are not expanded.
struct Connection {
    std::string netType = "IN";
    AddrType addrType = AddrType::IP4;
    std::string address;
    std::optional<std::uint32_t> ttl;               ///< IP4 multicast only
    std::optional<std::uint32_t> numberOfAddresses; ///< as written after the last "/", if any

    Connection() = default;
    Connection(AddrType type, std::string addr) : addrType(type), address(std::move(addr)) {}

    /// Whether the address is the unspecified address of its own type: "0.0.0.0" for IP4, "::"
    /// (in any spelling) for IP6 (the RFC 3264 section 8.4 hold of older peers). A host name or a
    /// text that is no address is not unspecified.
    bool IsUnspecified() const noexcept;

    /// The value of the c= line, without "c=" and line end.
    std::string Encode() const;

    friend bool operator==(const Connection&, const Connection&) = default;
};

} // namespace zel::sip::stack::sdp

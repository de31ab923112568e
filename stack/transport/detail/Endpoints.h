#pragma once

#include "stack/transport/TransportOptions.h"
#include "stack/transport/Tuple.h"

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace zel::sip::stack::detail {

/// The address a transport binds to: the literal of `options.bindAddress`, or the unspecified
/// address of `options.ipVersion`. Raises std::invalid_argument when the text is not an IP address
/// literal of that version.
boost::asio::ip::address BindAddress(const TransportOptions& options, TransportType type);

/// Raises std::system_error for a failed bind or listen, naming the transport, address and port
/// ("cannot bind TCP transport to [::1]:5060: Address already in use").
[[noreturn]] void ThrowBindError(const std::error_code& error, TransportType type,
                                 const boost::asio::ip::address& address, std::uint16_t port);

/// A process-wide unique, never 0, id for a new connection.
std::uint64_t NextConnectionId() noexcept;

/// True when `address` can be reached from a socket of the transport's IP version.
bool SameVersion(const boost::asio::ip::address& address, IpVersion version) noexcept;

} // namespace zel::sip::stack::detail

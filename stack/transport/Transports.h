#pragma once

#include "stack/transport/SecuritySettings.h"
#include "stack/transport/Transport.h"
#include "stack/transport/TransportOptions.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace boost::asio {
class io_context;
}

namespace zel::sip::stack {

/// Factories of the transports. Each binds (and, for streams, listens) before it returns and
/// raises on failure: std::invalid_argument for a bad `bindAddress`, std::system_error naming the
/// address and port when the socket cannot be bound, std::runtime_error for security files that
/// cannot be loaded. Call them on the io_context's thread or before it runs. `options.receiver`
/// must be set.

std::shared_ptr<Transport> MakeUdpTransport(boost::asio::io_context& io, const TransportOptions& options);

std::shared_ptr<Transport> MakeTcpTransport(boost::asio::io_context& io, const TransportOptions& options);

/// TLS over TCP (RFC 3261 section 26.2, RFC 5922 certificate checks).
std::shared_ptr<Transport> MakeTlsTransport(boost::asio::io_context& io, const TransportOptions& options,
                                            const SecuritySettings& security);

/// Bounds of the DTLS transport beyond `TransportLimits` (whose `maxConnections` bounds its peers,
/// `handshakeTimeout` its handshakes and `idleTimeout` its idle peers).
struct DtlsLimits {
    /// Peers whose handshake is not finished yet; a new peer over this is refused.
    std::size_t maxHandshakes = 64;
    /// Largest datagram of a handshake flight; OpenSSL fragments handshake messages to fit.
    std::size_t mtu = 1200;
    /// How long one secret of the HelloVerifyRequest cookie is used; a cookie stays valid for at
    /// most twice this.
    std::chrono::milliseconds cookieSecretLifetime = std::chrono::minutes(5);
};

/// DTLS 1.2 over UDP (RFC 6347; SIP over DTLS per RFC 3261 section 26.2 rules): one association
/// per peer address and port, a stateless cookie exchange before a server keeps any state, one SIP
/// message per record (at most 16 KiB, the largest record), peer certificates checked as for TLS.
std::shared_ptr<Transport> MakeDtlsTransport(boost::asio::io_context& io, const TransportOptions& options,
                                             const SecuritySettings& security, const DtlsLimits& dtlsLimits = {});

/// SIP over WebSocket (RFC 7118), subprotocol "sip".
std::shared_ptr<Transport> MakeWsTransport(boost::asio::io_context& io, const TransportOptions& options);

/// SIP over secure WebSocket (RFC 7118 over TLS).
std::shared_ptr<Transport> MakeWssTransport(boost::asio::io_context& io, const TransportOptions& options,
                                            const SecuritySettings& security);

} // namespace zel::sip::stack

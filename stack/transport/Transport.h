#pragma once

#include "stack/transport/TransportOptions.h"
#include "stack/transport/Tuple.h"

#include <cstdint>
#include <string>

namespace zel::sip::stack {

/// How one message given to `Transport::Send` is to be handled.
struct SendOptions {
    /// A retransmission (RFC 3261 section 17 timers): reported to the message logger as such.
    bool retransmission = false;
    /// The host name the peer must prove on a new TLS or WSS connection (SNI and RFC 5922 checks).
    /// Empty checks the certificate against the destination's IP address instead.
    std::string serverName;
    /// Stream transports: only the connection named by the destination's connection id (an RFC
    /// 5626 flow); when it is closed the message fails with std::errc::not_connected instead of
    /// going over another connection or a new one.
    bool connectionOnly = false;
};

/// Counters a transport keeps for diagnostics and tests.
struct TransportStatistics {
    std::uint64_t messagesReceived = 0;
    std::uint64_t messagesSent = 0;
    /// Datagrams or stream messages thrown away: over a size limit or unframeable.
    std::uint64_t messagesDropped = 0;
    /// Connections closed because the peer broke the framing, a limit or a handshake.
    std::uint64_t connectionsRejected = 0;
};

/// One SIP transport bound to one local address and port of one IP version: UDP, TCP, TLS, DTLS,
/// WS or WSS. Made by the functions of `Transports.h`, which bind synchronously and raise on failure.
///
/// Threads: all I/O runs on the io_context given at creation, on the thread that runs it (the stack
/// event thread); the transport starts no thread. `Send` and `Close` may be called from any thread
/// (they hand the work to that io_context); receiver calls come on the io_context's thread.
///
/// Lifetime: the transport is shared; outstanding I/O keeps it alive. After `Close` has run on the
/// io_context's thread the receiver is called no more.
class Transport {
public:
    Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    virtual ~Transport() = default;

    virtual TransportType Type() const noexcept = 0;

    /// The address and port really bound (the port the system picked when 0 was asked for). The
    /// address is the unspecified one of the IP version when bound to all interfaces.
    virtual const Tuple& LocalTuple() const noexcept = 0;

    IpVersion Version() const noexcept { return LocalTuple().address.is_v6() ? IpVersion::V6 : IpVersion::V4; }

    /// Sends one complete SIP message to `destination`. Stream transports reuse the connection
    /// named by `destination.connectionId`, else one to the same address and port, else open one.
    /// Failures are reported to `TransportReceiver::OnSendFailed`, never raised: the message is
    /// dropped then. Messages over `TransportLimits::maxMessageBytes` are refused the same way.
    virtual void Send(const Tuple& destination, std::string message, SendOptions options = {}) = 0;

    /// Stops listening, closes every connection and drops queued messages. Idempotent.
    virtual void Close() = 0;

    /// Counters; read them on the io_context's thread.
    virtual TransportStatistics Statistics() const = 0;
};

} // namespace zel::sip::stack

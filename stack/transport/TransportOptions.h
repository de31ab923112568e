#pragma once

#include "stack/transport/MessageLoggingHandler.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zel::sip::stack {

class TransportReceiver;

/// The IP version a transport is bound to. A transport serves exactly one; a stack that listens on
/// both adds two transports.
enum class IpVersion : std::uint8_t { V4, V6 };

/// Bounds on everything a transport buffers or keeps for a peer. A peer that exceeds one loses its
/// own datagram or connection, never anything else.
struct TransportLimits {
    /// Largest SIP message accepted or sent: a datagram payload, or one framed message on a stream.
    std::size_t maxMessageBytes = 64 * 1024;
    /// Largest header section (start line and headers up to the blank line) on a stream.
    std::size_t maxHeaderBytes = 16 * 1024;
    /// Bytes queued for sending on one connection (or on a UDP socket) before `Send` refuses more.
    /// Each queued entry on a stream connection also counts a fixed overhead (its bookkeeping), so
    /// many tiny entries cannot pin more memory than the limit says.
    std::size_t maxPendingOutboundBytes = 1024 * 1024;
    /// Open connections of one stream transport, accepted and outgoing together.
    std::size_t maxConnections = 1024;
    /// Of `maxConnections`, the slots that only connections we open may take: peers connecting to
    /// us can hold at most `maxConnections - reservedOutgoingConnections`, so a full table of
    /// accepted connections never stops our own requests from leaving. At most half of
    /// `maxConnections` is reserved, whatever this says.
    std::size_t reservedOutgoingConnections = 64;
    /// Connections accepted from one source address at once; a further one is closed on accept.
    std::size_t maxAcceptedPerAddress = 32;
    /// A connection with no traffic for this long is closed. Traffic is a whole SIP message in
    /// either direction, or, on a flow we keep alive, our CRLFCRLF ping and its pong; partial
    /// messages and a peer's pings (and our pongs) do not count.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(120);
    /// A stream message whose first bytes arrived must be complete within this long; else the
    /// connection is closed as a peer that broke a rule.
    std::chrono::milliseconds messageTimeout = std::chrono::seconds(30);
    /// A connection not through its connect and handshakes after this long is closed.
    std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(10);
};

/// What every transport is built from.
struct TransportOptions {
    IpVersion ipVersion = IpVersion::V4;
    /// An IP address literal of `ipVersion` to bind to; empty binds to all interfaces of that
    /// version (IPv6 sockets are then set IPV6_V6ONLY so they never take IPv4 traffic).
    std::string bindAddress;
    /// 0 lets the system pick a free port; `Transport::LocalTuple` reports the one bound.
    std::uint16_t port = 0;
    TransportLimits limits;
    /// Sees every message sent and received; may be null. Shared with the stack, which installs it
    /// before adding any transport.
    std::shared_ptr<MessageLoggingHandler> messageLogger;
    /// Receives the messages; not owned. It must stay valid until `Transport::Close` has run.
    TransportReceiver* receiver = nullptr;
};

} // namespace zel::sip::stack

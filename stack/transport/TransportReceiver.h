#pragma once

#include "stack/transport/Tuple.h"

#include <string_view>
#include <system_error>

namespace zel::sip::stack {

/// The layer above the transports: it is told of every complete SIP message received and of sends
/// that could not be carried out. Calls come on the thread that runs the transports' io_context.
class TransportReceiver {
public:
    virtual ~TransportReceiver() = default;

    /// One complete SIP message (start line, headers and body as framed by the transport), not yet
    /// parsed. `source` is the peer, with the connection id on stream transports; `local` is our
    /// end. The bytes are only valid during the call.
    virtual void OnMessage(const Tuple& source, const Tuple& local, std::string_view message) = 0;

    /// A message given to `Transport::Send` for `destination` was not sent: no connection could be
    /// made, the handshake or peer verification failed, a limit was reached, or the connection
    /// closed before the bytes left. Ignored unless overridden.
    virtual void OnSendFailed(const Tuple& /*destination*/, const std::error_code& /*error*/) {}

    /// A CRLF keep-alive pong (RFC 5626 section 4.4.1) arrived on the flow `source`. Ignored unless
    /// overridden.
    virtual void OnKeepAlivePong(const Tuple& /*source*/) {}

    /// A STUN response (RFC 5389) arrived on a UDP flow: the answer to a keep-alive Binding request
    /// (RFC 5626 section 4.4.2), for `KeepAliveManager::OnStunResponse`. STUN requests are answered
    /// by the transport itself and never reach the receiver; neither do they reach `OnMessage` or
    /// the message logger. The bytes are only valid during the call. Ignored unless overridden.
    virtual void OnStunResponse(const Tuple& /*source*/, const Tuple& /*local*/, std::string_view /*message*/) {}

    /// The stream connection `flow` (the peer, with the connection's id) was closed, by either
    /// side, for any reason but the transport's own Close: messages for that flow can no longer be
    /// sent on it. Ignored unless overridden.
    virtual void OnConnectionClosed(const Tuple& /*flow*/) {}
};

} // namespace zel::sip::stack

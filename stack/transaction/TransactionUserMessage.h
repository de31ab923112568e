#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <system_error>

#include "stack/message/SipMessage.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack {

/// Names one transaction towards the transaction user: the id `SipStack::SendRequest` returns for a
/// client request (kept across the targets of RFC 3263 failover), or the id a received request
/// arrives with, to answer it through `SipStack::SendResponse`. 0 means "no transaction".
using TransactionId = std::uint64_t;

/// One entry of the queue from the transaction layer to the transaction user (the dialog layer).
struct TransactionUserMessage {
    enum class Kind {
        Request,        ///< a received request: new (answer it with `transaction`), an ACK, or a CANCEL
        Response,       ///< a response to one of our requests, or a stray one (`transaction` 0)
        Timeout,        ///< timer B or F (client) or H (server) fired
        TransportError, ///< the request could not be sent to any target; `error` says why
        Terminated,     ///< the transaction has ended; its id is not used again
        /// A response the transaction user sent through `transaction` was not sent: the
        /// transaction's state does not allow it (a 180 after a 200, anything after a final
        /// non-2xx), or the transaction is unknown or has ended. `message` is the response.
        ResponseRefused,
        /// A kept-alive flow stopped answering (RFC 5626 section 4.4), or the mapped address seen
        /// by STUN changed: `source` and `local` name the flow, `error` the reason
        /// (std::errc::timed_out, or std::errc::address_not_available for a changed address). The
        /// flow is no longer kept alive. `transaction` is 0.
        FlowFailed,
        /// A stream connection that carried messages to us was closed, by either side: `source`
        /// names it (with its connection id) and `local` our end. Requests on that flow now fail.
        /// `transaction` is 0.
        ConnectionClosed,
    };

    Kind kind = Kind::Terminated;
    /// The transaction this is about; 0 for an ACK of a 2xx, a response that matched nothing and
    /// the flow events. For a failed ACK (`SipStack::SendAck`) the ACK's id.
    TransactionId transaction = 0;
    /// The message, for Request, Response and ResponseRefused; the receiver owns it from here on.
    std::shared_ptr<SipMessage> message;
    /// The flow: for received messages the peer (with the connection id on stream transports) and
    /// our end; for events of a client transaction the flow its request really left on (the
    /// target after failover, the connection the responses came over).
    Tuple source;
    Tuple local;
    /// For TransportError: the transport's error, a DNS error, or std::errc::no_buffer_space when a
    /// table of the transaction layer was full.
    std::error_code error;
    /// For a received CANCEL: the INVITE server transaction it cancels (RFC 3261 section 9.2). The
    /// CANCEL itself has already been answered 200; the transaction user answers the INVITE 487.
    TransactionId cancelled = 0;
};

/// "Request", "Response", ...: for logs.
std::string_view ToString(TransactionUserMessage::Kind kind) noexcept;

} // namespace zel::sip::stack

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
    };

    Kind kind = Kind::Terminated;
    /// The transaction this is about; 0 for an ACK of a 2xx and a response that matched nothing.
    TransactionId transaction = 0;
    /// The message, for Request and Response; the receiver owns it from here on.
    std::shared_ptr<SipMessage> message;
    /// For received messages: the peer (with the connection id on stream transports) and our end.
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

#pragma once

#include <string_view>
#include <utility>

#include "stack/message/SipMessage.h"
#include "stack/transaction/TransactionTimer.h"

namespace zel::sip::stack {

/// One input of a transaction core: what arrived, from where.
///
/// A transaction is created with the request that starts it (from the TU for client
/// transactions, from the transport for server transactions); the events here are everything
/// that happens to it afterwards.
struct TransactionEvent {
    enum class Kind {
        RequestFromTransport,  ///< a retransmission of the request, or the ACK of a server INVITE
        ResponseFromTransport, ///< a response matched to a client transaction
        ResponseFromTu,        ///< a response the TU sends through a server transaction
        TimerFired,            ///< `timer` fired
        TransportError,        ///< the transport failed to send the transaction's last message
    };

    Kind kind = Kind::TransportError;
    SipMessage message;                          ///< for the message kinds
    TransactionTimer timer = TransactionTimer::A; ///< for TimerFired

    static TransactionEvent FromTransport(SipMessage message) {
        TransactionEvent event;
        event.kind = message.IsRequest() ? Kind::RequestFromTransport : Kind::ResponseFromTransport;
        event.message = std::move(message);
        return event;
    }
    static TransactionEvent FromTu(SipMessage response) {
        TransactionEvent event;
        event.kind = Kind::ResponseFromTu;
        event.message = std::move(response);
        return event;
    }
    static TransactionEvent Fired(TransactionTimer timer) {
        TransactionEvent event;
        event.kind = Kind::TimerFired;
        event.timer = timer;
        return event;
    }
    static TransactionEvent Failed() { return TransactionEvent{}; }
};

/// "RequestFromTransport", ...: for logs.
std::string_view ToString(TransactionEvent::Kind kind) noexcept;

} // namespace zel::sip::stack

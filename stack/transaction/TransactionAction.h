#pragma once

#include <chrono>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "stack/message/SipMessage.h"
#include "stack/transaction/TransactionTimer.h"

namespace zel::sip::stack {

/// Pass `message` to the transport. The transaction keeps a reference for retransmission; the
/// driver must not change it. `isRetransmission` tells the message-logging hook apart.
struct SendAction {
    std::shared_ptr<const SipMessage> message;
    bool isRetransmission = false;
};

/// Arm `timer` to fire `duration` from now, replacing an armed one of the same name.
struct StartTimerAction {
    TransactionTimer timer;
    std::chrono::milliseconds duration;
};

/// Disarm `timer`. A firing that the driver delivers anyway is ignored by the transaction.
struct CancelTimerAction {
    TransactionTimer timer;
};

/// What a transaction tells its transaction user (RFC 3261 section 17).
enum class TuEventKind {
    ResponseReceived, ///< `message` is a response for the TU (client transactions)
    RequestReceived,  ///< `message` is the request (or, RFC 6026 Accepted, an ACK for a 2xx)
    Timeout,          ///< timer B, F or H fired
    TransportError,   ///< the transport failed to send
    Terminated,       ///< the transaction has ended; the driver drops it
};

/// "ResponseReceived", ...: for logs.
std::string_view ToString(TuEventKind kind) noexcept;

/// An event for the TU. `message` is set for ResponseReceived and RequestReceived only; the TU
/// owns it from here on.
struct TuAction {
    TuEventKind kind;
    std::shared_ptr<SipMessage> message;
};

/// One output of a transaction core. Actions are in the order they are to be carried out.
using TransactionAction = std::variant<SendAction, StartTimerAction, CancelTimerAction, TuAction>;
using TransactionActions = std::vector<TransactionAction>;

} // namespace zel::sip::stack

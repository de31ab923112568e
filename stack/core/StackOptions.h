#pragma once

#include <chrono>
#include <memory>

#include "stack/dns/DnsSettings.h"
#include "stack/transaction/CongestionManager.h"
#include "stack/transaction/TransactionLayerOptions.h"
#include "stack/transaction/TransactionUserQueue.h"
#include "stack/transport/MessageLoggingHandler.h"
#include "stack/transport/TransportOptions.h"

namespace zel::sip::stack {

/// Everything a SipStack is built from. The stack keeps no statistics.
struct StackOptions {
    /// Timer values (T1, T2, T4), table bounds and parser limits of the transaction layer.
    TransactionLayerOptions transactions;
    /// The congestion manager's tolerance for the wait-time metric: new requests outside dialogs
    /// are answered 503 while the oldest entry of the queue has waited longer than this.
    std::chrono::milliseconds congestionTolerance = CongestionManager::kDefaultTolerance;
    /// Bounds of the queue towards the transaction user.
    TransactionUserQueueLimits queue;
    /// Server location (RFC 3263) for requests sent to a URI.
    DnsSettings dns;
    /// Bounds of every transport added.
    TransportLimits transportLimits;
    /// Sees every message sent and received by every transport; may be null. Must be set here,
    /// before any transport exists.
    std::shared_ptr<MessageLoggingHandler> messageLogger;
    /// How long Shutdown lets the event loop finish its remaining work before it stops the loop.
    std::chrono::milliseconds drainTimeout{2000};

    /// Raises std::invalid_argument naming the first bad value.
    void Validate() const;
};

} // namespace zel::sip::stack

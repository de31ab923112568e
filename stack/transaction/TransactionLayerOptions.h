#pragma once

#include <cstddef>

#include "stack/message/MessageLimits.h"
#include "stack/transport/KeepAliveManager.h"
#include "stack/transaction/TransactionTimer.h"

namespace zel::sip::stack {

/// Settings and bounds of the TransactionLayer.
struct TransactionLayerOptions {
    /// T1, T2 and T4 (RFC 3261 section 17, table 4).
    TimerValues timers;
    /// Server transactions kept at once; a new request over this is answered 503. A call answered
    /// over UDP keeps two for 64*T1 after its last response (the INVITE's, RFC 6026, and the
    /// BYE's, Timer J): 500 calls/s hold 32,000, so the bound leaves room for twice that.
    std::size_t maxServerTransactions = 65536;
    /// Client requests in progress at once (each with its transactions and DNS look-up); a request
    /// over this fails with a TransportError event (std::errc::no_buffer_space). Sized like the
    /// server table: a client INVITE transaction also lives 64*T1 after its 2xx.
    std::size_t maxClientRequests = 65536;
    /// What the parser accepts from a peer.
    MessageLimits messageLimits;
    /// Client transactions whose final tuple is remembered for routing later requests the same
    /// way (SameTargetAs); the oldest is forgotten past this.
    std::size_t rememberedTargets = 4096;
    /// ACKs of 2xx kept for retransmission at once (each for 64*T1 at most); the oldest is
    /// forgotten past this.
    std::size_t rememberedAcks = 4096;
    /// Timings of RFC 5626 keep-alives (pong timeout, STUN retransmissions).
    KeepAliveTimings keepAlive;

    /// Raises std::invalid_argument for bad timer values or a zero bound.
    void Validate() const;
};

} // namespace zel::sip::stack

#pragma once

#include "stack/transaction/TransactionUserMessage.h"

namespace zel::sip::stack {

/// Where the transaction user (the dialog layer) takes what the transaction layer tells it. Called
/// on the transaction user's own event loop (the executor given with the sink), one message at a
/// time, in queue order; see `TransactionUserQueue::DeliverTo` for lifetime and batching.
class TransactionUserSink {
public:
    virtual ~TransactionUserSink() = default;

    /// One received request or response, or one transaction or flow event. May call back into the
    /// stack (send, answer, even shut it down).
    virtual void OnTransactionUserMessage(TransactionUserMessage message) = 0;
};

} // namespace zel::sip::stack

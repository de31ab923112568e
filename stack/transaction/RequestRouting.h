#pragma once

#include <cstdint>

#include "stack/transaction/TransactionUserMessage.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack {

/// One transport flow (RFC 5626 section 3): our end and the peer's. On stream transports
/// `remote.connectionId` names the connection; on UDP it is 0 and the flow is the pair of tuples.
/// Every received message names its flow (`TransactionUserMessage::source` and `local`).
struct Flow {
    Tuple local;
    Tuple remote;

    friend bool operator==(const Flow&, const Flow&) = default;
};

/// How the transaction layer treats one request of the transaction user.
struct RequestOptions {
    /// Fill in the first Contact's URI host and port (and `transport=` for transports other than
    /// UDP) with the address of the transport chosen for each target (again on failover), so that
    /// Contact agrees with the Via the layer writes. Requests without a Contact are left alone.
    bool fillContact = false;
};

/// Routing a request "like" an earlier one: to the very tuple (transport, address, port,
/// connection) that transaction `earlier` ended up using, after failover, without a new server
/// location. In-dialog requests use it to stay on the first hop, REGISTER refreshes on the flow.
struct SameTargetAs {
    TransactionId earlier = 0;
};

} // namespace zel::sip::stack

#pragma once

#include "stack/transport/Tuple.h"

#include <string_view>

namespace zel::sip::stack {

/// Sees every SIP message a transport sends or receives, with both endpoints and the exact bytes
/// on the wire. Installed in the stack before any transport is added.
///
/// The calls come from the stack's transport threads, possibly several at once, and must return
/// quickly: an implementation copies what it needs and hands the work elsewhere. The bytes are only
/// valid during the call.
class MessageLoggingHandler {
public:
    virtual ~MessageLoggingHandler() = default;

    /// A message the stack sent, first transmission.
    virtual void outboundMessage(const Tuple& source, const Tuple& destination, std::string_view wire) = 0;

    /// A retransmission (RFC 3261 section 17 timers) of a message sent earlier. Ignored unless overridden.
    virtual void outboundRetransmit(const Tuple& /*source*/, const Tuple& /*destination*/,
                                    std::string_view /*wire*/) {}

    /// A message the stack received.
    virtual void inboundMessage(const Tuple& source, const Tuple& destination, std::string_view wire) = 0;
};

} // namespace zel::sip::stack

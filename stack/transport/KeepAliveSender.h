#pragma once

#include "stack/transport/Tuple.h"

#include <string>

namespace zel::sip::stack {

/// Implemented by transports that can put keep-alive bytes on a flow without treating them as a
/// SIP message: they are neither logged nor counted, and never open a new connection. The UDP
/// transport sends a STUN Binding request this way (RFC 5626 section 4.4.2).
///
/// Threads: like `Transport::Send`, callable from any thread. A flow that cannot be reached is
/// not reported: the missing answer is what tells the keep-alive manager the flow failed.
class KeepAliveSender {
public:
    virtual ~KeepAliveSender() = default;
    virtual void SendKeepAlive(const Tuple& flow, std::string bytes) = 0;
};

} // namespace zel::sip::stack

#pragma once

#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// The ACK for a 300-699 response to `invite` (RFC 3261 section 17.1.1.3): the INVITE's
/// Request-URI, Call-ID, From and top Via only, the response's To (with its tag), the CSeq
/// number with method ACK, the INVITE's Route headers, and Max-Forwards (the INVITE's, else 70,
/// as every request carries one, RFC 3261 section 8.1.1.6). No body.
///
/// Raises std::invalid_argument when `invite` has no parsable Request-URI or CSeq, or
/// `response` has no To.
SipMessage MakeAckForFailure(const SipMessage& invite, const SipMessage& response);

/// The 100 Trying a server INVITE transaction sends for `request` (RFC 3261 sections 8.2.6 and
/// 17.2.1): Via (all values, in order), From, To (no tag added), Call-ID, CSeq and Timestamp
/// copied from the request.
SipMessage MakeTrying(const SipMessage& request);

} // namespace zel::sip::stack

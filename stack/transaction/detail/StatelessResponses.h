#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "stack/message/SipMessage.h"

namespace zel::sip::stack::detail {

/// A response to `request` (RFC 3261 section 8.2.6): Via (all values, in order), From, To, Call-ID
/// and CSeq copied, a To tag added when the request had none and `toTag` is not empty. nullopt when
/// one of those headers is missing or cannot be copied: such a request cannot be answered. Never
/// raises.
std::optional<SipMessage> MakeResponseTo(const SipMessage& request, int statusCode, std::string_view reason,
                                         std::string_view toTag) noexcept;

/// For a datagram the parser refused: its headers parsed again without the body, without
/// Content-Length and without header lines that are not `name: value`, under a stand-in request
/// line ("<method> sip:invalid SIP/2.0") that carries the received method (the CSeq method when
/// the first word is not a token). A request with a malformed request line (RFC 4475 section 3.1.2)
/// or broken framing can so still be answered 400 when its Via, From, To, Call-ID and CSeq allow.
/// Only the method and the headers are the peer's. nullopt for a response, or when no request can
/// be made out. Never raises.
std::optional<SipMessage> SalvageHeaders(std::string_view datagram) noexcept;

/// The final response for a received request that cannot be processed.
struct Rejection {
    int statusCode = 400;
    std::string reasonPhrase;
};

/// The stateless answer to a request that SipMessage::Validate or SipMessage::TryParse refused
/// with `failure`: 505 for a version other than SIP/2.0 (RFC 3261 sections 8.2 and 21.5.7), else
/// 400 with the refusal as reason phrase, so that the peer learns what was wrong (RFC 3261 section
/// 21.4.1 suggests a phrase that names the bad header). Raises only std::bad_alloc.
Rejection RejectionFor(const SipMessage& request, const ParseFailure& failure);

} // namespace zel::sip::stack::detail

#pragma once

#include <optional>
#include <string_view>

#include "stack/message/SipMessage.h"

namespace zel::sip::stack::detail {

/// A response to `request` (RFC 3261 section 8.2.6): Via (all values, in order), From, To, Call-ID
/// and CSeq copied, a To tag added when the request had none and `toTag` is not empty. nullopt when
/// one of those headers is missing or cannot be copied: such a request cannot be answered. Never
/// raises.
std::optional<SipMessage> MakeResponseTo(const SipMessage& request, int statusCode, std::string_view reason,
                                         std::string_view toTag) noexcept;

/// For a datagram the parser refused: its start line and headers parsed again without the body and
/// without Content-Length, so that a request whose framing alone is broken can still be answered
/// 400. nullopt when even that fails or it is not a request. Never raises.
std::optional<SipMessage> SalvageHeaders(std::string_view datagram) noexcept;

} // namespace zel::sip::stack::detail

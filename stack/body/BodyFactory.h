#pragma once

#include "stack/body/Body.h"
#include "stack/body/BodyLimits.h"
#include "stack/body/ContentType.h"
#include "stack/body/ParseResult.h"

#include <memory>
#include <string_view>

namespace zel::sip::stack {

class SdpBody;

/// Parses a received body according to its Content-Type:
///   application/sdp -> SdpBody, multipart/* -> MultipartBody (parts parsed the same way),
///   text/plain -> TextBody, anything else -> GenericBody.
/// Types are matched without regard to case. A body whose Content-Transfer-Encoding is neither
/// absent nor an identity encoding (7bit, 8bit, binary) cannot be read and is kept as a
/// GenericBody; pass the encoding through `headers` when it is known (the SIP header of a
/// message, or the part headers inside a multipart). The returned body carries `headers`.
///
/// Never throws on bad input: an SDP that does not parse, a multipart without a boundary
/// parameter or with broken delimiters, or a body over the limits gives an error. A multipart
/// fails as a whole when one of its parts fails, naming the part.
ParseResult<std::unique_ptr<Body>> ParseBody(const ContentType& type, std::string_view content,
                                             const MimeHeaders& headers = {}, const BodyLimits& limits = {});

/// As above, with the Content-Type header value as text (parsed with ContentType::Parse).
ParseResult<std::unique_ptr<Body>> ParseBody(std::string_view contentType, std::string_view content,
                                             const MimeHeaders& headers = {}, const BodyLimits& limits = {});

/// As above, with the message layer's Mime and its parameters (boundary, charset, ...).
ParseResult<std::unique_ptr<Body>> ParseBody(const Mime& mime, std::string_view content,
                                             const MimeHeaders& headers = {}, const BodyLimits& limits = {});

/// The first application/sdp body in `body`: the body itself, or the first found in a multipart,
/// depth first, in part order (RFC 5621 section 3). Null when there is none. The pointer refers
/// into `body` and lives as long as it does and its parts are not removed.
const SdpBody* FindSdp(const Body& body) noexcept;

namespace detail {
/// ParseBody at a nesting depth (0 for a message body); used by the multipart parser.
ParseResult<std::unique_ptr<Body>> ParseBodyAtDepth(const ContentType& type, std::string_view content,
                                                    const MimeHeaders& headers, const BodyLimits& limits,
                                                    std::size_t depth);
} // namespace detail

} // namespace zel::sip::stack

#pragma once

#include "dum/IContentsFactory.h"
#include "sdp/IMediaNegotiator.h"

namespace zel::sip {

/// Builds SIP bodies from the host's `Contents` records: each record becomes a body of its
/// Content-Type holding its Data, with the MIME headers whose fields are not null. Several bodies
/// go into one multipart/mixed body in record order (RFC 5621).
///
/// Records are only read during a call; nothing of them is kept. The media negotiator must
/// outlive the factory. Immutable; safe on any thread. CreateOffer runs the negotiator (and so
/// the host's LocalMediaEndpointRequired slots) on the calling thread.
///
/// Errors (std::invalid_argument): "unexpected address type: <n>"; "Invalid MIME type '<text>'"
/// for a Content-Type without exactly one "/"; "contents record <i> has no content type or no
/// data" for such a record among several (see CreateContents). The negotiator's errors pass
/// through. Nothing is returned on an error.
class ContentsFactory final : public IContentsFactory {
public:
    explicit ContentsFactory(const IMediaNegotiator& mediaNegotiator) noexcept : mediaNegotiator_(mediaNegotiator) {}

    /// Null for a null array or a count of 0, and for a single record without type or data.
    /// Among several records one without type or data is refused rather than dropped, so that no
    /// body the host meant to send goes missing unnoticed.
    std::shared_ptr<stack::Body> CreateContents(const ::Contents* contents, std::size_t count) const override;

    /// The SDP offer alone for no records; a multipart/mixed body with the offer first otherwise,
    /// even for one record.
    std::shared_ptr<stack::Body> CreateOffer(AddressType addressType, const ::Contents* contents,
                                             std::size_t count) const override;

private:
    const IMediaNegotiator& mediaNegotiator_;
};

} // namespace zel::sip

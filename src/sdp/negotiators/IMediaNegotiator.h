#pragma once

#include "stack/body/sdp/Medium.h"

namespace zel::sip {
class ISessionImpl;
}

namespace zel::sip::sdp::negotiators {

/// One aspect of a media description in the SDP offer/answer model (RFC 3264): the codec list,
/// the direction, RTCP multiplexing, or SRTP. The media negotiator hands each media description
/// to a fixed list of these.
///
/// Every implementation first removes the part of the medium it owns and then writes its own, so
/// running an operation twice leaves one copy. A negotiation that cannot succeed raises
/// std::invalid_argument with one of the implementation's fixed texts; what was changed before
/// the error stays changed.
///
/// Implementations are immutable after construction and hold no lock: any number of threads may
/// call them at once, each on its own media.
class IMediaNegotiator {
public:
    using Medium = stack::sdp::Medium;

    virtual ~IMediaNegotiator() = default;

    /// Writes this negotiator's part of a medium that we offer. `session` is null for an offer
    /// made before any session exists; `index` is the medium's position (0 from the media
    /// negotiator).
    virtual void MakeOffer(ISessionImpl* session, unsigned long index, Medium& medium) const = 0;

    /// Writes this negotiator's part of the answer to the remote `offered` medium at `index`.
    /// May narrow the offered medium to what was accepted.
    virtual void NegotiateAnswer(ISessionImpl& session, unsigned long index, Medium& offered,
                                 Medium& answer) const = 0;

    /// Checks the remote `answer` to our `offered` medium at `index`; may adjust our medium to
    /// what the answer accepted.
    virtual void VerifyAnswer(ISessionImpl& session, unsigned long index, Medium& offered,
                              const Medium& answer) const = 0;

protected:
    IMediaNegotiator() = default;
    IMediaNegotiator(const IMediaNegotiator&) = default;
    IMediaNegotiator& operator=(const IMediaNegotiator&) = default;
};

} // namespace zel::sip::sdp::negotiators

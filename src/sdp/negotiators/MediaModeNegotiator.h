#pragma once

#include "config/Config.h"
#include "sdp/negotiators/IMediaNegotiator.h"

#include <string>

namespace zel::sip::sdp::negotiators {

/// The media direction attribute (sendrecv, sendonly, recvonly, inactive; RFC 3264 section 6.1).
///
/// Offers carry the configured default mode, used unchanged as the attribute name. Answers
/// mirror the offered direction (sendonly -> recvonly, recvonly -> sendonly), keep sendrecv and
/// inactive, and use the default mode only when the offer states none. Never fails; answers are
/// not checked. Does not use the session or the index. Immutable; safe on any thread.
class MediaModeNegotiator final : public IMediaNegotiator {
public:
    explicit MediaModeNegotiator(const Config& config);

    void MakeOffer(ISessionImpl* session, unsigned long index, Medium& medium) const override;
    void NegotiateAnswer(ISessionImpl& session, unsigned long index, Medium& offered, Medium& answer) const override;
    void VerifyAnswer(ISessionImpl& session, unsigned long index, Medium& offered, const Medium& answer) const override;

private:
    std::string defaultMode_;
};

} // namespace zel::sip::sdp::negotiators

#pragma once

#include "config/Config.h"
#include "core/IRandomNumberGenerator.h"
#include "sdp/IMediumFactory.h"
#include "sdp/negotiators/MediaSecurityNegotiator.h"

#include <memory>

namespace zel::sip::sdp {

/// The audio media descriptions of a new offer, each with its transport profile and a=crypto
/// lines already set by a security negotiator; port 0 (filled in later), no codecs.
///
/// With UseSRTP MultipleMediaDescriptor there are two: a plain RTP/AVP one, then an RTP/SAVP one
/// with the configured crypto lines, so a peer may accept either. Otherwise there is one, shaped
/// by the configured policy.
///
/// The random number generator must outlive the factory. Immutable; safe on any thread.
/// GetMediums passes on the errors of the security negotiators, e.g. "SRTP is mandatory but no
/// crypto profiles are defined" when SRTP is required and no crypto profile is configured.
class MediumFactory final : public IMediumFactory {
public:
    MediumFactory(const IRandomNumberGenerator& random, Config config);

    std::vector<stack::sdp::Medium> GetMediums(ISessionImpl* session) const override;

private:
    Config config_;
    std::shared_ptr<negotiators::MediaSecurityNegotiator> plain_;
    std::shared_ptr<negotiators::MediaSecurityNegotiator> secured_;
    std::shared_ptr<negotiators::MediaSecurityNegotiator> configured_;
};

} // namespace zel::sip::sdp

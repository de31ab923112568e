#include "sdp/MediumFactory.h"

namespace zel::sip::sdp {

namespace {

stack::sdp::Medium NewAudioMedium() { return stack::sdp::Medium("audio", 0, 1, "RTP/AVP"); }

} // namespace

MediumFactory::MediumFactory(const IRandomNumberGenerator& random, Config config)
    : config_(std::move(config)),
      plain_(std::make_shared<negotiators::MediaSecurityNegotiator>(random, UseSRTP::None, config_)),
      secured_(std::make_shared<negotiators::MediaSecurityNegotiator>(random, UseSRTP::Mandatory, config_)),
      configured_(std::make_shared<negotiators::MediaSecurityNegotiator>(random, config_.UseSRTP, config_)) {}

std::vector<stack::sdp::Medium> MediumFactory::GetMediums(ISessionImpl* session) const {
    std::vector<stack::sdp::Medium> media;
    if (config_.UseSRTP == UseSRTP::MultipleMediaDescriptor) {
        media.reserve(2);
        media.push_back(NewAudioMedium());
        plain_->MakeOffer(session, 0, media.back());
        media.push_back(NewAudioMedium());
        secured_->MakeOffer(session, 0, media.back());
        return media;
    }
    media.push_back(NewAudioMedium());
    configured_->MakeOffer(session, 0, media.back());
    return media;
}

} // namespace zel::sip::sdp

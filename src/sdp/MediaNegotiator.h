#pragma once

#include "config/Config.h"
#include "core/IRandomNumberGenerator.h"
#include "sdp/IMediaNegotiator.h"
#include "sdp/ILocalSDPFactory.h"
#include "sdp/IMediumFactory.h"
#include "sdp/negotiators/IMediaNegotiator.h"

#include <memory>
#include <string>
#include <vector>

namespace zel::sip {

/// The media negotiator: builds offers, answers and answer checks medium by medium, running the
/// per-medium negotiators in a fixed order (codecs, direction, RTCP multiplexing, then SRTP) and
/// asking the host for a local endpoint (LocalMediaEndpointRequired) for each medium that needs
/// one; releases endpoints of media the peer disables (LocalMediaEndpointSurplus).
///
/// All per-call state lives in the session (ISessionImpl); the negotiator is immutable after
/// construction and takes no lock, so any number of threads may use it at once, each on its own
/// session. The random number generator and the local SDP factory must outlive it.
///
/// Errors: std::invalid_argument for input that cannot be negotiated ("media description count
/// cannot be decreased", "media description count cannot differ between offer and answer",
/// "remote medium has no connection data" and the per-medium negotiators' texts);
/// std::runtime_error "unable to get a local media endpoint" when the host gives no usable
/// address or port. Changes made before an error are kept.
class MediaNegotiator final : public IMediaNegotiator {
public:
    MediaNegotiator(const IRandomNumberGenerator& random, const ILocalSDPFactory& localSDPFactory,
                    const Config& config);

    std::shared_ptr<stack::SdpBody> MakeOffer(stack::sdp::AddrType addressType) const override;
    stack::SdpBody& MakeOffer(ISessionImpl& session, stack::IpVersion ipVersion) const override;
    stack::SdpBody& NegotiateAnswer(ISessionImpl& session, stack::SdpBody& offer) const override;
    void VerifyAnswer(ISessionImpl& session, const stack::SdpBody& answer) const override;

private:
    using Medium = stack::sdp::Medium;

    void FillOffer(ISessionImpl* session, stack::SdpBody& body) const;
    stack::SdpBody& GetLocalSDP(ISessionImpl& session, stack::sdp::AddrType addressType) const;
    void GetLocalMediaEndpoint(Medium& medium, stack::sdp::AddrType addressType) const;
    void AddRTCPAttribute(Medium& medium) const;
    void AddMedium(ISessionImpl& session, unsigned long index, Medium& answered,
                   const std::vector<stack::sdp::Connection>& offeredConnections) const;
    void RemoveMedium(ISessionImpl& session, unsigned long index, Medium& local, const Medium& remote) const;
    void ReleaseEndpoint(ISessionImpl& session, unsigned long index, const Medium& local) const;

    const ILocalSDPFactory& localSDPFactory_;
    std::shared_ptr<sdp::IMediumFactory> mediumFactory_;
    std::shared_ptr<sdp::negotiators::IMediaNegotiator> securityNegotiator_;
    std::vector<std::shared_ptr<sdp::negotiators::IMediaNegotiator>> negotiators_;
    bool specifySessionInformation_;
    bool specifyRTCPAttribute_;
};

} // namespace zel::sip

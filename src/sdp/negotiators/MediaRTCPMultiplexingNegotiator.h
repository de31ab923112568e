#pragma once

#include "config/Config.h"
#include "sdp/negotiators/IMediaNegotiator.h"

namespace zel::sip::sdp::negotiators {

/// RTP/RTCP multiplexing on one port: a=rtcp-mux (RFC 5761 section 5.1.1) and a=rtcp-mux-only
/// (RFC 8858), by the configured policy.
///
/// - None: offers nothing, answers without rtcp-mux, refuses an offer or answer with rtcp-mux-only.
/// - Supported: offers rtcp-mux, accepts it when offered.
/// - Required: offers rtcp-mux and rtcp-mux-only; refuses an offer or answer without rtcp-mux.
///
/// Answers never carry rtcp-mux-only. Failures raise std::invalid_argument with fixed texts.
/// Does not use the session or the index. Immutable; safe on any thread.
class MediaRTCPMultiplexingNegotiator final : public IMediaNegotiator {
public:
    explicit MediaRTCPMultiplexingNegotiator(const Config& config);

    void MakeOffer(ISessionImpl* session, unsigned long index, Medium& medium) const override;
    void NegotiateAnswer(ISessionImpl& session, unsigned long index, Medium& offered, Medium& answer) const override;
    void VerifyAnswer(ISessionImpl& session, unsigned long index, Medium& offered, const Medium& answer) const override;

private:
    RTCPMultiplexingPolicy policy_;
};

} // namespace zel::sip::sdp::negotiators

#include "sdp/negotiators/MediaRTCPMultiplexingNegotiator.h"

#include <stdexcept>
#include <string_view>

namespace zel::sip::sdp::negotiators {

namespace {

constexpr std::string_view kRtcpMux = "rtcp-mux";
constexpr std::string_view kRtcpMuxOnly = "rtcp-mux-only";

void ClearMultiplexing(stack::sdp::Medium& medium) {
    medium.Attributes().Remove(kRtcpMux);
    medium.Attributes().Remove(kRtcpMuxOnly);
}

} // namespace

MediaRTCPMultiplexingNegotiator::MediaRTCPMultiplexingNegotiator(const Config& config)
    : policy_(config.RTCPMultiplexing) {}

void MediaRTCPMultiplexingNegotiator::MakeOffer(ISessionImpl*, unsigned long, Medium& medium) const {
    ClearMultiplexing(medium);
    switch (policy_) {
    case RTCPMultiplexingPolicy::None:
        break;
    case RTCPMultiplexingPolicy::Supported:
        medium.Attributes().Add(std::string(kRtcpMux));
        break;
    case RTCPMultiplexingPolicy::Required:
        // RFC 8858 section 4.1: rtcp-mux-only goes together with rtcp-mux.
        medium.Attributes().Add(std::string(kRtcpMux));
        medium.Attributes().Add(std::string(kRtcpMuxOnly));
        break;
    }
}

void MediaRTCPMultiplexingNegotiator::NegotiateAnswer(ISessionImpl&, unsigned long, Medium& offered,
                                                      Medium& answer) const {
    ClearMultiplexing(answer);
    const bool offersMux = offered.Attributes().Exists(kRtcpMux);
    switch (policy_) {
    case RTCPMultiplexingPolicy::Required:
        if (!offersMux) {
            throw std::invalid_argument(
                "RTCP multiplexing is required but the offer does not support RTCP multiplexing");
        }
        [[fallthrough]];
    case RTCPMultiplexingPolicy::Supported:
        if (offersMux) {
            answer.Attributes().Add(std::string(kRtcpMux));
        }
        break;
    case RTCPMultiplexingPolicy::None:
        if (offered.Attributes().Exists(kRtcpMuxOnly)) {
            throw std::invalid_argument("RTCP multiplexing is disabled but the offer requires RTCP multiplexing");
        }
        break;
    }
}

void MediaRTCPMultiplexingNegotiator::VerifyAnswer(ISessionImpl&, unsigned long, Medium&, const Medium& answer) const {
    switch (policy_) {
    case RTCPMultiplexingPolicy::Required:
        if (!answer.Attributes().Exists(kRtcpMux)) {
            throw std::invalid_argument(
                "RTCP multiplexing is required but the answer does not support RTCP multiplexing");
        }
        break;
    case RTCPMultiplexingPolicy::None:
        if (answer.Attributes().Exists(kRtcpMuxOnly)) {
            throw std::invalid_argument("RTCP multiplexing is disabled but the answer requires RTCP multiplexing");
        }
        break;
    case RTCPMultiplexingPolicy::Supported:
        break;
    }
}

} // namespace zel::sip::sdp::negotiators

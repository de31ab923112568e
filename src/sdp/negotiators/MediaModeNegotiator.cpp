#include "sdp/negotiators/MediaModeNegotiator.h"

#include <array>
#include <string_view>
#include <utility>

namespace zel::sip::sdp::negotiators {

namespace {

constexpr std::string_view kSendRecv = "sendrecv";
constexpr std::string_view kSendOnly = "sendonly";
constexpr std::string_view kRecvOnly = "recvonly";
constexpr std::string_view kInactive = "inactive";

void ClearDirection(stack::sdp::Medium& medium) {
    for (const auto name : {kSendRecv, kSendOnly, kRecvOnly, kInactive}) {
        medium.Attributes().Remove(name);
    }
}

// RFC 3264 section 6.1: the answer's direction as seen from the answerer. The first offered
// direction in this order decides, so a contradictory offer (inactive and sendrecv) is answered
// with the most restrictive one.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kAnswerTo{{
    {kInactive, kInactive},
    {kSendOnly, kRecvOnly},
    {kRecvOnly, kSendOnly},
    {kSendRecv, kSendRecv},
}};

} // namespace

MediaModeNegotiator::MediaModeNegotiator(const Config& config) : defaultMode_(config.DefaultMediaMode) {}

void MediaModeNegotiator::MakeOffer(ISessionImpl*, unsigned long, Medium& medium) const {
    ClearDirection(medium);
    medium.Attributes().Add(defaultMode_);
}

void MediaModeNegotiator::NegotiateAnswer(ISessionImpl&, unsigned long, Medium& offered, Medium& answer) const {
    ClearDirection(answer);
    for (const auto& [offeredMode, answeredMode] : kAnswerTo) {
        if (offered.Attributes().Exists(offeredMode)) {
            answer.Attributes().Add(std::string(answeredMode));
            return;
        }
    }
    answer.Attributes().Add(defaultMode_);
}

void MediaModeNegotiator::VerifyAnswer(ISessionImpl&, unsigned long, Medium&, const Medium&) const {}

} // namespace zel::sip::sdp::negotiators

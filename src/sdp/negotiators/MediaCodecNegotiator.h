#pragma once

#include "config/Config.h"
#include "sdp/negotiators/IMediaNegotiator.h"
#include "stack/body/sdp/Codec.h"

#include <map>
#include <string>
#include <vector>

namespace zel::sip::sdp::negotiators {

/// The codec list of a media description (RFC 3264 sections 5.1, 6.1; RFC 3551; DTMF events of
/// RFC 4733).
///
/// Built from the configured codecs: each gets the static payload type of RFC 3551 section 6 when
/// its name (exactly), clock rate and channel count match one, otherwise the next dynamic type
/// from 96 to 127. Configured "telephone-event" and "tone" entries, and codecs left without a type
/// once 127 is taken, are silently left out.
///
/// - Offers list the configured codecs whose media type is the medium's, then one
///   telephone-event per distinct clock rate, and give opus a maxplaybackrate of 16000 unless set.
/// - Answers accept one offered codec, the first configured one that the offer lists (our order
///   of preference), with the offerer's payload type, plus the offer's telephone-event.
/// - Answers are accepted when they list any configured codec.
///
/// Failures raise std::invalid_argument "offer does not contain a supported codec" and
/// "answer does not contain a supported codec". Does not use the session or the index.
/// Immutable; safe on any thread.
class MediaCodecNegotiator final : public IMediaNegotiator {
public:
    using Codec = stack::sdp::Codec;

    explicit MediaCodecNegotiator(const Config& config);

    void MakeOffer(ISessionImpl* session, unsigned long index, Medium& medium) const override;
    void NegotiateAnswer(ISessionImpl& session, unsigned long index, Medium& offered, Medium& answer) const override;
    void VerifyAnswer(ISessionImpl& session, unsigned long index, Medium& offered, const Medium& answer) const override;

    /// The first codec of `medium` that matches a configured codec, trying the configured codecs
    /// in order; none when there is no match. Codecs match by name (without regard to case),
    /// clock rate and channel count, and their format parameters must agree (except for G723,
    /// G729 and opus): a parameter both sides name must have the same value on both.
    std::optional<Codec> FindFirstSupportedCodec(const Medium& medium) const;

    /// The configured codecs with their payload types, in configured order.
    const std::vector<Codec>& Codecs() const noexcept { return codecs_; }

private:
    std::vector<Codec> codecs_;
    std::map<std::string, std::string, std::less<>> mediaTypes_; ///< encoding name -> media type
};

} // namespace zel::sip::sdp::negotiators

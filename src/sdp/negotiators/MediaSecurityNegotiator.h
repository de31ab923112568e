#pragma once

#include "config/Config.h"
#include "core/IRandomNumberGenerator.h"
#include "sdp/negotiators/IMediaNegotiator.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::sdp::negotiators {

/// SRTP keyed by SDES a=crypto lines (RFC 4568) for one media description: its transport profile
/// ("RTP/AVP" or "RTP/SAVP") and its crypto lines, under one of five policies:
///
/// - None: plain RTP only; offers or answers that mandate SRTP are refused.
/// - BestEffort: offers RTP/AVP with crypto lines; takes SRTP when the peer does.
/// - Mandatory: SRTP only.
/// - Fallback: offers RTP/SAVP, but falls back to plain RTP with peers that list the option tag
///   "x-cisco-srtp-fallback" (asked of the session with IsSupportedByPeer).
/// - MultipleMediaDescriptor: offers are prepared elsewhere (one plain and one secured medium);
///   answers follow each offered medium's profile.
///
/// Offers carry one line per configured crypto profile with fresh keys from the random number
/// generator. Answers accept the first configured suite that the offer lists, with the offerer's
/// own line copied unchanged, and narrow the offered medium to that line.
///
/// Failures raise std::invalid_argument with fixed texts; errors of the random number generator
/// pass through. The generator must outlive this object. Immutable; safe on any thread as long
/// as the generator is.
class MediaSecurityNegotiator final : public IMediaNegotiator {
public:
    /// The option tag by which a peer accepts a fall back from SRTP to plain RTP.
    static constexpr std::string_view CiscoSRTPFallback = "x-cisco-srtp-fallback";

    MediaSecurityNegotiator(const IRandomNumberGenerator& random, UseSRTP policy, const Config& config);

    /// Reads the session (IsConnected, IsSupportedByPeer) only under the Fallback policy.
    void MakeOffer(ISessionImpl* session, unsigned long index, Medium& medium) const override;
    void NegotiateAnswer(ISessionImpl& session, unsigned long index, Medium& offered, Medium& answer) const override;
    void VerifyAnswer(ISessionImpl& session, unsigned long index, Medium& offered, const Medium& answer) const override;

    /// The value of the first crypto line of `medium` whose suite is a configured one, trying the
    /// configured profiles in order; none when there is none. Lines that do not parse are skipped.
    std::optional<std::string> FindFirstSupportedCrypto(const Medium& medium) const;

    UseSRTP Policy() const noexcept { return policy_; }

private:
    void AddOfferedCryptos(Medium& medium) const;

    const IRandomNumberGenerator& random_;
    UseSRTP policy_;
    std::vector<::zel::sip::Crypto> cryptos_;
};

} // namespace zel::sip::sdp::negotiators

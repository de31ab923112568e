#include "sdp/negotiators/MediaSecurityNegotiator.h"

#include "sdp/ISessionImpl.h"
#include "sdp/attributes/Crypto.h"

#include <sstream>
#include <stdexcept>

namespace zel::sip::sdp::negotiators {

namespace {

constexpr std::string_view kCrypto = "crypto";
constexpr std::string_view kRtpAvp = "RTP/AVP";
constexpr std::string_view kRtpSavp = "RTP/SAVP";

// The MKI length in bytes that can number `keys` master keys (RFC 4568 section 9.2).
unsigned MkiLength(std::uint64_t keys) noexcept {
    if (keys < (1ULL << 8)) {
        return 1;
    }
    if (keys < (1ULL << 16)) {
        return 2;
    }
    if (keys < (1ULL << 32)) {
        return 4;
    }
    return 8;
}

std::optional<std::string> ParsedSuite(const std::string& value) {
    try {
        std::istringstream input(value);
        return attributes::Crypto::Parse(input).Suite;
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

// Keeps only the chosen crypto line of a remote medium.
void Narrow(stack::sdp::Medium& medium, std::string chosen) {
    medium.Attributes().Remove(kCrypto);
    medium.Attributes().Add(std::string(kCrypto), std::move(chosen));
}

void SetPlain(stack::sdp::Medium& medium) {
    medium.SetProtocol(std::string(kRtpAvp));
    medium.Attributes().Remove(kCrypto);
}

[[noreturn]] void Fail(const char* text) { throw std::invalid_argument(text); }

} // namespace

MediaSecurityNegotiator::MediaSecurityNegotiator(const IRandomNumberGenerator& random, UseSRTP policy,
                                                 const Config& config)
    : random_(random), policy_(policy), cryptos_(config.Cryptos) {}

// RFC 4568 section 9.1: "<tag> <suite> inline:<key||salt>[|<mki>:<length>][;...]", tags from 1.
void MediaSecurityNegotiator::AddOfferedCryptos(Medium& medium) const {
    std::uint32_t tag = 1;
    for (const auto& profile : cryptos_) {
        std::string value = std::to_string(tag++);
        value.append(1, ' ').append(profile.CryptoSuite).append(1, ' ');
        if (!profile.UseMKI) {
            value.append("inline:").append(random_.GenerateRandomDataAsBase64(profile.MasterKeyLength));
        } else {
            const auto mkiLength = std::to_string(MkiLength(profile.NumberOfMasterKeys));
            const std::uint64_t keys = profile.NumberOfMasterKeys == 0 ? 1 : profile.NumberOfMasterKeys;
            for (std::uint64_t mki = 1; mki <= keys; ++mki) {
                if (mki != 1) {
                    value.append(1, ';');
                }
                value.append("inline:").append(random_.GenerateRandomDataAsBase64(profile.MasterKeyLength));
                value.append(1, '|').append(std::to_string(mki)).append(1, ':').append(mkiLength);
            }
        }
        medium.Attributes().Add(std::string(kCrypto), std::move(value));
    }
}

void MediaSecurityNegotiator::MakeOffer(ISessionImpl* session, unsigned long, Medium& medium) const {
    if (policy_ == UseSRTP::MultipleMediaDescriptor) {
        return;
    }
    medium.Attributes().Remove(kCrypto);
    switch (policy_) {
    case UseSRTP::BestEffort:
        medium.SetProtocol(std::string(kRtpAvp));
        AddOfferedCryptos(medium);
        return;
    case UseSRTP::Mandatory:
        if (cryptos_.empty()) {
            Fail("SRTP is mandatory but no crypto profiles are defined");
        }
        medium.SetProtocol(std::string(kRtpSavp));
        AddOfferedCryptos(medium);
        return;
    case UseSRTP::Fallback:
        if (!cryptos_.empty() &&
            (session == nullptr || !session->IsConnected() || session->IsSupportedByPeer(CiscoSRTPFallback))) {
            medium.SetProtocol(std::string(kRtpSavp));
            AddOfferedCryptos(medium);
        } else {
            medium.SetProtocol(std::string(kRtpAvp));
        }
        return;
    case UseSRTP::None:
    case UseSRTP::MultipleMediaDescriptor:
        break;
    }
    medium.SetProtocol(std::string(kRtpAvp));
}

void MediaSecurityNegotiator::NegotiateAnswer(ISessionImpl& session, unsigned long, Medium& offered,
                                              Medium& answer) const {
    answer.Attributes().Remove(kCrypto);
    const bool offerMandatesSrtp = offered.Protocol() == kRtpSavp;

    const auto accept = [&](std::string protocol, std::string chosen) {
        answer.SetProtocol(std::move(protocol));
        answer.Attributes().Add(std::string(kCrypto), chosen);
        Narrow(offered, std::move(chosen));
    };

    switch (policy_) {
    case UseSRTP::BestEffort:
        if (auto chosen = FindFirstSupportedCrypto(offered)) {
            accept(offered.Protocol(), std::move(*chosen));
        } else if (offerMandatesSrtp) {
            Fail("offer mandates SRTP but contains no supported crypto profile");
        } else {
            answer.SetProtocol(offered.Protocol());
        }
        return;
    case UseSRTP::Mandatory:
        if (auto chosen = FindFirstSupportedCrypto(offered)) {
            accept(std::string(kRtpSavp), std::move(*chosen));
            return;
        }
        Fail("SRTP is mandatory but offer contains no supported crypto profile");
    case UseSRTP::Fallback:
        if (auto chosen = FindFirstSupportedCrypto(offered)) {
            accept(std::string(kRtpSavp), std::move(*chosen));
            return;
        }
        if (offerMandatesSrtp && !session.IsSupportedByPeer(CiscoSRTPFallback)) {
            Fail("offer mandates SRTP but contains no supported crypto profile - peer must support "
                 "x-cisco-srtp-fallback to fallback to RTP from SRTP");
        }
        answer.SetProtocol(std::string(kRtpAvp));
        SetPlain(offered);
        return;
    case UseSRTP::MultipleMediaDescriptor:
        if (offered.Protocol() == kRtpAvp) {
            answer.SetProtocol(std::string(kRtpAvp));
            return;
        }
        if (auto chosen = FindFirstSupportedCrypto(offered)) {
            accept(std::string(kRtpSavp), std::move(*chosen));
            return;
        }
        Fail("SRTP is offered but offer contains no supported crypto profile");
    case UseSRTP::None:
        break;
    }
    if (offerMandatesSrtp) {
        Fail("SRTP is disabled but offer mandates SRTP");
    }
    answer.SetProtocol(std::string(kRtpAvp));
}

void MediaSecurityNegotiator::VerifyAnswer(ISessionImpl& session, unsigned long, Medium& offered,
                                           const Medium& answer) const {
    const bool answerMandatesSrtp = answer.Protocol() == kRtpSavp;
    const bool answerHasCrypto = answer.Attributes().Exists(kCrypto);
    switch (policy_) {
    case UseSRTP::BestEffort:
    case UseSRTP::Mandatory:
    case UseSRTP::Fallback:
        if (FindFirstSupportedCrypto(answer)) {
            return;
        }
        if (policy_ == UseSRTP::Mandatory) {
            Fail("SRTP is mandatory but answer contains no supported crypto profile");
        }
        if (answerHasCrypto) {
            Fail("answer contains one or more crypto profile but none are supported");
        }
        if (answerMandatesSrtp) {
            Fail("answer mandates SRTP but contains no supported crypto profile");
        }
        if (policy_ == UseSRTP::Fallback) {
            if (!session.IsSupportedByPeer(CiscoSRTPFallback)) {
                Fail("peer must support x-cisco-srtp-fallback to RTP from SRTP");
            }
            SetPlain(offered);
        }
        return;
    case UseSRTP::MultipleMediaDescriptor:
        if (answerMandatesSrtp && !FindFirstSupportedCrypto(answer)) {
            Fail("answer mandates SRTP but contains no supported crypto profile");
        }
        return;
    case UseSRTP::None:
        break;
    }
    if (answerMandatesSrtp) {
        Fail("SRTP is disabled but answer mandates SRTP");
    }
    if (answerHasCrypto) {
        Fail("SRTP is disabled but answer contains one or more crypto profiles");
    }
}

std::optional<std::string> MediaSecurityNegotiator::FindFirstSupportedCrypto(const Medium& medium) const {
    if (cryptos_.empty()) {
        return std::nullopt;
    }
    std::vector<std::pair<const std::string*, std::optional<std::string>>> lines;
    for (const auto& attribute : medium.Attributes().All()) {
        if (attribute.name == kCrypto) {
            lines.emplace_back(&attribute.value, ParsedSuite(attribute.value));
        }
    }
    for (const auto& profile : cryptos_) {
        for (const auto& [value, suite] : lines) {
            if (suite && *suite == profile.CryptoSuite) {
                return *value;
            }
        }
    }
    return std::nullopt;
}

} // namespace zel::sip::sdp::negotiators

#include "sdp/negotiators/MediaCodecNegotiator.h"

#include "sdp/negotiators/FormatParameters.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <array>
#include <set>
#include <stdexcept>
#include <string_view>

namespace zel::sip::sdp::negotiators {

namespace {

constexpr std::string_view kTelephoneEvent = "telephone-event";
constexpr std::string_view kTone = "tone";
constexpr std::string_view kDtmfEvents = "0-15";
constexpr unsigned kFirstDynamicType = 96;
constexpr unsigned kLastDynamicType = 127;

enum class Channels { One, OneOrTwo, Two, Any };

struct StaticType {
    std::string_view encoding;
    std::uint32_t clockRate;
    Channels channels;
    unsigned payloadType;
};

// RFC 3551 section 6, tables 4 and 5, matched against configured names exactly. G722 keeps the
// RTP clock rate of 8000 that the RFC assigns it.
constexpr std::array<StaticType, 24> kStaticTypes{{
    {"PCMU", 8000, Channels::One, 0},      {"GSM", 8000, Channels::One, 3},
    {"G723", 8000, Channels::One, 4},      {"DVI4", 8000, Channels::One, 5},
    {"DVI4", 16000, Channels::One, 6},     {"LPC", 8000, Channels::One, 7},
    {"PCMA", 8000, Channels::One, 8},      {"G722", 8000, Channels::One, 9},
    {"L16", 44100, Channels::Two, 10},     {"L16", 44100, Channels::One, 11},
    {"QCELP", 8000, Channels::One, 12},    {"CN", 8000, Channels::One, 13},
    {"MPA", 90000, Channels::OneOrTwo, 14}, {"G728", 8000, Channels::One, 15},
    {"DVI4", 11025, Channels::One, 16},    {"DVI4", 22050, Channels::One, 17},
    {"G729", 8000, Channels::One, 18},     {"CELB", 90000, Channels::Any, 25},
    {"JPEG", 90000, Channels::Any, 26},    {"nv", 90000, Channels::Any, 28},
    {"H261", 90000, Channels::Any, 31},    {"MPV", 90000, Channels::Any, 32},
    {"MP2T", 90000, Channels::Any, 33},    {"H263", 90000, Channels::Any, 34},
}};

bool ChannelsMatch(Channels condition, std::uint16_t channels) noexcept {
    switch (condition) {
    case Channels::One:
        return channels == 1;
    case Channels::OneOrTwo:
        return channels == 1 || channels == 2;
    case Channels::Two:
        return channels == 2;
    case Channels::Any:
        return true;
    }
    return false;
}

std::optional<unsigned> StaticPayloadType(const Codec& configured) noexcept {
    for (const auto& entry : kStaticTypes) {
        if (entry.encoding == configured.Encoding && entry.clockRate == configured.ClockRate &&
            ChannelsMatch(entry.channels, configured.Channels)) {
            return entry.payloadType;
        }
    }
    return std::nullopt;
}

std::string JoinParameters(const std::vector<std::string>& parameters) {
    std::string text;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (i != 0) {
            text.append(1, ';');
        }
        text.append(parameters[i]);
    }
    return text;
}

// Codecs whose format parameters describe the sender's capabilities rather than the stream, so
// a difference does not make them incompatible (RFC 7587 section 7 for opus; annexb of
// RFC 4856 for G723/G729 is negotiated by the answer).
bool IgnoresFormatParameters(std::string_view name) noexcept {
    return boost::algorithm::iequals(name, "G723") || boost::algorithm::iequals(name, "G729") ||
           boost::algorithm::iequals(name, "opus");
}

bool FormatParametersAgree(const stack::sdp::Codec& configured, const stack::sdp::Codec& offered) {
    if (IgnoresFormatParameters(configured.name)) {
        return true;
    }
    const auto ours = SplitFormatParameters(configured.formatParameters);
    const auto theirs = SplitFormatParameters(offered.formatParameters);
    for (const auto& [name, value] : ours) {
        for (const auto& [otherName, otherValue] : theirs) {
            if (boost::algorithm::iequals(name, otherName) && value != otherValue) {
                return false;
            }
        }
    }
    return true;
}

// The largest payload type in use, plus one, but never below the dynamic range.
unsigned NextDynamicType(const std::vector<stack::sdp::Codec>& codecs) noexcept {
    unsigned next = kFirstDynamicType;
    for (const auto& codec : codecs) {
        next = std::max(next, codec.payloadType + 1);
    }
    return next;
}

// One telephone-event entry per distinct clock rate of the offered codecs (RFC 4733 section
// 7.1.1), on the payload types after the highest one in use, while they last.
void AddTelephoneEvents(std::vector<stack::sdp::Codec>& codecs) {
    std::set<std::uint32_t> rates;
    for (const auto& codec : codecs) {
        rates.insert(codec.clockRate);
    }
    unsigned next = NextDynamicType(codecs);
    for (const auto rate : rates) {
        if (next > kLastDynamicType) {
            break;
        }
        codecs.emplace_back(next++, std::string(kTelephoneEvent), rate, std::string(), std::string(kDtmfEvents));
    }
}

// RFC 7587 section 7: a receiver that decodes at most 16 kHz says so with maxplaybackrate.
void LimitOpusPlaybackRate(std::vector<stack::sdp::Codec>& codecs) {
    const auto opus = std::find_if(codecs.begin(), codecs.end(),
                                   [](const auto& codec) { return boost::algorithm::iequals(codec.name, "opus"); });
    if (opus == codecs.end()) {
        return;
    }
    auto parameters = SplitFormatParameters(opus->formatParameters);
    const bool hasRate = std::any_of(parameters.begin(), parameters.end(), [](const auto& parameter) {
        return boost::algorithm::iequals(parameter.first, "maxplaybackrate");
    });
    if (!hasRate) {
        parameters.emplace_back("maxplaybackrate", "16000");
        opus->formatParameters = JoinFormatParameters(parameters);
    }
}

} // namespace

MediaCodecNegotiator::MediaCodecNegotiator(const Config& config) {
    unsigned nextDynamic = kFirstDynamicType;
    for (const auto& configured : config.Codecs) {
        mediaTypes_[configured.Encoding] = configured.Type;
        std::optional<unsigned> payloadType = StaticPayloadType(configured);
        if (!payloadType && configured.Encoding != kTelephoneEvent && configured.Encoding != kTone &&
            nextDynamic <= kLastDynamicType) {
            payloadType = nextDynamic++;
        }
        if (!payloadType) {
            continue;
        }
        codecs_.emplace_back(*payloadType, configured.Encoding, configured.ClockRate,
                             configured.Channels >= 2 ? std::to_string(configured.Channels) : std::string(),
                             JoinParameters(configured.Parameters));
    }
}

void MediaCodecNegotiator::MakeOffer(ISessionImpl*, unsigned long, Medium& medium) const {
    medium.ClearCodecs();
    std::vector<Codec> offered;
    offered.reserve(codecs_.size() + 2);
    for (const auto& codec : codecs_) {
        const auto type = mediaTypes_.find(codec.name);
        if (type != mediaTypes_.end() && type->second == medium.MediaType()) {
            offered.push_back(codec);
        }
    }
    AddTelephoneEvents(offered);
    LimitOpusPlaybackRate(offered);
    for (const auto& codec : offered) {
        medium.AddCodec(codec);
    }
}

void MediaCodecNegotiator::NegotiateAnswer(ISessionImpl&, unsigned long, Medium& offered, Medium& answer) const {
    answer.ClearCodecs();
    const auto offeredCodecs = offered.Codecs();
    const auto chosen = FindFirstSupportedCodec(offered);
    if (!chosen) {
        throw std::invalid_argument("offer does not contain a supported codec");
    }
    answer.AddCodec(*chosen);

    // RFC 4733 section 2.5.1.2: answer the offered events at the chosen codec's clock rate.
    const Codec* events = nullptr;
    for (const auto& codec : offeredCodecs) {
        if (codec.name != kTelephoneEvent) {
            continue;
        }
        if (codec.clockRate == chosen->clockRate) {
            events = &codec;
            break;
        }
        if (!events) {
            events = &codec;
        }
    }
    if (events) {
        auto answered = *events;
        answered.formatParameters = std::string(kDtmfEvents);
        answer.AddCodec(answered);
    }
}

void MediaCodecNegotiator::VerifyAnswer(ISessionImpl&, unsigned long, Medium&, const Medium& answer) const {
    if (!FindFirstSupportedCodec(answer)) {
        throw std::invalid_argument("answer does not contain a supported codec");
    }
}

std::optional<stack::sdp::Codec> MediaCodecNegotiator::FindFirstSupportedCodec(const Medium& medium) const {
    const auto offered = medium.Codecs();
    for (const auto& ours : codecs_) {
        for (const auto& theirs : offered) {
            if (theirs == ours && FormatParametersAgree(ours, theirs)) {
                return theirs;
            }
        }
    }
    return std::nullopt;
}

} // namespace zel::sip::sdp::negotiators

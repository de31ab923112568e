#include "stack/body/sdp/Medium.h"

#include <algorithm>
#include <charconv>

namespace zel::sip::stack::sdp {

namespace {

constexpr std::string_view kRtpmap = "rtpmap";
constexpr std::string_view kFmtp = "fmtp";

// A payload type number 0..127 written in decimal, else none.
std::optional<unsigned> PayloadTypeOf(std::string_view text) noexcept {
    unsigned value = 0;
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 127) {
        return std::nullopt;
    }
    return value;
}

bool IsCodecAttribute(const Attribute& a) noexcept { return a.name == kRtpmap || a.name == kFmtp; }

// The payload type an a=rtpmap or a=fmtp value is about.
std::optional<unsigned> SubjectOf(const Attribute& a) noexcept {
    const auto split = SplitFmtp(a.value);
    return split ? PayloadTypeOf(split->first) : std::nullopt;
}

void AppendLine(std::string& out, char type, std::string_view value) {
    out.append(1, type).append(1, '=').append(value).append("\r\n");
}

} // namespace

void Medium::SetConnection(Connection c) {
    connections_.clear();
    connections_.push_back(std::move(c));
}

std::vector<Connection> Medium::EffectiveConnections(const std::optional<Connection>& sessionLevel) const {
    if (!connections_.empty()) {
        return connections_;
    }
    if (sessionLevel) {
        return {*sessionLevel};
    }
    return {};
}

std::vector<Codec> Medium::Codecs() const {
    std::vector<Codec> codecs;
    for (const auto& format : formats_) {
        const auto pt = PayloadTypeOf(format);
        if (!pt) {
            continue;
        }
        std::optional<Codec> codec;
        const Attribute* fmtp = nullptr;
        for (const auto& a : attributes_.All()) {
            if (!codec && a.name == kRtpmap && SubjectOf(a) == pt) {
                codec = ParseRtpmap(a.value);
            } else if (!fmtp && a.name == kFmtp && SubjectOf(a) == pt) {
                fmtp = &a;
            }
        }
        if (!codec) {
            codec = StaticCodec(*pt);
        }
        if (!codec) {
            continue;
        }
        codec->payloadType = *pt;
        if (fmtp) {
            codec->formatParameters = std::string(SplitFmtp(fmtp->value)->second);
        }
        codecs.push_back(std::move(*codec));
    }
    return codecs;
}

void Medium::AddCodec(const Codec& codec) {
    const std::string pt = std::to_string(codec.payloadType);
    if (std::find(formats_.begin(), formats_.end(), pt) == formats_.end()) {
        formats_.push_back(pt);
    }
    auto& list = attributes_.All();
    std::erase_if(list, [&](const Attribute& a) { return IsCodecAttribute(a) && SubjectOf(a) == codec.payloadType; });
    std::size_t at = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (IsCodecAttribute(list[i])) {
            at = i + 1;
        }
    }
    attributes_.Insert(at, std::string(kRtpmap), pt + ' ' + codec.RtpmapText());
    if (!codec.formatParameters.empty()) {
        attributes_.Insert(at + 1, std::string(kFmtp), pt + ' ' + codec.formatParameters);
    }
}

void Medium::ClearCodecs() {
    formats_.clear();
    std::erase_if(attributes_.All(), IsCodecAttribute);
}

std::string Medium::EncodeMediaLine() const {
    std::string line = mediaType_;
    line.append(1, ' ').append(std::to_string(port_));
    if (portCount_ != 1) {
        line.append(1, '/').append(std::to_string(portCount_));
    }
    line.append(1, ' ').append(protocol_);
    for (const auto& f : formats_) {
        line.append(1, ' ').append(f);
    }
    return line;
}

void Medium::Encode(std::string& out) const {
    AppendLine(out, 'm', EncodeMediaLine());
    if (!information_.empty()) {
        AppendLine(out, 'i', information_);
    }
    for (const auto& c : connections_) {
        AppendLine(out, 'c', c.Encode());
    }
    for (const auto& b : bandwidths_) {
        AppendLine(out, 'b', b.Encode());
    }
    if (!key_.empty()) {
        AppendLine(out, 'k', key_);
    }
    for (const auto& a : attributes_.All()) {
        AppendLine(out, 'a', a.Encode());
    }
}

} // namespace zel::sip::stack::sdp

#include "stack/body/sdp/Codec.h"

#include <boost/algorithm/string/predicate.hpp>

#include <array>
#include <charconv>

namespace zel::sip::stack::sdp {

namespace {

struct StaticEntry {
    unsigned payloadType;
    std::string_view name;
    std::uint32_t clockRate;
    std::string_view channels;
};

// RFC 3551 section 6, tables 4 and 5. G722 keeps the RTP clock rate of 8000 the RFC assigns it.
constexpr std::array<StaticEntry, 24> kStaticTypes{{
    {0, "PCMU", 8000, ""},   {3, "GSM", 8000, ""},    {4, "G723", 8000, ""},   {5, "DVI4", 8000, ""},
    {6, "DVI4", 16000, ""},  {7, "LPC", 8000, ""},    {8, "PCMA", 8000, ""},   {9, "G722", 8000, ""},
    {10, "L16", 44100, "2"}, {11, "L16", 44100, ""},  {12, "QCELP", 8000, ""}, {13, "CN", 8000, ""},
    {14, "MPA", 90000, ""},  {15, "G728", 8000, ""},  {16, "DVI4", 11025, ""}, {17, "DVI4", 22050, ""},
    {18, "G729", 8000, ""},  {25, "CelB", 90000, ""}, {26, "JPEG", 90000, ""}, {28, "nv", 90000, ""},
    {31, "H261", 90000, ""}, {32, "MPV", 90000, ""},  {33, "MP2T", 90000, ""}, {34, "H263", 90000, ""},
}};

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) noexcept {
    while (!s.empty() && IsSpace(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view Trim(std::string_view s) noexcept {
    s = TrimLeft(s);
    while (!s.empty() && IsSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

template <class N>
bool ToNumber(std::string_view text, N& out) noexcept {
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string_view ChannelsOrOne(std::string_view params) noexcept { return params.empty() ? "1" : params; }

} // namespace

std::string Codec::RtpmapText() const {
    std::string text = name;
    text.append(1, '/').append(std::to_string(clockRate));
    if (!encodingParameters.empty()) {
        text.append(1, '/').append(encodingParameters);
    }
    return text;
}

bool operator==(const Codec& a, const Codec& b) noexcept {
    return a.clockRate == b.clockRate && boost::algorithm::iequals(a.name, b.name) &&
           ChannelsOrOne(a.encodingParameters) == ChannelsOrOne(b.encodingParameters);
}

std::optional<Codec> StaticCodec(unsigned payloadType) {
    for (const auto& e : kStaticTypes) {
        if (e.payloadType == payloadType) {
            return Codec(e.payloadType, std::string(e.name), e.clockRate, std::string(e.channels));
        }
    }
    return std::nullopt;
}

std::optional<Codec> ParseRtpmap(std::string_view value) {
    value = Trim(value);
    const auto space = value.find_first_of(" \t");
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    Codec codec;
    if (!ToNumber(value.substr(0, space), codec.payloadType) || codec.payloadType > 127) {
        return std::nullopt;
    }
    std::string_view rest = TrimLeft(value.substr(space + 1));
    const auto slash = rest.find('/');
    if (slash == 0 || slash == std::string_view::npos) {
        return std::nullopt;
    }
    codec.name = std::string(rest.substr(0, slash));
    rest.remove_prefix(slash + 1);
    const auto slash2 = rest.find('/');
    if (!ToNumber(rest.substr(0, slash2), codec.clockRate)) {
        return std::nullopt;
    }
    if (slash2 != std::string_view::npos) {
        codec.encodingParameters = std::string(rest.substr(slash2 + 1));
    }
    return codec;
}

std::optional<std::pair<std::string_view, std::string_view>> SplitFmtp(std::string_view value) noexcept {
    value = TrimLeft(value);
    const auto space = value.find_first_of(" \t");
    const auto format = value.substr(0, space);
    if (format.empty()) {
        return std::nullopt;
    }
    const auto params = space == std::string_view::npos ? std::string_view() : TrimLeft(value.substr(space + 1));
    return std::make_pair(format, params);
}

} // namespace zel::sip::stack::sdp

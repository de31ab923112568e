#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel::sip::stack::sdp {

/// One RTP payload format of a media description: its payload type from the m= line, with the
/// a=rtpmap:<pt> <name>/<clock rate>[/<encoding parameters>] and a=fmtp:<pt> <parameters> that
/// describe it (RFC 8866 sections 6.6, 6.15), or the static assignment of RFC 3551 section 6 when
/// a static payload type comes without a=rtpmap.
struct Codec {
    unsigned payloadType = 0;
    std::string name;                ///< encoding name as written, e.g. "PCMU", "opus"
    std::uint32_t clockRate = 0;
    std::string encodingParameters;  ///< for audio the channel count; empty when not given
    std::string formatParameters;    ///< the a=fmtp text after "<pt> "; empty when none

    Codec() = default;
    Codec(unsigned pt, std::string encodingName, std::uint32_t rate, std::string encodingParams = {},
          std::string formatParams = {})
        : payloadType(pt), name(std::move(encodingName)), clockRate(rate),
          encodingParameters(std::move(encodingParams)), formatParameters(std::move(formatParams)) {}

    /// "<name>/<clock rate>[/<encoding parameters>]": the a=rtpmap value after "<pt> ".
    std::string RtpmapText() const;

    /// Codec equality of offer/answer matching: encoding names equal without regard to ASCII case,
    /// equal clock rates and equal encoding parameters. Payload type and format parameters are not
    /// compared. An absent encoding parameter equals "1", since RFC 8866 section 6.6 lets a single
    /// audio channel be left out.
    friend bool operator==(const Codec& a, const Codec& b) noexcept;
};

/// The static payload type assignment of RFC 3551 section 6 for `payloadType` (0 PCMU/8000,
/// 3 GSM/8000, 8 PCMA/8000, 9 G722/8000, 18 G729/8000, ...), or none for an unassigned or dynamic one.
std::optional<Codec> StaticCodec(unsigned payloadType);

/// Parses an a=rtpmap value "<pt> <name>/<rate>[/<params>]". None when malformed.
std::optional<Codec> ParseRtpmap(std::string_view value);

/// Splits an a=fmtp value "<format> <parameters>" into its format and parameter text. None when
/// the value has no format.
std::optional<std::pair<std::string_view, std::string_view>> SplitFmtp(std::string_view value) noexcept;

} // namespace zel::sip::stack::sdp

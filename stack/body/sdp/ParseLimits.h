#pragma once

#include <cstddef>

namespace zel::sip::stack::sdp {

/// Bounds on what the SDP parser accepts from a peer. Exceeding one is a parse error, never a
/// truncation. The defaults leave ample room for real offers (WebRTC offers with many ICE
/// candidates run to a few hundred lines).
struct ParseLimits {
    std::size_t maxBytes = 128 * 1024;
    std::size_t maxLines = 4096;
    std::size_t maxLineLength = 8192;
    std::size_t maxMedia = 64;
    std::size_t maxFormatsPerMedium = 128;
};

} // namespace zel::sip::stack::sdp

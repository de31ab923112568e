#pragma once

#include "stack/body/sdp/ParseLimits.h"

#include <cstddef>

namespace zel::sip::stack {

/// Bounds on the bodies a peer may send. Exceeding one is a parse error, never a truncation.
struct BodyLimits {
    std::size_t maxBytes = 1024 * 1024;     ///< whole body, any type
    std::size_t maxDepth = 8;               ///< nesting of multipart in multipart
    std::size_t maxParts = 64;              ///< parts of one multipart
    std::size_t maxPartHeaderBytes = 8192;  ///< header block of one part
    sdp::ParseLimits sdp;                   ///< for every application/sdp body or part
};

} // namespace zel::sip::stack

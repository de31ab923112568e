#pragma once

#include <cstddef>

namespace zel::sip::stack {

/// Bounds on what the parser accepts from a peer. Exceeding any of them is a parse failure, never
/// a crash or an unbounded allocation.
struct MessageLimits {
    /// Whole message: start line, headers and body.
    std::size_t maxMessageBytes = 256 * 1024;
    /// Header lines (a folded line counts once).
    std::size_t maxHeaderCount = 256;
    /// Header values in all (a comma-separated line holds several); bounds the slots kept.
    std::size_t maxValueCount = 2048;
    /// One logical line (start line, or a header with its folds).
    std::size_t maxLineLength = 16 * 1024;
    /// The body.
    std::size_t maxBodyBytes = 128 * 1024;
    /// Start line and headers up to the empty line: what a stream framer holds before it knows
    /// the length of the message.
    std::size_t maxHeaderBytes = 64 * 1024;
};

} // namespace zel::sip::stack

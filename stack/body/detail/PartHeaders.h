#pragma once

// One part of a multipart body: its MIME header block (RFC 2045 section 3, RFC 2046 section 5.1)
// and its content, parsed into a Body.

#include "stack/body/Body.h"
#include "stack/body/BodyLimits.h"
#include "stack/body/ParseResult.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace zel::sip::stack::detail {

/// Parses `part` (the text between two delimiters): header lines name ":" value with folded
/// continuation lines, an empty line, then the content, which is parsed by the part's
/// Content-Type (text/plain when absent, RFC 2046 section 5.1). Without an empty line the whole
/// part is headers and the content is empty. `depth` is the nesting level of the part.
ParseResult<std::unique_ptr<Body>> ParsePart(std::string_view part, const BodyLimits& limits, std::size_t depth);

} // namespace zel::sip::stack::detail

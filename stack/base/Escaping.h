#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"

/// %-escaping of URI components (RFC 3261 section 25.1, `escaped = "%" HEXDIG HEXDIG`).
namespace zel::sip::stack {

/// Predicate naming the characters that may appear unescaped in a URI component
/// (see chars::IsUserChar, chars::IsParamChar, ...).
using CharPredicate = bool (*)(char) noexcept;

/// Appends `text` to `out`, writing every byte that `allowed` rejects as "%XX" (upper-case hex).
void AppendEscaped(std::string& out, std::string_view text, CharPredicate allowed);

/// `text` with every byte that `allowed` rejects written as "%XX".
std::string Escape(std::string_view text, CharPredicate allowed);

/// Decodes "%XX" sequences of `text` into `out` (replacing its content). Escaped NULs are kept.
/// Fails on a "%" not followed by two hex digits; the failure position is `base` plus the offset of
/// that "%" in `text`.
ParseStatus Unescape(std::string_view text, std::string& out, std::size_t base = 0);

} // namespace zel::sip::stack

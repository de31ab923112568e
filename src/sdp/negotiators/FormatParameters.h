#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel::sip::sdp::negotiators {

/// One parameter of an a=fmtp parameter text: its name and, when it has "=", its value.
using FormatParameter = std::pair<std::string, std::optional<std::string>>;

/// Splits an a=fmtp parameter text ("minptime=10;useinbandfec=1") at every ";" into
/// (name, value) pairs, in order. Each piece and its name and value are trimmed of white space;
/// a piece without "=" is a name without value. Adjacent separators, or one at either end, give
/// an empty piece (an empty name without value); an empty text gives no pair. Never fails.
std::vector<FormatParameter> SplitFormatParameters(std::string_view text);

/// Writes parameters back as "name=value" (or "name" alone) joined by ";".
std::string JoinFormatParameters(const std::vector<FormatParameter>& parameters);

} // namespace zel::sip::sdp::negotiators

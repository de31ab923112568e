#pragma once

#include "config/Config.h"

#include <string>

namespace zel::sip {

/// Writes the record as an indented JSON document in the layout that `Deserialise` reads: the same
/// keys and nesting (`TLS`, `SDP`, `Logging`), enumerations as their texts ("None" for value 0),
/// sets in their ascending order, `SupportedContentTypes` as one entry per method. Every field is
/// written, defaults included, so reading the text back yields the same record, provided its
/// strings hold no NUL (the reading keeps a string up to its first NUL) and its `Crypto` numbers fit
/// 32 bits (the document's unsigned numbers do). Strings are written byte for byte, control
/// characters escaped. Raises only std::bad_alloc. Keeps no state; safe on any thread.
std::string PrintConfig(const Config& config);

} // namespace zel::sip

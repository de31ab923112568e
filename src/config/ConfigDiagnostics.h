#pragma once

#include "config/Config.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip {

/// The longest configuration text read, in bytes (before the terminating NUL). A longer text counts
/// as invalid JSON, so a hostile document cannot make the reader build an unbounded tree.
inline constexpr std::size_t MaxConfigTextSize = 1024 * 1024;

/// The deepest nesting of arrays and objects read; the root object is level 1. A deeper document
/// counts as invalid JSON. The JSON parser recurses once per level, so this bounds its stack use.
inline constexpr unsigned MaxConfigNestingDepth = 32;

/// The JSON kinds that the configuration keys ask for.
enum class ConfigValueKind : std::uint8_t { String, Boolean, Unsigned, Array, Object };

/// Describes a kind for messages: "a string", "an unsigned number (...)", and so on.
std::string_view ToString(ConfigValueKind kind);

/// Observer of what the configuration reader ignores, changes or cannot read. Each call reports one
/// item; nothing is reported for a key that is absent. Paths name keys the way the document nests
/// them: "TLS.Ciphers", "Codecs[2].Channels"; a key that is not a plain word is shown as a quoted
/// JSON string. The reader calls the observer synchronously on the reading thread; the views are
/// valid only during the call.
class IConfigDiagnostics {
public:
    virtual ~IConfigDiagnostics() = default;

    /// The text is not one JSON object (not valid JSON, another kind of root, or over a bound):
    /// every setting keeps its default. Reported once, and then nothing else is.
    virtual void OnInvalidDocument(std::string_view reason) = 0;

    /// A member that no key names; it is ignored.
    virtual void OnUnknownKey(std::string_view path) = 0;

    /// A second (or later) member of one object with the same name; the first one counts.
    virtual void OnDuplicateKey(std::string_view path) = 0;

    /// A known key whose value is of another JSON kind; its field keeps the default.
    virtual void OnWrongKind(std::string_view path, ConfigValueKind expected, std::string_view found) = 0;

    /// A string value that cannot be used although it is of the right kind: one holding a NUL
    /// character (`\u0000`). Its field keeps the default.
    virtual void OnRejectedValue(std::string_view path, std::string_view reason) = 0;

    /// An element of an array that was skipped: an entry of `Codecs`, `Cryptos` or
    /// `SupportedContentTypes` lacking a required member or with a string member holding a NUL
    /// character, or an element of an array of strings that is not a string or holds a NUL.
    virtual void OnRejectedEntry(std::string_view arrayPath, std::size_t index, std::string_view reason) = 0;

    /// An enumeration text that names no value; the field was set to `None` (value 0).
    virtual void OnUnknownEnumerationText(std::string_view path, std::string_view text) = 0;

    /// A number above 65535 given for a 16-bit field; the field keeps its low 16 bits.
    virtual void OnNarrowed(std::string_view path, std::uint32_t given, std::uint16_t kept) = 0;
};

/// Reads the configuration text exactly as `Deserialise` does and reports to the observer (when not
/// null) everything that was ignored or changed on the way. Raises only std::bad_alloc, also when
/// the observer is called; exceptions that the observer raises propagate.
Config ReadConfig(const char* json, IConfigDiagnostics* diagnostics);

/// What a `ConfigDiagnosticLog` entry reports.
enum class ConfigDiagnosticKind : std::uint8_t {
    InvalidDocument,
    UnknownKey,
    DuplicateKey,
    WrongKind,
    RejectedValue,
    RejectedEntry,
    UnknownEnumerationText,
    Narrowed,
};

/// One reported item: its kind, the path it concerns ("" for the document, "Codecs[1]" for an
/// array entry) and a one-line message for people, starting with the path.
struct ConfigDiagnostic {
    ConfigDiagnosticKind Kind;
    std::string Path;
    std::string Message;
};

/// An observer that keeps every report, in reporting order. Not thread-safe; use one per reading.
class ConfigDiagnosticLog final : public IConfigDiagnostics {
public:
    void OnInvalidDocument(std::string_view reason) override;
    void OnUnknownKey(std::string_view path) override;
    void OnDuplicateKey(std::string_view path) override;
    void OnWrongKind(std::string_view path, ConfigValueKind expected, std::string_view found) override;
    void OnRejectedValue(std::string_view path, std::string_view reason) override;
    void OnRejectedEntry(std::string_view arrayPath, std::size_t index, std::string_view reason) override;
    void OnUnknownEnumerationText(std::string_view path, std::string_view text) override;
    void OnNarrowed(std::string_view path, std::uint32_t given, std::uint16_t kept) override;

    /// The reports so far.
    const std::vector<ConfigDiagnostic>& Entries() const { return entries_; }

private:
    std::vector<ConfigDiagnostic> entries_;
};

/// The text as a JSON string literal with its quotes, control characters escaped, so that any key
/// or value fits on one line of a message. Bytes of 0x80 and above are kept as they are.
std::string QuoteConfigText(std::string_view text);

} // namespace zel::sip

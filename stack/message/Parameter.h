#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stack/base/Escaping.h"
#include "stack/base/ParseError.h"
#include "stack/base/Scanner.h"

namespace zel::sip::stack {

/// One parameter of a header value or URI: `name [= value]`.
///
/// A parameter present without a value (`;lr`) has `hasValue == false`; one with an empty value
/// (`;tag=` or `;text=""`) has `hasValue == true` and an empty `value`. `quoted` remembers that the
/// value was (or is to be) written as a quoted-string; `value` holds the text without quotes and
/// with quoted-pairs (or, for URI parameters, %-escapes) resolved.
struct Parameter {
    std::string name;
    std::string value;
    bool hasValue = false;
    bool quoted = false;

    /// The same parameter as written (the name's case too); lists compare names without regard to case.
    friend bool operator==(const Parameter&, const Parameter&) = default;
};

/// An ordered list of parameters, names compared without regard to ASCII case (RFC 3261 section
/// 7.3.1 and 19.1.4). Duplicates received from the wire are kept; the setters act on the first
/// parameter of a name. Not thread-safe.
class ParameterList {
public:
    using const_iterator = std::vector<Parameter>::const_iterator;

    bool Empty() const noexcept { return items_.empty(); }
    std::size_t Size() const noexcept { return items_.size(); }
    const_iterator begin() const noexcept { return items_.begin(); }
    const_iterator end() const noexcept { return items_.end(); }
    const Parameter& operator[](std::size_t index) const { return items_.at(index); }

    /// The first parameter called `name`, or null. The pointer is valid until the list changes.
    const Parameter* Find(std::string_view name) const noexcept;
    Parameter* Find(std::string_view name) noexcept;
    bool Has(std::string_view name) const noexcept { return Find(name) != nullptr; }

    /// Sets the value of `name` (appending the parameter when absent). The value is written quoted
    /// when it is not a token or host, or when `forceQuotes` is set.
    void Set(std::string_view name, std::string_view value, bool forceQuotes = false);
    /// The value of `name` read as an unsigned 32-bit decimal number; nullopt when absent, valueless
    /// or not such a number.
    std::optional<std::uint32_t> GetUInt32(std::string_view name) const noexcept;
    /// Sets `name` to the decimal text of `value` (unquoted).
    void SetUInt32(std::string_view name, std::uint32_t value);
    /// Makes `name` present. An existing parameter of that name is left unchanged; a new one has no
    /// value.
    void SetFlag(std::string_view name);
    /// Removes every parameter called `name`; returns whether there was one.
    bool Remove(std::string_view name);
    /// Appends as given, even when the name exists already (the parse path).
    void Append(Parameter parameter) { items_.push_back(std::move(parameter)); }
    /// Before the parse appends: room for as many parameters as `text` has `separator`s (at most
    /// eight), so a usual list is one allocation instead of one per doubling.
    void ReserveFor(std::string_view text, char separator);
    void Clear() noexcept { items_.clear(); }

    /// Writes `;name=value` for each parameter (header parameter syntax, quoting as remembered).
    void EncodeHeaderParams(std::string& out) const;
    /// Writes the parameters with `first` before the first one and `separator` between the others,
    /// escaping names and values with `allowed` (URI parameter and header syntax, no quoting).
    void EncodeEscaped(std::string& out, char first, char separator, CharPredicate allowed) const;

    friend bool operator==(const ParameterList& a, const ParameterList& b) noexcept;

private:
    std::vector<Parameter> items_;
};

/// True when `value` can be written as a parameter value without quotes (token or host text).
bool IsPlainParamValue(std::string_view value) noexcept;

/// Appends `"value"` (RFC 3261 section 25.1) with `"`, `\` and the control bytes other than HTAB
/// (NUL included, and DEL) written as quoted-pairs; CR and LF, which no quoted-pair can carry, are
/// written as spaces. Scanner::TakeQuotedString reads the result back as `value` (CR and LF aside).
void AppendQuoted(std::string& out, std::string_view value);

/// Parses `*( SEMI generic-param )` at the cursor (RFC 3261 section 25.1): token names, values that
/// are tokens, hosts or quoted-strings. Stops, without failing, at the first character that does
/// not start another parameter.
ParseStatus ParseHeaderParams(Scanner& scanner, ParameterList& out);

/// Skips trailing LWS and fails with "unexpected text" unless the cursor is then at the end.
ParseStatus ExpectEnd(Scanner& scanner);

} // namespace zel::sip::stack

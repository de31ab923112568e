#pragma once

#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"
#include "stack/message/Uri.h"

namespace zel::sip::stack {

/// A name-address as in From, To, Contact, Route and their kin (RFC 3261 sections 20.10, 25.1):
/// an optional display name, a URI, and header parameters.
///
/// Parsing accepts `name-addr` (URI in angle brackets, display name quoted or as a token sequence)
/// and a bare `addr-spec`. For a bare one every parameter after the URI is a header parameter
/// (RFC 3261 section 20.10). The Contact wildcard `*` is a name-address with `IsWildcard()`.
/// The display name is held without quotes, quoted-pairs resolved. Encoding keeps the received form:
/// a bare addr-spec stays bare while that is still valid; otherwise the URI is written in angle
/// brackets. A value type: copyable, not thread-safe.
class NameAddr {
public:
    NameAddr() = default;
    explicit NameAddr(Uri uri) : uri_(std::move(uri)), bracketed_(true) {}

    /// Parses a complete name-address; the whole text must be consumed (surrounding LWS allowed).
    static ParseStatus TryParse(std::string_view text, NameAddr& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static NameAddr Parse(std::string_view text);

    const std::string& DisplayName() const noexcept { return displayName_; }
    /// Sets the display name; it is quoted on encoding unless it is a token sequence.
    void SetDisplayName(std::string_view name);
    /// Whether the display name is written as a quoted-string.
    bool IsDisplayNameQuoted() const noexcept { return displayQuoted_; }

    Uri& GetUri() noexcept { return uri_; }
    const Uri& GetUri() const noexcept { return uri_; }
    void SetUri(Uri uri) { uri_ = std::move(uri); }

    /// Header parameters (tag, expires, q, +sip.instance, ...).
    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }

    /// The Contact wildcard "*" (RFC 3261 section 10.2.2).
    bool IsWildcard() const noexcept { return wildcard_; }
    void SetWildcard(bool wildcard) noexcept { wildcard_ = wildcard; }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::string displayName_;
    bool displayQuoted_ = false;
    Uri uri_;
    bool bracketed_ = true;
    bool wildcard_ = false;
    ParameterList params_;
};

} // namespace zel::sip::stack

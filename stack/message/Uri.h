#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

/// A URI as SIP carries it (RFC 3261 section 19.1 and 25.1): sip and sips URIs with user, password,
/// host (name, IPv4 or IPv6 reference), port, uri-parameters and headers; tel URIs (RFC 3966) with
/// the subscriber number as user and their parameters; any other absolute URI kept as opaque text
/// after its scheme.
///
/// Parts are held decoded: the user "%61lice" is held as "alice", and %-escapes are written back
/// where RFC 3261 section 25.1 requires them on `Encode`. An IPv6 host is held without its brackets
/// ("::1"); `IsIpv6()` tells it apart and `Encode` adds the brackets. Parameter order and valueless
/// parameters are kept. A value type: copyable, not thread-safe.
class Uri {
public:
    Uri() = default;

    /// Parses a complete URI; the whole text must be consumed. `base` offsets failure positions.
    static ParseStatus TryParse(std::string_view text, Uri& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Uri Parse(std::string_view text);

    /// The scheme: "sip", "sips" and "tel" in lower case; other schemes as written.
    const std::string& Scheme() const noexcept { return scheme_; }
    void SetScheme(std::string_view scheme);
    /// sip or sips.
    bool IsSip() const noexcept { return kind_ == Kind::Sip; }
    bool IsTel() const noexcept { return kind_ == Kind::Tel; }
    /// Any other absolute URI, kept as `Opaque()` text.
    bool IsOpaque() const noexcept { return kind_ == Kind::Opaque; }

    /// The user part (decoded), or the subscriber number of a tel URI. Empty when absent.
    const std::string& User() const noexcept { return user_; }
    void SetUser(std::string_view user) { user_.assign(user); }
    const std::string& Password() const noexcept { return password_; }
    bool HasPassword() const noexcept { return hasPassword_; }
    void SetPassword(std::string_view password) { password_.assign(password); hasPassword_ = true; }
    void ClearPassword() noexcept { password_.clear(); hasPassword_ = false; }

    /// The host without brackets. Empty for tel and opaque URIs.
    const std::string& Host() const noexcept { return host_; }
    /// Sets the host; an IPv6 address may be given with or without brackets.
    void SetHost(std::string_view host);
    bool IsIpv6() const noexcept { return host_.find(':') != std::string::npos; }

    bool HasPort() const noexcept { return hasPort_; }
    /// The port, 0 when the URI gives none.
    std::uint16_t Port() const noexcept { return hasPort_ ? port_ : 0; }
    void SetPort(std::uint16_t port) noexcept { port_ = port; hasPort_ = true; }
    void ClearPort() noexcept { port_ = 0; hasPort_ = false; }

    /// uri-parameters (sip, sips, tel), decoded.
    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }
    /// URI headers after "?" (sip, sips), decoded.
    ParameterList& Headers() noexcept { return headers_; }
    const ParameterList& Headers() const noexcept { return headers_; }

    /// Everything after "scheme:" of an opaque URI.
    const std::string& Opaque() const noexcept { return opaque_; }

    /// Appends the URI text, escaping as RFC 3261 section 25.1 requires.
    void Encode(std::string& out) const;
    std::string ToString() const;

    /// URI equivalence of RFC 3261 section 19.1.4 for sip and sips URIs (user and password
    /// case-sensitive after decoding, host and scheme case-insensitive, port, the user, ttl, method,
    /// maddr and transport parameters present in either must match, other parameters must match
    /// when present in both, headers must match). Other URIs compare by their text, scheme ignoring case.
    bool Equivalent(const Uri& other) const;

private:
    enum class Kind { Sip, Tel, Opaque };

    Kind kind_ = Kind::Sip;
    std::string scheme_ = "sip";
    std::string user_;
    std::string password_;
    bool hasPassword_ = false;
    std::string host_;
    std::uint16_t port_ = 0;
    bool hasPort_ = false;
    ParameterList params_;
    ParameterList headers_;
    std::string opaque_;
};

/// Validates an IPv6 address text (without brackets).
bool IsIpv6Address(std::string_view text) noexcept;
/// Validates a dotted-quad IPv4 address text.
bool IsIpv4Address(std::string_view text) noexcept;

} // namespace zel::sip::stack

namespace zel::sip::stack {

/// Parses `host [":" port]` at the cursor (RFC 3261 `hostport`); an IPv6 reference is given in
/// brackets and returned without them. Used by URIs, Via sent-by and Warning agents.
ParseStatus ParseHostPort(Scanner& scanner, std::string& host, std::uint16_t& port, bool& hasPort);

/// Appends a host, adding brackets around an IPv6 address.
void AppendHost(std::string& out, std::string_view host);

} // namespace zel::sip::stack

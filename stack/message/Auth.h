#pragma once

#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

/// A challenge or credentials (WWW-Authenticate, Proxy-Authenticate, Authorization,
/// Proxy-Authorization; RFC 3261 sections 20.7, 20.27, 20.28, 20.44, 25.1) or the parameters of
/// Authentication-Info: an auth-scheme ("Digest", empty for Authentication-Info) and comma-separated
/// auth-params. Each parameter remembers whether its value was quoted, since the grammar quotes
/// some (realm, nonce, qop-options) and not others (algorithm, nc, qop in credentials).
/// A scheme followed by something other than auth-params (token68) keeps that text in `Opaque()`.
class Auth {
public:
    Auth() = default;
    explicit Auth(std::string scheme) : scheme_(std::move(scheme)) {}

    static ParseStatus TryParse(std::string_view text, Auth& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Auth Parse(std::string_view text);

    const std::string& Scheme() const noexcept { return scheme_; }
    void SetScheme(std::string_view scheme) { scheme_.assign(scheme); }
    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }
    /// The parameter's value, empty when absent.
    std::string_view Param(std::string_view name) const noexcept;
    const std::string& Opaque() const noexcept { return opaque_; }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::string scheme_;
    ParameterList params_;
    std::string opaque_;
};

} // namespace zel::sip::stack

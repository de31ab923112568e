#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "stack/message/Auth.h"

namespace zel::sip::stack {

/// The digest hash algorithms a client answers (RFC 7616 section 3.2, RFC 8760 section 2.1).
/// SHA-512-256 (RFC 8760) is not answered yet: a challenge offering only it is skipped.
enum class DigestAlgorithm { Md5, Md5Sess, Sha256, Sha256Sess };

/// The algorithm's token as RFC 7616 writes it ("MD5", "MD5-sess", "SHA-256", "SHA-256-sess").
std::string_view ToString(DigestAlgorithm algorithm) noexcept;
/// Reads an algorithm token, without regard to ASCII case; nullopt when unknown.
std::optional<DigestAlgorithm> ParseDigestAlgorithm(std::string_view token) noexcept;
/// Preference between algorithms offered for one realm: larger is stronger (RFC 8760 section 2.4
/// puts SHA-256 before MD5). A -sess variant ranks with its base hash.
int Strength(DigestAlgorithm algorithm) noexcept;

/// The quality of protection chosen for an answer (RFC 7616 section 3.3). `None` is the RFC 2069
/// form used when the challenge carries no qop: no cnonce, no nc.
enum class DigestQop { None, Auth, AuthInt };

std::string_view ToString(DigestQop qop) noexcept;

/// Lower-case hex of the algorithm's hash of `data` (MD5 for the MD5 variants, SHA-256 for the
/// SHA-256 ones). Raises std::runtime_error when OpenSSL fails (out of memory, a provider
/// without the digest): that is a fault of the host, not of any peer's input.
std::string DigestHex(DigestAlgorithm algorithm, std::string_view data);

/// The nonce count as written in credentials: 8 lower-case hex digits (RFC 7616 section 3.4).
std::string FormatNonceCount(std::uint32_t count);

/// Everything that goes into one digest response. Texts are the unquoted values.
struct DigestInput {
    DigestAlgorithm algorithm = DigestAlgorithm::Md5;
    DigestQop qop = DigestQop::Auth;
    std::string_view user;
    std::string_view realm;
    std::string_view password;
    std::string_view nonce;
    std::string_view cnonce;         ///< unused with DigestQop::None unless the algorithm is -sess
    std::uint32_t nonceCount = 1;    ///< unused with DigestQop::None
    std::string_view method;         ///< the request method (RFC 3261 section 22.4: A2 = Method ":" uri)
    std::string_view uri;            ///< the digest-uri: the Request-URI as sent
    std::string_view body;           ///< the message body, hashed for DigestQop::AuthInt only
};

/// The `response` value (RFC 7616 section 3.4.1, RFC 2617 section 3.2.2.1 for the qop-less form):
///   A1 = user ":" realm ":" password, or for -sess H(that) ":" nonce ":" cnonce
///   A2 = method ":" uri, or with auth-int method ":" uri ":" H(body)
///   response = H(H(A1) ":" nonce ":" nc ":" cnonce ":" qop ":" H(A2)), or without qop
///              H(H(A1) ":" nonce ":" H(A2)).
/// Raises as DigestHex.
std::string ComputeDigestResponse(const DigestInput& input);

/// A Digest challenge read from one WWW-Authenticate or Proxy-Authenticate value.
struct DigestChallenge {
    std::string realm;
    std::string nonce;
    std::string opaque;
    bool hasOpaque = false;
    DigestAlgorithm algorithm = DigestAlgorithm::Md5;
    /// The algorithm token exactly as the challenge wrote it; empty when absent (then MD5 is
    /// meant and the answer carries no algorithm parameter either).
    std::string algorithmText;
    DigestQop qop = DigestQop::None;
    bool stale = false;
};

/// Reads a challenge; nullopt (never an exception) when it cannot be answered: another scheme, no
/// realm or nonce, an unknown algorithm, a -sess algorithm without qop, a qop list with neither "auth" nor "auth-int", or values
/// that no header could carry back (CR, LF or NUL). qop "auth" is chosen whenever it is offered;
/// "auth-int" only when "auth" is not (its body hash ties the answer to the exact body, which a
/// proxy on the path may legitimately rewrite).
std::optional<DigestChallenge> ReadDigestChallenge(const Auth& challenge);

} // namespace zel::sip::stack

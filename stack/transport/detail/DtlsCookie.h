#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace zel::sip::stack::detail {

/// The stateless cookie of the DTLS HelloVerifyRequest (RFC 6347 section 4.2.1): an HMAC-SHA256
/// under a per-transport random secret over the client's address and port. A client must echo it
/// from its own address before the server keeps any state for it, so a spoofed source costs the
/// server nothing and is answered with no more bytes than it sent.
///
/// The secret is replaced every `lifetime` (RFC 6347 section 4.2.1 asks for a changing secret), so
/// a cookie once seen does not open the door for ever; the previous secret stays valid for one
/// more lifetime, so a client in the middle of its exchange across the change still gets through.
/// Not thread-safe: one owner on one thread.
class DtlsCookie {
public:
    using Clock = std::chrono::steady_clock;

    /// A fresh random secret, first replaced `lifetime` after `start`. Raises std::runtime_error
    /// when OpenSSL has no random data.
    explicit DtlsCookie(Clock::duration lifetime = std::chrono::minutes(5), Clock::time_point start = Clock::now());

    /// Whose cookie an SSL object computes: this secret and the peer's address bytes and port.
    struct Binding {
        const DtlsCookie* cookie = nullptr;
        std::string peer;
    };

    /// Installs the callbacks that `DTLSv1_listen` and the rest of the server handshake use; they
    /// find the cookie through the `Attach`ed binding.
    static void Install(SSL_CTX* context);

    /// Makes `ssl` compute cookies from `binding`, which must outlive the SSL object or be
    /// replaced first. Null detaches.
    static void Attach(SSL* ssl, const Binding* binding);

    /// Replaces the secret when its lifetime is over at `now` (both secrets after two lifetimes
    /// without a call). False when OpenSSL had no random data; the old secrets then stay.
    bool RotateIfDue(Clock::time_point now);

    /// The cookie for `peer` under the current secret; empty when HMAC fails.
    std::string Compute(const std::string& peer) const;

    /// True when `cookie` is the one for `peer` under the current or the previous secret.
    bool Verify(const std::string& peer, std::string_view cookie) const;

private:
    using Secret = std::array<unsigned char, 32>;

    static std::string Mac(const Secret& secret, const std::string& peer);

    Clock::duration lifetime_;
    Clock::time_point rotated_;
    Secret current_{};
    std::optional<Secret> previous_;
};

} // namespace zel::sip::stack::detail

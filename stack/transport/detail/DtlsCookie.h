#pragma once

#include <array>
#include <cstdint>
#include <string>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace zel::sip::stack::detail {

/// The stateless cookie of the DTLS HelloVerifyRequest (RFC 6347 section 4.2.1): an HMAC-SHA256
/// under a per-transport random secret over the client's address and port. A client must echo it
/// from its own address before the server keeps any state for it, so a spoofed source costs the
/// server nothing and is answered with no more bytes than it sent.
class DtlsCookie {
public:
    /// A fresh random secret. Raises std::runtime_error when OpenSSL has no random data.
    DtlsCookie();

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

    /// The cookie for `peer`.
    std::string Compute(const std::string& peer) const;

private:
    std::array<unsigned char, 32> secret_{};
};

} // namespace zel::sip::stack::detail

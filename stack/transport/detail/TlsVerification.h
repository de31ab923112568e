#pragma once

#include "stack/transport/SecuritySettings.h"

#include <string>

using SSL = struct ssl_st;

namespace zel::sip::stack::detail {

/// Sets up the client side of a TLS or DTLS handshake: SNI (RFC 6066) for a host name, peer
/// verification against the trusted CAs, and the RFC 5922 identity check of the server's
/// certificate against `expectedName` (a host name or an IP address literal). A mismatch fails
/// the handshake with X509_V_ERR_HOSTNAME_MISMATCH.
void PrepareClient(SSL* ssl, const std::string& expectedName);

/// Sets up the server side: whether a client certificate is requested and required. A client's
/// certificate is verified against the CA directory only (see `MakeSslContext`).
void PrepareServer(SSL* ssl, ClientVerificationMode mode);

/// True when the handshake of `ssl` is complete and the peer presented a certificate that verified
/// and identifies `name` per RFC 5922 section 7.1 (wildcards as the process-wide switch says).
bool PeerVerifiedFor(const SSL* ssl, const std::string& name);

} // namespace zel::sip::stack::detail

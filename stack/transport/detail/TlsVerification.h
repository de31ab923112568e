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

/// Sets up the server side: whether a client certificate is requested and required.
void PrepareServer(SSL* ssl, ClientVerificationMode mode);

} // namespace zel::sip::stack::detail

#pragma once

#include "stack/transport/SecuritySettings.h"

#include <memory>
#include <string_view>

namespace boost::asio::ssl {
class context;
}

using X509 = struct x509_st;

namespace zel::sip::stack {

/// The protocol family a context is made for.
enum class TlsProtocol : std::uint8_t { Tls, Dtls };

/// Builds an SSL context serving both ends of secure connections from `settings`: cipher list, DH
/// parameters, trusted CAs, own certificate and key, and the process-wide context options. TLS 1.2
/// (DTLS 1.2) is the lowest version and renegotiation is off whatever those options say. The
/// verification mode is set per connection (client side always verifies the server, against the
/// CA directory and the system trust store; server side follows `clientVerification` and checks a
/// client's certificate against the CA directory alone).
///
/// Raises std::runtime_error naming the file or setting that OpenSSL refused.
std::shared_ptr<boost::asio::ssl::context> MakeSslContext(const SecuritySettings& settings, TlsProtocol protocol);

/// True when `certificate` identifies `host` per RFC 5922 section 7.1: a subjectAltName entry of
/// type URI "sip:host" (or sips) or of type DNS equal to `host` without regard to case; the
/// subject's common name only when the certificate has no subjectAltName at all. A wildcard DNS
/// entry matches one label only and only when `allowWildcards` is set. An IP address literal as
/// `host` is matched against the iPAddress entries.
bool CertificateMatchesHost(X509* certificate, std::string_view host, bool allowWildcards);

} // namespace zel::sip::stack

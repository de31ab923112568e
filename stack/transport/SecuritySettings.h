#pragma once

#include <cstdint>
#include <string>

namespace zel::sip::stack {

/// Whether a TLS or DTLS server asks its clients for a certificate.
enum class ClientVerificationMode : std::uint8_t {
    /// No client certificate is requested.
    None = 0,
    /// One is requested; a client without one is accepted, one with a bad one is refused.
    Optional = 1,
    /// One is required and must verify.
    Mandatory = 2,
};

/// The TLS material and policy of the secure transports (TLS, DTLS, WSS). Empty texts mean "none".
struct SecuritySettings {
    /// OpenSSL cipher list for TLS 1.2 and below; empty selects a strong default (forward-secret
    /// AEAD suites only). TLS 1.3 suites are OpenSSL's defaults.
    std::string cipherList;
    /// PEM Diffie-Hellman parameters for the DHE suites.
    std::string dhParametersPath;
    /// Directory whose PEM files hold the trusted CA certificates (every certificate of every file
    /// is loaded). Servers we connect to are checked against these and the system's default trust
    /// store; client certificates (`clientVerification`) against these alone.
    std::string caDirectoryPath;
    /// Our own certificate chain (PEM) and its private key (PEM, no pass phrase).
    std::string certificatePath;
    std::string privateKeyPath;
    ClientVerificationMode clientVerification = ClientVerificationMode::None;
};

/// The process-wide switch for wildcard certificates: whether "*.example.com" in a peer's
/// certificate may match "sip.example.com" (RFC 5922 section 7.2 forbids it by default). Every user
/// agent sets it; the last one set wins for all. Thread-safe.
void SetAllowWildcardCertificates(bool allow) noexcept;
bool AllowWildcardCertificates() noexcept;

/// The process-wide OpenSSL context options (SSL_OP_* bits) applied to every TLS and DTLS context
/// made afterwards. Options are only ever added, never cleared, so they accumulate over every
/// secure transport of every user agent of the process. Thread-safe.
void AddOpenSslContextOptions(std::uint64_t options) noexcept;
std::uint64_t OpenSslContextOptions() noexcept;

} // namespace zel::sip::stack

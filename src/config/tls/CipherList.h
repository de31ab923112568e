#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace zel::sip::tls {

/// Translation of TLS cipher-suite names from the IANA registry's spelling
/// ("TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256") into an OpenSSL cipher list ("ECDHE-RSA-AES128-GCM-SHA256").
class CipherList {
public:
    CipherList() = delete;

    /// Returns the OpenSSL names of the known suites among `ianaNames`, in the given order (which
    /// OpenSSL takes as the order of preference), joined by ":". Names are matched exactly, case
    /// included; unknown names (TLS 1.3 suites, SHA-1 suites, OpenSSL-style names, misspellings)
    /// are dropped silently, so the result is empty when none is known. A repeated name is
    /// repeated in the result. Raises only std::bad_alloc. Safe on any thread.
    static std::string IANAToOpenSSL(const std::vector<std::string>& ianaNames);
};

namespace detail {

/// The 41 TLS 1.2 suites (SHA-256 and SHA-384 MACs/PRFs) known to the translation, from IANA
/// name to OpenSSL name. Filled during static initialisation and never changed. Exposed for tests.
///
/// Not every entry is a suite that OpenSSL 3 implements: the static DH (DH-RSA-*, DH-DSS-*) and
/// static ECDH (ECDH-RSA-*, ECDH-ECDSA-*) suites are translated but OpenSSL ignores them in a
/// cipher list.
extern const std::unordered_map<std::string, std::string> OpenSSLCiphersByIANACipher;

} // namespace detail

} // namespace zel::sip::tls

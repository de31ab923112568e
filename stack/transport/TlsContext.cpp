#include "stack/transport/TlsContext.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace zel::sip::stack {

namespace {

/// Forward-secret AEAD suites only, for TLS 1.2 and DTLS 1.2.
constexpr const char* kStrongCiphers = "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL:!eNULL";

[[noreturn]] void Throw(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    std::string text = what;
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    throw std::runtime_error(text);
}

/// Adds every certificate of the PEM files in `directory` to each of `stores`.
void LoadCaDirectory(std::initializer_list<X509_STORE*> stores, const std::string& directory) {
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        throw std::runtime_error("CA directory \"" + directory + "\" is not a directory");
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (!entry.is_regular_file(error))
            continue;
        BIO* file = BIO_new_file(entry.path().c_str(), "r");
        if (!file)
            continue;
        // Every certificate in the file; files that hold none (keys, CRLs, notes) are skipped.
        while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
            for (X509_STORE* store : stores)
                X509_STORE_add_cert(store, certificate); // a duplicate is not an error
            X509_free(certificate);
        }
        BIO_free(file);
    }
    ERR_clear_error();
    if (error)
        throw std::runtime_error("CA directory \"" + directory + "\" cannot be read: " + error.message());
}

void LoadDhParameters(SSL_CTX* context, const std::string& path) {
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (!file)
        Throw("cannot open DH parameter file \"" + path + "\"");
    EVP_PKEY* parameters = PEM_read_bio_Parameters(file, nullptr);
    BIO_free(file);
    if (!parameters)
        Throw("bad DH parameter file \"" + path + "\"");
    if (SSL_CTX_set0_tmp_dh_pkey(context, parameters) != 1) {
        EVP_PKEY_free(parameters);
        Throw("DH parameters of \"" + path + "\" refused");
    }
}

bool HostEquals(std::string_view a, std::string_view b) {
    if (!a.empty() && a.back() == '.')
        a.remove_suffix(1);
    if (!b.empty() && b.back() == '.')
        b.remove_suffix(1);
    return boost::algorithm::iequals(a, b);
}

/// The host of a "sip:" or "sips:" URI of a subjectAltName (RFC 5922 section 7.1), or empty.
std::string_view SipUriHost(std::string_view uri) {
    std::size_t colon = uri.find(':');
    if (colon == std::string_view::npos)
        return {};
    const std::string_view scheme = uri.substr(0, colon);
    if (!boost::algorithm::iequals(scheme, "sip") && !boost::algorithm::iequals(scheme, "sips"))
        return {};
    std::string_view rest = uri.substr(colon + 1);
    // A domain identity has no user part, port or parameters; anything else is not one.
    if (rest.find_first_of("@:;?") != std::string_view::npos)
        return {};
    return rest;
}

} // namespace

std::shared_ptr<boost::asio::ssl::context> MakeSslContext(const SecuritySettings& settings, TlsProtocol protocol) {
    namespace ssl = boost::asio::ssl;
    std::shared_ptr<ssl::context> context;
    if (protocol == TlsProtocol::Tls) {
        context = std::make_shared<ssl::context>(ssl::context::tls);
    } else {
        SSL_CTX* native = SSL_CTX_new(DTLS_method());
        if (!native)
            Throw("cannot create DTLS context");
        context = std::make_shared<ssl::context>(native);
    }
    SSL_CTX* native = context->native_handle();
    // The process-wide options are the host's to add, but none of them may bring back
    // renegotiation (a peer-driven CPU drain and a source of past attacks) or versions before 1.2.
    constexpr std::uint64_t kRenegotiation = SSL_OP_ALLOW_CLIENT_RENEGOTIATION | SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION;
    SSL_CTX_set_options(native, (static_cast<std::uint64_t>(OpenSslContextOptions()) & ~kRenegotiation) |
                                    SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_clear_options(native, kRenegotiation);
    if (SSL_CTX_set_min_proto_version(native, protocol == TlsProtocol::Tls ? TLS1_2_VERSION : DTLS1_2_VERSION) != 1)
        Throw("cannot set the minimum protocol version");
    SSL_CTX_set_mode(native, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    const std::string& ciphers = settings.cipherList.empty() ? std::string(kStrongCiphers) : settings.cipherList;
    if (SSL_CTX_set_cipher_list(native, ciphers.c_str()) != 1)
        Throw("bad cipher list \"" + ciphers + "\"");
    if (!settings.dhParametersPath.empty())
        LoadDhParameters(native, settings.dhParametersPath);

    // Two trust stores. Servers we connect to are checked against the system store and the CA
    // directory (the context's store, chosen per connection by PrepareClient). Client
    // certificates are checked against the CA directory alone (the verify store, which every
    // connection starts with): any publicly issued certificate must not pass mandatory client
    // verification.
    if (SSL_CTX_set_default_verify_paths(native) != 1)
        ERR_clear_error(); // a host without a system trust store still has the CA directory
    X509_STORE* clientAuthorities = X509_STORE_new();
    if (!clientAuthorities)
        Throw("cannot create a certificate store");
    if (SSL_CTX_set0_verify_cert_store(native, clientAuthorities) != 1) {
        X509_STORE_free(clientAuthorities);
        Throw("cannot install the client certificate store");
    }
    if (!settings.caDirectoryPath.empty())
        LoadCaDirectory({SSL_CTX_get_cert_store(native), clientAuthorities}, settings.caDirectoryPath);

    if (!settings.certificatePath.empty() &&
        SSL_CTX_use_certificate_chain_file(native, settings.certificatePath.c_str()) != 1)
        Throw("cannot load certificate \"" + settings.certificatePath + "\"");
    if (!settings.privateKeyPath.empty()) {
        if (SSL_CTX_use_PrivateKey_file(native, settings.privateKeyPath.c_str(), SSL_FILETYPE_PEM) != 1)
            Throw("cannot load private key \"" + settings.privateKeyPath + "\"");
        if (!settings.certificatePath.empty() && SSL_CTX_check_private_key(native) != 1)
            Throw("private key \"" + settings.privateKeyPath + "\" does not match certificate \"" +
                  settings.certificatePath + "\"");
    }
    return context;
}

bool CertificateMatchesHost(X509* certificate, std::string_view host, bool allowWildcards) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1); // an absolute DNS name names the same host
    if (!certificate || host.empty())
        return false;
    const std::string name(host);

    boost::system::error_code notAddress;
    boost::asio::ip::make_address(name, notAddress);
    if (!notAddress)
        return X509_check_ip_asc(certificate, name.c_str(), 0) == 1;

    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    const bool hasAltNames = names != nullptr;
    bool uriMatch = false;
    if (names) {
        for (int i = 0; i < sk_GENERAL_NAME_num(names) && !uriMatch; ++i) {
            const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
            if (entry->type != GEN_URI)
                continue;
            const ASN1_IA5STRING* uri = entry->d.uniformResourceIdentifier;
            const std::string_view text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                        static_cast<std::size_t>(ASN1_STRING_length(uri)));
            const std::string_view uriHost = SipUriHost(text);
            uriMatch = !uriHost.empty() && HostEquals(uriHost, host);
        }
        GENERAL_NAMES_free(names);
    }
    if (uriMatch)
        return true;

    // DNS entries, and the common name only when there are no subjectAltNames at all.
    unsigned int flags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
    if (!allowWildcards)
        flags |= X509_CHECK_FLAG_NO_WILDCARDS;
    if (hasAltNames)
        flags |= X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;
    else
        flags |= X509_CHECK_FLAG_ALWAYS_CHECK_SUBJECT;
    return X509_check_host(certificate, name.data(), name.size(), flags, nullptr) == 1;
}

} // namespace zel::sip::stack

#include "stack/transport/detail/TlsVerification.h"

#include "stack/transport/TlsContext.h"

#include <boost/asio/ip/address.hpp>

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace zel::sip::stack::detail {

namespace {

int ExpectedNameIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int VerifyServer(int preverified, X509_STORE_CTX* context) {
    if (!preverified)
        return 0;
    if (X509_STORE_CTX_get_error_depth(context) > 0)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* expected = static_cast<const std::string*>(SSL_get_ex_data(ssl, ExpectedNameIndex()));
    if (expected &&
        CertificateMatchesHost(X509_STORE_CTX_get_current_cert(context), *expected, AllowWildcardCertificates()))
        return 1;
    X509_STORE_CTX_set_error(context, X509_V_ERR_HOSTNAME_MISMATCH);
    return 0;
}

} // namespace

void PrepareClient(SSL* ssl, const std::string& expectedName) {
    boost::system::error_code notAddress;
    boost::asio::ip::make_address(expectedName, notAddress);
    if (notAddress)
        SSL_set_tlsext_host_name(ssl, expectedName.c_str());
    // The name outlives the handshake: it is owned by the connection that owns `ssl`.
    SSL_set_ex_data(ssl, ExpectedNameIndex(), const_cast<std::string*>(&expectedName));
    // Servers are checked against the system store as well as the CA directory: the context's
    // own verify store (the CA directory alone) is for client certificates.
    SSL_set1_verify_cert_store(ssl, SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl)));
    SSL_set_verify(ssl, SSL_VERIFY_PEER, VerifyServer);
}

bool PeerVerifiedFor(const SSL* ssl, const std::string& name) {
    if (!ssl || !SSL_is_init_finished(ssl) || SSL_get_verify_result(ssl) != X509_V_OK)
        return false;
    // Without a certificate the verify result is X509_V_OK too: nothing was proved.
    X509* certificate = SSL_get0_peer_certificate(ssl);
    return certificate && CertificateMatchesHost(certificate, name, AllowWildcardCertificates());
}

void PrepareServer(SSL* ssl, ClientVerificationMode mode) {
    switch (mode) {
    case ClientVerificationMode::None:
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        return;
    case ClientVerificationMode::Optional:
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        return;
    case ClientVerificationMode::Mandatory:
        SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        return;
    }
}

} // namespace zel::sip::stack::detail

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
    SSL_set_verify(ssl, SSL_VERIFY_PEER, VerifyServer);
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

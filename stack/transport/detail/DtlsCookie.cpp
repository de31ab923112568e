#include "stack/transport/detail/DtlsCookie.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cstring>
#include <stdexcept>

namespace zel::sip::stack::detail {

namespace {

int Generate(SSL* ssl, unsigned char* cookie, unsigned int* length) {
    const auto* binding = static_cast<const DtlsCookie::Binding*>(SSL_get_app_data(ssl));
    if (!binding || !binding->cookie)
        return 0;
    const std::string value = binding->cookie->Compute(binding->peer);
    if (value.empty() || value.size() > DTLS1_COOKIE_LENGTH)
        return 0;
    std::memcpy(cookie, value.data(), value.size());
    *length = static_cast<unsigned int>(value.size());
    return 1;
}

int Verify(SSL* ssl, const unsigned char* cookie, unsigned int length) {
    const auto* binding = static_cast<const DtlsCookie::Binding*>(SSL_get_app_data(ssl));
    if (!binding || !binding->cookie)
        return 0;
    const std::string expected = binding->cookie->Compute(binding->peer);
    return !expected.empty() && length == expected.size() && CRYPTO_memcmp(cookie, expected.data(), length) == 0;
}

} // namespace

DtlsCookie::DtlsCookie() {
    if (RAND_bytes(secret_.data(), static_cast<int>(secret_.size())) != 1)
        throw std::runtime_error("no random data for the DTLS cookie secret");
}

void DtlsCookie::Install(SSL_CTX* context) {
    SSL_CTX_set_cookie_generate_cb(context, Generate);
    SSL_CTX_set_cookie_verify_cb(context, Verify);
}

void DtlsCookie::Attach(SSL* ssl, const Binding* binding) {
    SSL_set_app_data(ssl, const_cast<Binding*>(binding));
}

std::string DtlsCookie::Compute(const std::string& peer) const {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t size = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret_.data(), secret_.size(),
                   reinterpret_cast<const unsigned char*>(peer.data()), peer.size(), mac, sizeof mac, &size))
        return {};
    return std::string(reinterpret_cast<const char*>(mac), size);
}

} // namespace zel::sip::stack::detail

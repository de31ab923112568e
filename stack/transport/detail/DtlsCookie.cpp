#include "stack/transport/detail/DtlsCookie.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cstring>
#include <stdexcept>

namespace zel::sip::stack::detail {

namespace {

int GenerateCookie(SSL* ssl, unsigned char* cookie, unsigned int* length) {
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

int VerifyCookie(SSL* ssl, const unsigned char* cookie, unsigned int length) {
    const auto* binding = static_cast<const DtlsCookie::Binding*>(SSL_get_app_data(ssl));
    if (!binding || !binding->cookie)
        return 0;
    return binding->cookie->Verify(binding->peer,
                                   std::string_view(reinterpret_cast<const char*>(cookie), length));
}

bool Random(std::array<unsigned char, 32>& secret) {
    return RAND_bytes(secret.data(), static_cast<int>(secret.size())) == 1;
}

} // namespace

DtlsCookie::DtlsCookie(Clock::duration lifetime, Clock::time_point start) : lifetime_(lifetime), rotated_(start) {
    if (!Random(current_))
        throw std::runtime_error("no random data for the DTLS cookie secret");
}

bool DtlsCookie::RotateIfDue(Clock::time_point now) {
    if (now - rotated_ < lifetime_)
        return true;
    Secret next;
    if (!Random(next))
        return false;
    // After two lifetimes without a rotation the current secret is as old as a previous one
    // may be: it goes too.
    if (now - rotated_ < 2 * lifetime_)
        previous_ = current_;
    else
        previous_.reset();
    current_ = next;
    rotated_ = now;
    return true;
}

bool DtlsCookie::Verify(const std::string& peer, std::string_view cookie) const {
    auto matches = [&](const Secret& secret) {
        const std::string expected = Mac(secret, peer);
        return !expected.empty() && cookie.size() == expected.size() &&
               CRYPTO_memcmp(cookie.data(), expected.data(), cookie.size()) == 0;
    };
    return matches(current_) || (previous_ && matches(*previous_));
}

void DtlsCookie::Install(SSL_CTX* context) {
    SSL_CTX_set_cookie_generate_cb(context, GenerateCookie);
    SSL_CTX_set_cookie_verify_cb(context, VerifyCookie);
}

void DtlsCookie::Attach(SSL* ssl, const Binding* binding) {
    SSL_set_app_data(ssl, const_cast<Binding*>(binding));
}

std::string DtlsCookie::Compute(const std::string& peer) const { return Mac(current_, peer); }

std::string DtlsCookie::Mac(const Secret& secret, const std::string& peer) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t size = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                   reinterpret_cast<const unsigned char*>(peer.data()), peer.size(), mac, sizeof mac, &size))
        return {};
    return std::string(reinterpret_cast<const char*>(mac), size);
}

} // namespace zel::sip::stack::detail

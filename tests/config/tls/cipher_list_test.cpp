#include "config/tls/CipherList.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using zel::sip::tls::CipherList;
using zel::sip::tls::detail::OpenSSLCiphersByIANACipher;

TEST(CipherList, TranslatesKnownNamesInOrder) {
    const std::string ecdhe = "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
    const std::string rsa = "TLS_RSA_WITH_AES_256_GCM_SHA384";
    const std::string expected = "ECDHE-RSA-AES128-GCM-SHA256:AES256-GCM-SHA384";
    struct Case {
        std::vector<std::string> names;
        std::string result;
    };
    const Case cases[] = {
        {{}, ""},
        {{ecdhe, rsa}, expected},
        {{"TLS_UNKNOWN", ecdhe, rsa}, expected},
        {{ecdhe, "TLS_AES_128_GCM_SHA256", rsa, "TLS_RSA_WITH_AES_128_CBC_SHA"}, expected},  // TLS 1.3, SHA-1
        {{"", ecdhe, "", rsa, ""}, expected},
        {{"ECDHE-RSA-AES128-GCM-SHA256", "tls_ecdhe_rsa_with_aes_128_gcm_sha256"}, ""},
        {{" TLS_RSA_WITH_AES_256_GCM_SHA384", "TLS_RSA_WITH_AES_256_GCM_SHA384 "}, ""},
        {{rsa, rsa}, "AES256-GCM-SHA384:AES256-GCM-SHA384"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CipherList::IANAToOpenSSL(c.names), c.result) << ::testing::PrintToString(c.names);
}

// OpenSSL 3 dropped the static DH and static ECDH suites, so it ignores those entries of the table
// in a cipher list (the stack then keeps the other names). This records which entries OpenSSL
// actually takes; when it changes, the documentation of the TLS settings must change with it.
TEST(CipherList, OpenSSLKnowsAllButTheStaticDHAndECDHSuites) {
    const std::set<std::string> unknownToOpenSSL = {
        "DH-RSA-AES128-SHA256",       "DH-RSA-AES256-SHA256",       "DH-RSA-AES128-GCM-SHA256",
        "DH-RSA-AES256-GCM-SHA384",   "DH-DSS-AES128-SHA256",       "DH-DSS-AES256-SHA256",
        "DH-DSS-AES128-GCM-SHA256",   "DH-DSS-AES256-GCM-SHA384",   "ECDH-RSA-AES128-SHA256",
        "ECDH-RSA-AES256-SHA384",     "ECDH-RSA-AES128-GCM-SHA256", "ECDH-RSA-AES256-GCM-SHA384",
        "ECDH-ECDSA-AES128-SHA256",   "ECDH-ECDSA-AES256-SHA384",   "ECDH-ECDSA-AES128-GCM-SHA256",
        "ECDH-ECDSA-AES256-GCM-SHA384",
    };
    ASSERT_EQ(OpenSSLCiphersByIANACipher.size(), 41u);
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_method()), &SSL_CTX_free);
    ASSERT_TRUE(context);
    for (const auto& [iana, openssl] : OpenSSLCiphersByIANACipher) {
        SCOPED_TRACE(iana + " -> " + openssl);
        const bool accepted = SSL_CTX_set_cipher_list(context.get(), openssl.c_str()) == 1;
        EXPECT_EQ(accepted, unknownToOpenSSL.count(openssl) == 0);
        if (!accepted)
            continue;
        // The list OpenSSL made holds exactly the named TLS 1.2 suite (plus the TLS 1.3 suites,
        // which are configured apart).
        bool found = false;
        const auto* ciphers = SSL_CTX_get_ciphers(context.get());
        for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
            const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
            if (std::string(SSL_CIPHER_get_version(cipher)) == "TLSv1.3")
                continue;
            EXPECT_EQ(SSL_CIPHER_get_name(cipher), openssl);
            EXPECT_EQ(SSL_CIPHER_standard_name(cipher), iana);
            found = true;
        }
        EXPECT_TRUE(found);
    }
}

} // namespace

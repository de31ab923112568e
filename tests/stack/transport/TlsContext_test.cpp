#include "stack/transport/TlsContext.h"

#include "TestCertificates.h"

#include <boost/asio/ssl/context.hpp>

#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string_view>

namespace zel::sip::stack {
namespace {

using TlsContextTest = test::CertificateTest;

std::unique_ptr<X509, decltype(&X509_free)> Load(const std::string& name) {
    BIO* file = BIO_new_file(TlsContextTest::certificates->Certificate(name).c_str(), "r");
    X509* certificate = file ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(file);
    return {certificate, X509_free};
}

TEST_F(TlsContextTest, MatchesHostNamesPerRfc5922) {
    using namespace std::string_view_literals;
    const struct {
        const char* certificate;
        std::string_view host;
        bool allowWildcards;
        bool matches;
    } cases[] = {
        {"server", "sip.example.test", false, true},
        {"server", "SIP.Example.Test", false, true},      // case does not matter
        {"server", "sip.example.test.", false, true},     // nor a final dot
        {"server", "example.test", false, true},          // from the sip: URI entry
        {"server", "other.example.test", false, false},
        {"server", "127.0.0.1", false, true},              // iPAddress entry
        {"server", "::1", false, true},
        {"server", "127.0.0.2", false, false},
        {"server", "", false, false},
        {"wildcard", "sip.example.test", false, false},    // wildcards only when allowed
        {"wildcard", "sip.example.test", true, true},
        {"wildcard", "a.sip.example.test", true, false},   // one label only
        {"wildcard", "example.test", true, false},
        {"cn-only", "cn.example.test", false, true},       // no subjectAltName: the common name
        {"client", "client", false, false},
        {"wildcard", "wild", true, false},                 // the common name only without altNames
        {"server", "sip.example.test\0.evil"sv, false, false}, // no embedded NUL
    };
    for (const auto& c : cases) {
        auto certificate = Load(c.certificate);
        ASSERT_TRUE(certificate) << c.certificate;
        EXPECT_EQ(CertificateMatchesHost(certificate.get(), c.host, c.allowWildcards), c.matches)
            << c.certificate << " / " << c.host.substr(0, c.host.find('\0')) << " / wildcards " << c.allowWildcards;
    }
}

TEST_F(TlsContextTest, LoadsGoodSettingsAndNamesWhatItRefuses) {
    const SecuritySettings good = Settings("server");
    EXPECT_NO_THROW(MakeSslContext(good, TlsProtocol::Tls));
    EXPECT_NO_THROW(MakeSslContext(good, TlsProtocol::Dtls));

    const struct {
        const char* name;
        void (*spoil)(SecuritySettings&);
        const char* mentioned;
    } cases[] = {
        {"missing CA directory", [](SecuritySettings& s) { s.caDirectoryPath = "/nonexistent/ca"; }, "/nonexistent/ca"},
        {"missing certificate", [](SecuritySettings& s) { s.certificatePath = "/nonexistent/cert.pem"; }, "cert.pem"},
        {"key of another certificate", [](SecuritySettings& s) { s.privateKeyPath = certificates->Key("client"); },
         "mismatch"},
        {"bad cipher list", [](SecuritySettings& s) { s.cipherList = "NO-SUCH-CIPHER"; }, "NO-SUCH-CIPHER"},
        {"missing DH parameters", [](SecuritySettings& s) { s.dhParametersPath = "/nonexistent/dh.pem"; }, "dh.pem"},
        {"DH parameters that are not", [](SecuritySettings& s) { s.dhParametersPath = certificates->Key("server"); },
         "DH parameter"},
    };
    for (const auto& c : cases) {
        SecuritySettings settings = good;
        c.spoil(settings);
        try {
            MakeSslContext(settings, TlsProtocol::Tls);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.mentioned), std::string::npos) << c.name << ": " << error.what();
        }
    }
}

TEST_F(TlsContextTest, ProcessWideOptionsOnlyAccumulate) {
    AddOpenSslContextOptions(SSL_OP_NO_SSLv3);
    AddOpenSslContextOptions(SSL_OP_NO_TLSv1);
    AddOpenSslContextOptions(0);
    const auto options = OpenSslContextOptions();
    EXPECT_EQ(options & (SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1), SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1);
    const auto context = MakeSslContext({}, TlsProtocol::Tls);
    EXPECT_EQ(SSL_CTX_get_options(context->native_handle()) & options, options);
}

} // namespace
} // namespace zel::sip::stack

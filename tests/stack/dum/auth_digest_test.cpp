#include "stack/dum/auth/Digest.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

// RFC 7616 section 3.9.1 (HTTP's method and uri taken as plain strings, as SIP uses them) and
// RFC 2617 section 3.5. The qop-less, -sess and auth-int values were worked out independently of
// this code (Python hashlib) from the formulas of RFC 7616 section 3.4.
TEST(DigestResponse, MatchesPublishedAndIndependentVectors) {
    const std::string_view rfc7616Nonce = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
    const std::string_view rfc7616Cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
    struct Case {
        const char* name;
        DigestInput in;
        const char* expected;
    };
    const Case cases[] = {
        {"RFC 7616 SHA-256",
         {DigestAlgorithm::Sha256, DigestQop::Auth, "Mufasa", "http-auth@example.org", "Circle of Life", rfc7616Nonce,
          rfc7616Cnonce, 1, "GET", "/dir/index.html", ""},
         "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
        {"RFC 7616 MD5",
         {DigestAlgorithm::Md5, DigestQop::Auth, "Mufasa", "http-auth@example.org", "Circle of Life", rfc7616Nonce,
          rfc7616Cnonce, 1, "GET", "/dir/index.html", ""},
         "8ca523f5e9506fed4657c9700eebdbec"},
        {"RFC 2617 MD5",
         {DigestAlgorithm::Md5, DigestQop::Auth, "Mufasa", "testrealm@host.com", "Circle Of Life",
          "dcd98b7102dd2f0e8b11d0f600bfb0c093", "0a4f113b", 1, "GET", "/dir/index.html", ""},
         "6629fae49393a05397450978507c4ef1"},
        {"no qop (RFC 2069 form): cnonce and nc take no part",
         {DigestAlgorithm::Md5, DigestQop::None, "Mufasa", "testrealm@host.com", "Circle Of Life",
          "dcd98b7102dd2f0e8b11d0f600bfb0c093", "ignored", 7, "GET", "/dir/index.html", "ignored"},
         "670fd8c2df070c60b045671b8b24ff02"},
        {"MD5-sess, nc 2",
         {DigestAlgorithm::Md5Sess, DigestQop::Auth, "alice", "atlanta.com", "secret", "abc", "0a4f113b", 2, "INVITE",
          "sip:bob@biloxi.com", ""},
         "d2a79f3751b54ba36db967c64a65dfd4"},
        {"SHA-256-sess",
         {DigestAlgorithm::Sha256Sess, DigestQop::Auth, "alice", "atlanta.com", "secret", "abc", "0a4f113b", 1,
          "REGISTER", "sip:atlanta.com", ""},
         "bbf294df35c1eea37ef8fe58853a48f99d2ea2285cf1c954cbb8284ad54b34fc"},
        {"auth-int hashes the body",
         {DigestAlgorithm::Md5, DigestQop::AuthInt, "alice", "atlanta.com", "secret", "abc", "0a4f113b", 1, "INVITE",
          "sip:bob@biloxi.com", "v=0\r\n"},
         "b3ac7b66d0fec52290f88aeb04c9e5d0"},
        {"auth-int with an empty body hashes the empty string",
         {DigestAlgorithm::Sha256, DigestQop::AuthInt, "alice", "atlanta.com", "secret", "abc", "0a4f113b", 1, "BYE",
          "sip:bob@biloxi.com", ""},
         "de1f45acb28a33084361fc2b1195ca6a633bd3d43aa16fed9c548ad37fcc77d5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ComputeDigestResponse(c.in), c.expected);
    }
}

TEST(DigestResponse, NonceCountIsEightLowerHexDigits) {
    EXPECT_EQ(FormatNonceCount(1), "00000001");
    EXPECT_EQ(FormatNonceCount(0x1a), "0000001a");
    EXPECT_EQ(FormatNonceCount(0xffffffffu), "ffffffff");
}

TEST(DigestAlgorithmNames, ReadWithoutCaseAndRankShaAboveMd5) {
    EXPECT_EQ(ParseDigestAlgorithm("md5"), DigestAlgorithm::Md5);
    EXPECT_EQ(ParseDigestAlgorithm("sha-256-SESS"), DigestAlgorithm::Sha256Sess);
    EXPECT_EQ(ParseDigestAlgorithm("SHA-512-256"), std::nullopt);
    EXPECT_EQ(ParseDigestAlgorithm("MD5 "), std::nullopt);
    EXPECT_GT(Strength(DigestAlgorithm::Sha256), Strength(DigestAlgorithm::Md5Sess));
    EXPECT_GT(Strength(DigestAlgorithm::Sha256Sess), Strength(DigestAlgorithm::Md5));
}

std::optional<DigestChallenge> Read(std::string_view text) { return ReadDigestChallenge(Auth::Parse(text)); }

TEST(DigestChallengeReading, ChoosesQopAndKeepsWhatMustBeEchoed) {
    auto c = Read(R"(Digest realm="a\"b", nonce="n1", opaque="o", algorithm=sha-256, qop="auth-int, auth", stale=TRUE)");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->realm, "a\"b");
    EXPECT_EQ(c->nonce, "n1");
    EXPECT_TRUE(c->hasOpaque);
    EXPECT_EQ(c->opaque, "o");
    EXPECT_EQ(c->algorithm, DigestAlgorithm::Sha256);
    EXPECT_EQ(c->algorithmText, "sha-256"); // echoed as given, not normalised
    EXPECT_EQ(c->qop, DigestQop::Auth);     // auth wins whenever offered
    EXPECT_TRUE(c->stale);

    c = Read(R"(digest realm="r", nonce="n", qop="auth-int")");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->qop, DigestQop::AuthInt);
    EXPECT_EQ(c->algorithm, DigestAlgorithm::Md5);
    EXPECT_TRUE(c->algorithmText.empty());
    EXPECT_FALSE(c->hasOpaque);
    EXPECT_FALSE(c->stale);

    c = Read(R"(Digest realm="", nonce="n", opaque="")");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->qop, DigestQop::None);
    EXPECT_TRUE(c->hasOpaque); // an empty opaque is still echoed
}

TEST(DigestChallengeReading, SkipsWhatCannotBeAnswered) {
    for (const char* text : {
             R"(Basic realm="r")",
             R"(Bearer abc.def)",
             R"(Digest nonce="n")",
             R"(Digest realm="r")",
             R"(Digest realm="r", nonce="n", algorithm=SHA-512-256)",
             R"(Digest realm="r", nonce="n", algorithm=MD5-sess)",
             R"(Digest realm="r", nonce="n", qop="auth-conf")",
             R"(Digest realm="r", nonce="n", qop="")",
         }) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(Read(text));
    }
}

} // namespace
} // namespace zel::sip::stack

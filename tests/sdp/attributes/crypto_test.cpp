#include "sdp/attributes/Crypto.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using zel::sip::sdp::attributes::Crypto;
using namespace std::string_literals;

constexpr const char* Key = "PS1uQCVeeCFCanVmcjkpPywjNWhcYD0mXXtxaVBR";

Crypto Parse(const std::string& text) {
    std::istringstream input(text);
    return Crypto::Parse(input);
}

template <typename T>
std::string Print(const T& value) {
    std::ostringstream output;
    output << value;
    return output.str();
}

std::string ErrorOf(const std::string& text) {
    try {
        Parse(text);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "(parsed)";
}

TEST(Crypto, ParsesAndPrintsTheCommonForm) {
    const std::string text = std::string("1 AES_CM_128_HMAC_SHA1_80 inline:") + Key + "|2^20|1:4";
    const auto crypto = Parse(text);
    EXPECT_EQ(crypto.Tag, 1u);
    EXPECT_EQ(crypto.Suite, "AES_CM_128_HMAC_SHA1_80");
    ASSERT_EQ(crypto.KeyParameters.size(), 1u);
    const auto& key = crypto.KeyParameters[0];
    EXPECT_EQ(key.Method, "inline");
    EXPECT_EQ(key.Info, Key);
    EXPECT_EQ(key.Lifetime, 20u);
    EXPECT_EQ(key.MKI, 1u);
    EXPECT_EQ(key.MKILength, 4u);
    EXPECT_TRUE(crypto.SessionParameters.empty());
    EXPECT_EQ(Print(crypto), text);
}

// Values that print back exactly as written (white space between tokens normalised to one space).
TEST(Crypto, RoundTripsAsWritten) {
    const std::string key = std::string("inline:") + Key;
    for (const std::string& text : {
             "1 AES_CM_128_HMAC_SHA1_80 " + key,
             "2 AES_CM_128_HMAC_SHA1_32 " + key + "|2^31 UNENCRYPTED_SRTCP KDR=1",
             "3 AES_256_CM_HMAC_SHA1_80 " + key + "|1048576",         // plain packet count
             "4 AES_CM_128_HMAC_SHA1_80 " + key + "|0:1",              // MKI value 0 is valid
             "5 AES_CM_128_HMAC_SHA1_80 " + key + "|2^20|1:4;" + key + "|2^20|2:4 WSH=64",
             "4294967295 X " + key + "|2^18446744073709551615|18446744073709551615:8",
             "0 AES_CM_128_HMAC_SHA1_80 otherkm:x:y|2^1"s,             // any method; ":" in key-salt
         }) {
        SCOPED_TRACE(text);
        const auto crypto = Parse(text);
        EXPECT_EQ(Print(crypto), text);
        EXPECT_EQ(Parse(Print(crypto)), crypto);
    }
}

TEST(Crypto, ReadsTokensAcrossAnyWhiteSpace) {
    const auto crypto = Parse(std::string("\t 7\nF8_128_HMAC_SHA1_80  inline:") + Key + "\r\nUNENCRYPTED_SRTCP\vKDR=1 \n");
    EXPECT_EQ(crypto.Tag, 7u);
    EXPECT_EQ(crypto.Suite, "F8_128_HMAC_SHA1_80");
    EXPECT_EQ(crypto.SessionParameters, (std::vector<std::string>{"UNENCRYPTED_SRTCP", "KDR=1"}));
}

TEST(Crypto, SplitsKeyParametersAtSemicolons) {
    EXPECT_EQ(Parse("1 S inline:a;inline:b;").KeyParameters.size(), 2u);
    EXPECT_EQ(Parse("1 S inline:a;inline:b").KeyParameters[1].Info, "b");
    EXPECT_EQ(ErrorOf("1 S inline:a;;inline:b"), "invalid crypto attribute key-parameter: ''");
}

TEST(Crypto, PrintsATrailingSpaceWithoutKeyParameters) {
    Crypto crypto;
    crypto.Tag = 9;
    crypto.Suite = "S";
    EXPECT_EQ(Print(crypto), "9 S ");
}

TEST(Crypto, PrintsNumbersInDecimalWhateverTheStreamFlags) {
    std::ostringstream output;
    output << std::hex << Parse("10 S inline:k|2^20|10:4");
    EXPECT_EQ(output.str(), "10 S inline:k|2^20|10:4");
}

TEST(Crypto, ReportsMalformedValues) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "invalid crypto attribute: ''"},
        {"1 AES_CM_128_HMAC_SHA1_80", "invalid crypto attribute: '1 AES_CM_128_HMAC_SHA1_80'"},
        {"a AES_CM_128_HMAC_SHA1_80 inline:k", "invalid crypto attribute: 'a AES_CM_128_HMAC_SHA1_80 inline:k'"},
        {"4294967296 S inline:k", "invalid crypto attribute: '4294967296 S inline:k'"},  // 2^32
        {"-1 S inline:k", "invalid crypto attribute: '-1 S inline:k'"},                  // no wrap
        {"1x S inline:k", "invalid crypto attribute: '1x S inline:k'"},
        {"1 S inline", "invalid crypto attribute key-parameter key-salt: 'inline'"},
        {"1 S :k", "invalid crypto attribute key-parameter method: ':k'"},
        {"1 S inline:k|1:9", "unsupported mki-length 9 - maximum supported mki-length is 8"},
        {"1 S inline:k|1:x", "invalid crypto attribute key-parameter mki: '1:x'"},
        {"1 S inline:k|-1:4", "invalid crypto attribute key-parameter mki: '-1:4'"},
        {"1 S inline:k|1:4:5", "invalid crypto attribute key-parameter mki: '1:4:5'"},
        {"1 S inline:k|18446744073709551616:4", "invalid crypto attribute key-parameter mki: '18446744073709551616:4'"},
        {"1 S inline:k|1:18446744073709551615",
         "unsupported mki-length 18446744073709551615 - maximum supported mki-length is 8"},
        {"1 S inline:k|2^", "invalid crypto attribute key-parameter lifetime: '2^'"},
        {"1 S inline:k|", "invalid crypto attribute key-parameter lifetime: ''"},
        {"1 S inline:k|2^20x", "invalid crypto attribute key-parameter lifetime: '2^20x'"},
        {"1 S inline:k|2^18446744073709551616", "invalid crypto attribute key-parameter lifetime: '2^18446744073709551616'"},
        {"1 S inline:k|-18446744073709551616", "invalid crypto attribute key-parameter lifetime: '-18446744073709551616'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorOf(c.text), c.error) << c.text;
}

// NUL is an ordinary token character: it is kept in tokens and makes a tag invalid.
TEST(Crypto, TreatsNulAsATokenCharacter) {
    const auto suite = "S\0x"s;
    const auto crypto = Parse("1 " + suite + " inline:k");
    EXPECT_EQ(crypto.Suite, suite);
    EXPECT_EQ(Parse(Print(crypto)), crypto);
    // what() is a C string, so the quoted value ends at the NUL there.
    EXPECT_EQ(ErrorOf("1\0 S inline:k"s), "invalid crypto attribute: '1");
}

TEST(Crypto, ReadsALargeValue) {
    std::string text = "1 S inline:k";
    for (int i = 0; i < 100000; ++i)
        text += " p";
    EXPECT_EQ(Parse(text).SessionParameters.size(), 100000u);
}

TEST(CryptoKeyParameter, ReadsLifetimeAndMki) {
    struct Case {
        std::string text;
        std::uint64_t lifetime;
        bool packetCount;
        std::uint64_t mki;
        std::uint64_t mkiLength;
        std::string printed;
    };
    const Case cases[] = {
        {"inline:k|2^20|1:4", 20, false, 1, 4, "inline:k|2^20|1:4"},
        {"inline:k|1:8|2^20", 20, false, 1, 8, "inline:k|2^20|1:8"},
        {"inline:k|x^20", 20, false, 0, 0, "inline:k|2^20"},            // base not checked
        {"inline:k|+20", 20, true, 0, 0, "inline:k|20"},
        {"inline:k|2^-1", UINT64_MAX, false, 0, 0, "inline:k|2^18446744073709551615"},
        {"inline:k|2^10|2^12|1:1|2:2", 12, false, 2, 2, "inline:k|2^12|2:2"},  // later part wins
        {"inline:k|2^20|0", 0, false, 0, 0, "inline:k"},                 // lifetime 0 is absent
        {"inline:k|0:0", 0, false, 0, 0, "inline:k"},
        {"inline:k|5:0", 0, false, 5, 0, "inline:k|5:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto key = Crypto::KeyParameter::Parse(c.text);
        EXPECT_EQ(key.Lifetime, c.lifetime);
        EXPECT_EQ(key.LifetimeIsPacketCount, c.packetCount);
        EXPECT_EQ(key.MKI, c.mki);
        EXPECT_EQ(key.MKILength, c.mkiLength);
        EXPECT_EQ(Print(key), c.printed);
        EXPECT_EQ(Crypto::KeyParameter::Parse(Print(key)), key);
    }
}

} // namespace

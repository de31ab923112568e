#include "SdpTestSupport.h"

#include "sdp/attributes/Crypto.h"
#include "sdp/negotiators/MediaSecurityNegotiator.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

using sdp::negotiators::MediaSecurityNegotiator;
using stack::sdp::Medium;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

constexpr const char* kSha80 = "1 AES_CM_128_HMAC_SHA1_80 inline:PS1uQCVeeCFCanVmcjkpPywjNWhcYD0mXXtxaVBR|2^31";
constexpr const char* kSha32 = "2 AES_CM_128_HMAC_SHA1_32 inline:NzB4d1BINUAvLEw6UzF3WSJ+PSdFcGdUJShpX1Zj";
constexpr const char* kAes256 = "3 AES_256_CM_HMAC_SHA1_80 inline:W6ZiCn5MOSyi3Abyxb1cUmf4aHyO3OH7DYmYwkLwoCfwCRG/WB6ZiSy4E2Oa6Q==";

Medium Remote(const char* protocol, std::vector<const char*> cryptos) {
    Medium medium("audio", 4000, 1, protocol);
    for (const auto* crypto : cryptos) {
        medium.Attributes().Add("crypto", crypto);
    }
    return medium;
}

class SecurityNegotiatorTest : public ::testing::Test {
protected:
    MediaSecurityNegotiator Make(UseSRTP policy, std::vector<::zel::sip::Crypto> cryptos = {}) {
        config_.Cryptos = cryptos.empty() ? TypicalConfig().Cryptos : std::move(cryptos);
        return MediaSecurityNegotiator(random_, policy, config_);
    }
    CountingRandom random_;
    Config config_;
    FakeSession session_;
};

TEST_F(SecurityNegotiatorTest, OffersByPolicy) {
    struct Case {
        UseSRTP policy;
        bool connected;
        bool peerFallback;
        const char* protocol;
        std::size_t cryptoLines;
    };
    const std::vector<Case> cases = {
        {UseSRTP::None, false, false, "RTP/AVP", 0},
        {UseSRTP::BestEffort, false, false, "RTP/AVP", 2},
        {UseSRTP::Mandatory, false, false, "RTP/SAVP", 2},
        {UseSRTP::Fallback, false, false, "RTP/SAVP", 2},
        {UseSRTP::Fallback, true, true, "RTP/SAVP", 2},
        {UseSRTP::Fallback, true, false, "RTP/AVP", 0},
    };
    for (const auto& c : cases) {
        const auto negotiator = Make(c.policy);
        session_.connected = c.connected;
        session_.peerOptionTags.clear();
        if (c.peerFallback) {
            session_.peerOptionTags.insert("x-cisco-srtp-fallback");
        }
        auto medium = Remote("RTP/SAVP", {kAes256});
        negotiator.MakeOffer(&session_, 0, medium);
        EXPECT_EQ(medium.Protocol(), c.protocol);
        const auto lines = Values(medium, "crypto");
        ASSERT_EQ(lines.size(), c.cryptoLines) << static_cast<int>(c.policy);
        if (c.cryptoLines == 2) {
            EXPECT_THAT(lines[0], MatchesRegex("1 AES_CM_128_HMAC_SHA1_80 inline:[A-Za-z0-9+/]{40}"));
            EXPECT_THAT(lines[1], MatchesRegex("2 AES_CM_128_HMAC_SHA1_32 inline:[A-Za-z0-9+/]{40}"));
            EXPECT_NE(lines[0].substr(33), lines[1].substr(33));
        }
    }
    // Before any session exists the fallback policy offers SRTP.
    auto medium = Medium("audio", 0, 1, "RTP/AVP");
    Make(UseSRTP::Fallback).MakeOffer(nullptr, 0, medium);
    EXPECT_EQ(medium.Protocol(), "RTP/SAVP");
}

TEST_F(SecurityNegotiatorTest, MasterKeyIdentifiersNumberEveryKey) {
    const auto negotiator = Make(UseSRTP::Mandatory, {Profile("AES_CM_128_HMAC_SHA1_80", true, 300)});
    auto medium = Medium("audio", 0, 1, "RTP/AVP");
    negotiator.MakeOffer(nullptr, 0, medium);
    const auto line = Values(medium, "crypto").at(0);
    std::istringstream input(line);
    const auto parsed = sdp::attributes::Crypto::Parse(input);
    ASSERT_EQ(parsed.KeyParameters.size(), 300u);
    EXPECT_EQ(parsed.KeyParameters.front().MKI, 1u);
    EXPECT_EQ(parsed.KeyParameters.back().MKI, 300u);
    EXPECT_EQ(parsed.KeyParameters.back().MKILength, 2u);
    EXPECT_NE(parsed.KeyParameters[0].Info, parsed.KeyParameters[1].Info);
}

struct AnswerCase {
    UseSRTP policy;
    const char* offeredProtocol;
    std::vector<const char*> offeredCryptos;
    bool peerFallback;
    const char* error;                       // or null
    const char* answeredProtocol = nullptr;  // when accepted
    std::vector<std::string> answeredCryptos = {};
    std::vector<std::string> offerLeftWith = {}; // the remote medium's crypto lines afterwards
    const char* offerProtocolAfter = nullptr;
};

TEST_F(SecurityNegotiatorTest, AnswersUnderEachPolicy) {
    using U = UseSRTP;
    const std::vector<AnswerCase> cases = {
        // Our preference (_80 first) wins over the offerer's order; the offer is narrowed.
        {U::BestEffort, "RTP/SAVP", {kSha32, kSha80}, false, nullptr, "RTP/SAVP", {kSha80}, {kSha80}, "RTP/SAVP"},
        {U::BestEffort, "RTP/AVP", {kAes256, kSha32}, false, nullptr, "RTP/AVP", {kSha32}, {kSha32}, "RTP/AVP"},
        {U::BestEffort, "RTP/AVP", {kAes256}, false, nullptr, "RTP/AVP", {}, {kAes256}, "RTP/AVP"},
        {U::BestEffort, "RTP/SAVP", {kAes256, "1 aes_cm_128_hmac_sha1_80 inline:x", "garbage"}, false,
         "offer mandates SRTP but contains no supported crypto profile"},
        {U::None, "RTP/AVP", {kSha80}, false, nullptr, "RTP/AVP", {}, {kSha80}, "RTP/AVP"},
        {U::None, "RTP/SAVP", {kSha80}, false, "SRTP is disabled but offer mandates SRTP"},
        {U::Mandatory, "RTP/AVP", {kSha80}, false, nullptr, "RTP/SAVP", {kSha80}, {kSha80}, "RTP/AVP"},
        {U::Mandatory, "RTP/AVP", {}, false, "SRTP is mandatory but offer contains no supported crypto profile"},
        {U::Fallback, "RTP/SAVP", {kSha32}, false, nullptr, "RTP/SAVP", {kSha32}, {kSha32}, "RTP/SAVP"},
        {U::Fallback, "RTP/SAVP", {kAes256}, true, nullptr, "RTP/AVP", {}, {}, "RTP/AVP"},
        {U::Fallback, "RTP/AVP", {}, false, nullptr, "RTP/AVP", {}, {}, "RTP/AVP"},
        {U::Fallback, "RTP/SAVP", {kAes256}, false,
         "offer mandates SRTP but contains no supported crypto profile - peer must support x-cisco-srtp-fallback to "
         "fallback to RTP from SRTP"},
        {U::MultipleMediaDescriptor, "RTP/AVP", {kSha80}, false, nullptr, "RTP/AVP", {}, {kSha80}, "RTP/AVP"},
        {U::MultipleMediaDescriptor, "RTP/SAVP", {kAes256, kSha80}, false, nullptr, "RTP/SAVP", {kSha80}, {kSha80},
         "RTP/SAVP"},
        {U::MultipleMediaDescriptor, "RTP/SAVP", {kAes256}, false,
         "SRTP is offered but offer contains no supported crypto profile"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        const auto negotiator = Make(c.policy);
        session_.peerOptionTags.clear();
        if (c.peerFallback) {
            session_.peerOptionTags.insert("x-cisco-srtp-fallback");
        }
        auto offered = Remote(c.offeredProtocol, c.offeredCryptos);
        auto answer = Remote("RTP/AVP", {kAes256}); // left over from an earlier answer
        try {
            negotiator.NegotiateAnswer(session_, 0, offered, answer);
            ASSERT_EQ(c.error, nullptr);
            EXPECT_EQ(answer.Protocol(), c.answeredProtocol);
            EXPECT_EQ(Values(answer, "crypto"), c.answeredCryptos);
            EXPECT_EQ(Values(offered, "crypto"), c.offerLeftWith);
            EXPECT_EQ(offered.Protocol(), c.offerProtocolAfter);
        } catch (const std::invalid_argument& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

struct VerifyCase {
    UseSRTP policy;
    const char* protocol;
    std::vector<const char*> cryptos;
    bool peerFallback;
    const char* error;
};

TEST_F(SecurityNegotiatorTest, VerifiesAnswersUnderEachPolicy) {
    using U = UseSRTP;
    const char* noneSupported = "answer contains one or more crypto profile but none are supported";
    const char* mandates = "answer mandates SRTP but contains no supported crypto profile";
    const std::vector<VerifyCase> cases = {
        {U::BestEffort, "RTP/SAVP", {kSha32}, false, nullptr},
        {U::BestEffort, "RTP/AVP", {}, false, nullptr},
        {U::BestEffort, "RTP/AVP", {kAes256}, false, noneSupported},
        {U::BestEffort, "RTP/SAVP", {}, false, mandates},
        {U::Mandatory, "RTP/AVP", {}, false, "SRTP is mandatory but answer contains no supported crypto profile"},
        {U::Fallback, "RTP/AVP", {}, true, nullptr},
        {U::Fallback, "RTP/AVP", {}, false, "peer must support x-cisco-srtp-fallback to RTP from SRTP"},
        {U::Fallback, "RTP/AVP", {kAes256}, true, noneSupported},
        {U::MultipleMediaDescriptor, "RTP/SAVP", {kAes256}, false, mandates},
        {U::MultipleMediaDescriptor, "RTP/AVP", {kAes256}, false, nullptr},
        {U::None, "RTP/SAVP", {}, false, "SRTP is disabled but answer mandates SRTP"},
        {U::None, "RTP/AVP", {kSha80}, false, "SRTP is disabled but answer contains one or more crypto profiles"},
        {U::None, "RTP/AVP", {}, false, nullptr},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        const auto negotiator = Make(c.policy);
        session_.peerOptionTags.clear();
        if (c.peerFallback) {
            session_.peerOptionTags.insert("x-cisco-srtp-fallback");
        }
        auto local = Remote("RTP/SAVP", {kSha80});
        try {
            negotiator.VerifyAnswer(session_, 0, local, Remote(c.protocol, c.cryptos));
            EXPECT_EQ(c.error, nullptr);
        } catch (const std::invalid_argument& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

TEST_F(SecurityNegotiatorTest, AcceptedFallbackTurnsOurOfferPlain) {
    const auto negotiator = Make(UseSRTP::Fallback);
    session_.peerOptionTags.insert("x-cisco-srtp-fallback");
    auto local = Remote("RTP/SAVP", {kSha80, kSha32});
    negotiator.VerifyAnswer(session_, 0, local, Remote("RTP/AVP", {}));
    EXPECT_EQ(local.Protocol(), "RTP/AVP");
    EXPECT_TRUE(Values(local, "crypto").empty());
}

} // namespace
} // namespace zel::sip::test

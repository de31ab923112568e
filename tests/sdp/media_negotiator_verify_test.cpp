#include "NegotiatorFixture.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Released = std::pair<std::string, unsigned short>;

class VerifyTest : public NegotiatorFixture {
protected:
    // Our offer within the session, then the peer's answer to it.
    std::string Exchange(const std::string& answerMedia) {
        Build().MakeOffer(session_, stack::IpVersion::V4);
        const auto answer =
            ParseSdp("v=0\r\no=peer 9 9 IN IP4 203.0.113.9\r\ns=-\r\nc=IN IP4 203.0.113.9\r\nt=0 0\r\n" + answerMedia);
        return ErrorOf<std::invalid_argument>([&] { negotiator_->VerifyAnswer(session_, answer); });
    }
};

constexpr const char* kCrypto80 = "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:PS1uQCVeeCFCanVmcjkpPywjNWhcYD0mXXtxaVBR\r\n";

TEST_F(VerifyTest, EachSRTPPolicyAgainstPlainAndSecuredAnswers) {
    struct Case {
        UseSRTP policy;
        bool peerFallback;
        std::string answer;
        const char* error;
        const char* localProtocolAfter;
    };
    const std::string plain = "m=audio 6000 RTP/AVP 0\r\n";
    const std::string secured = std::string("m=audio 6000 RTP/SAVP 0\r\n") + kCrypto80;
    const std::vector<Case> cases = {
        {UseSRTP::None, false, plain, "", "RTP/AVP"},
        {UseSRTP::None, false, secured, "SRTP is disabled but answer mandates SRTP", "RTP/AVP"},
        {UseSRTP::BestEffort, false, plain, "", "RTP/AVP"},
        {UseSRTP::BestEffort, false, secured, "", "RTP/AVP"},
        {UseSRTP::Mandatory, false, plain, "SRTP is mandatory but answer contains no supported crypto profile",
         "RTP/SAVP"},
        {UseSRTP::Mandatory, false, secured, "", "RTP/SAVP"},
        {UseSRTP::Fallback, false, plain, "peer must support x-cisco-srtp-fallback to RTP from SRTP", "RTP/SAVP"},
        {UseSRTP::Fallback, true, plain, "", "RTP/AVP"},
        {UseSRTP::Fallback, true, secured, "", "RTP/SAVP"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        config_.UseSRTP = c.policy;
        session_.SetLocalSDP(stack::SdpBody()); // start over: an empty local body is filled again
        session_.peerOptionTags.clear();
        if (c.peerFallback) {
            session_.peerOptionTags.insert("x-cisco-srtp-fallback");
        }
        EXPECT_EQ(Exchange(c.answer), c.error);
        EXPECT_EQ(session_.Local().Media().at(0).Protocol(), c.localProtocolAfter);
    }
}

TEST_F(VerifyTest, MultipleDescriptorsAnswerThatRefusesThePlainMedium) {
    config_.UseSRTP = UseSRTP::MultipleMediaDescriptor;
    EXPECT_EQ(Exchange(std::string("m=audio 0 RTP/AVP 0\r\nm=audio 6002 RTP/SAVP 8\r\n") + kCrypto80), "");
    EXPECT_THAT(host_.surplus, ElementsAre(Released("192.0.2.10", 40000)));
    EXPECT_EQ(AnswerMedium(0).EncodeMediaLine(), "audio 0 RTP/AVP 0");
    EXPECT_EQ(AnswerMedium(1).Port(), 40002);
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("", "192.0.2.10"));
    EXPECT_EQ(session_.Remote().Media().size(), 2u);
}

TEST_F(VerifyTest, AnswerChecksOfCodecsMultiplexingAndCount) {
    config_.RTCPMultiplexing = RTCPMultiplexingPolicy::Required;
    EXPECT_EQ(Exchange("m=audio 6000 RTP/AVP 0\r\n"),
              "RTCP multiplexing is required but the answer does not support RTCP multiplexing");
    EXPECT_EQ(session_.GetRemoteSDP(), nullptr);
    EXPECT_EQ(Exchange("m=audio 6000 RTP/AVP 18\r\na=rtcp-mux\r\n"), "answer does not contain a supported codec");
    EXPECT_EQ(Exchange("m=audio 6000 RTP/AVP 0\r\na=rtcp-mux\r\nm=video 0 RTP/AVP 31\r\n"),
              "media description count cannot differ between offer and answer");
    EXPECT_EQ(Exchange("m=audio 6000 RTP/AVP 8\r\na=rtcp-mux\r\n"), ""); // configured, though PCMA came second
    EXPECT_THAT(host_.surplus, IsEmpty());
}

} // namespace
} // namespace zel::sip::test

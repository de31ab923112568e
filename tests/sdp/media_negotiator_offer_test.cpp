#include "NegotiatorFixture.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

using stack::sdp::AddrType;
using ::testing::ElementsAre;

class OfferTest : public NegotiatorFixture {};

// Replaces the 40 base64 characters after each "inline:" by "<key>".
std::string MaskKeys(std::string text) {
    for (auto at = text.find("inline:"); at != std::string::npos; at = text.find("inline:", at + 1)) {
        text.replace(at + 7, 40, "<key>");
    }
    return text;
}

TEST_F(OfferTest, GeneratedOfferHasTheDocumentedShape) {
    config_.Cryptos = {Profile("AES_CM_128_HMAC_SHA1_80")};
    const auto offer = Build().MakeOffer(AddrType::IP4);
    EXPECT_EQ(MaskKeys(offer->Encode()), "v=0\r\n"
                                         "o=Zelmor 1001 1002 IN IP4 ua.example.test\r\n"
                                         "s=Recording\r\n"
                                         "t=0 0\r\n"
                                         "m=audio 40000 RTP/AVP 0 8 96\r\n"
                                         "i=call audio\r\n"
                                         "c=IN IP4 192.0.2.10\r\n"
                                         "a=rtpmap:0 PCMU/8000\r\n"
                                         "a=rtpmap:8 PCMA/8000\r\n"
                                         "a=rtpmap:96 telephone-event/8000\r\n"
                                         "a=fmtp:96 0-15\r\n"
                                         "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:<key>\r\n"
                                         "a=recvonly\r\n"
                                         "a=rtcp-mux\r\n"
                                         "a=rtcp:40001 IN IP4 192.0.2.10\r\n");
    EXPECT_THAT(host_.requests, ElementsAre(AddressType::IPv4));
}

TEST_F(OfferTest, OfferOfTwoMediaDescriptionsAsksForTwoEndpoints) {
    config_.UseSRTP = UseSRTP::MultipleMediaDescriptor;
    const auto offer = Build().MakeOffer(AddrType::IP6);
    const auto& media = std::as_const(*offer).Session().Media();
    ASSERT_EQ(media.size(), 2u);
    EXPECT_EQ(media[0].EncodeMediaLine(), "audio 40000 RTP/AVP 0 8 96");
    EXPECT_EQ(media[1].EncodeMediaLine(), "audio 40002 RTP/SAVP 0 8 96");
    EXPECT_EQ(media[1].Connections().at(0).Encode(), "IN IP6 192.0.2.10");
    EXPECT_THAT(host_.requests, ElementsAre(AddressType::IPv6, AddressType::IPv6));
}

TEST_F(OfferTest, UnusableEndpointsFailTheOffer) {
    struct Case {
        std::string address;
        unsigned short port;
        bool fillInformation; // 512 bytes without NUL
        bool succeeds;
    };
    const std::vector<Case> cases = {
        {"", 5000, false, false},
        {std::string(46, 'a'), 5000, false, false},
        {std::string(45, 'a'), 5000, false, true},
        {"192.0.2.1", 0, false, false},
        {"192.0.2.1", 5000, true, false},
        {"192.0.2.1\r\na=evil", 5000, false, false},
    };
    for (const auto& c : cases) {
        MediaNegotiator negotiator(random_, localSDPFactory_, config_);
        negotiator.LocalMediaEndpointRequired.connect([&](unsigned long, AddressType, char* address, unsigned long size,
                                                          unsigned short& port, char* info, unsigned long infoSize) {
            std::memcpy(address, c.address.data(), std::min<std::size_t>(c.address.size(), size));
            port = c.port;
            if (c.fillInformation) {
                std::memset(info, 'i', infoSize);
            }
        });
        const auto error = ErrorOf<std::runtime_error>([&] { negotiator.MakeOffer(AddrType::IP4); });
        EXPECT_EQ(error, c.succeeds ? "" : "unable to get a local media endpoint") << c.address;
    }
    MediaNegotiator unconnected(random_, localSDPFactory_, config_);
    EXPECT_EQ(ErrorOf<std::runtime_error>([&] { unconnected.MakeOffer(AddrType::IP4); }),
              "unable to get a local media endpoint");
}

TEST_F(OfferTest, InformationLineAndRTCPAttributeFollowTheirSwitches) {
    config_.SpecifySessionInformation = false;
    host_.nextPort = 65535;
    auto offer = Build().MakeOffer(AddrType::IP4);
    auto medium = std::as_const(*offer).Session().Media().at(0);
    EXPECT_EQ(medium.Information(), "");
    EXPECT_THAT(Values(medium, "rtcp"), ElementsAre("0 IN IP4 192.0.2.10"));

    config_.SpecifySessionInformation = true;
    config_.SpecifyRTCPAttribute = false;
    host_ = FakeHost{};
    host_.title = "";
    offer = Build().MakeOffer(AddrType::IP4);
    medium = std::as_const(*offer).Session().Media().at(0);
    EXPECT_EQ(offer->Encode().find("i="), std::string::npos);
    EXPECT_FALSE(medium.Attributes().Exists("rtcp"));
}

TEST_F(OfferTest, OfferWithinASessionIsMadeOnceAndRepeated) {
    auto& negotiator = Build();
    auto& first = negotiator.MakeOffer(session_, stack::IpVersion::V6);
    const auto text = first.Encode();
    EXPECT_EQ(&first, session_.GetLocalSDP());
    EXPECT_NE(text.find("o=Zelmor 1001 1002 IN IP6"), std::string::npos);
    EXPECT_EQ(negotiator.MakeOffer(session_, stack::IpVersion::V4).Encode(), text);
    EXPECT_EQ(host_.requests.size(), 1u);
    // The endpoint is recorded, so an answer that disables the medium releases it.
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("192.0.2.10"));
    negotiator.VerifyAnswer(session_, ParseSdp("v=0\r\no=- 1 1 IN IP6 ::1\r\ns=-\r\nt=0 0\r\nm=audio 0 RTP/AVP 0\r\n"));
    EXPECT_THAT(host_.surplus, ElementsAre(std::pair<std::string, unsigned short>("192.0.2.10", 40000)));
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre(""));
    EXPECT_EQ(AnswerMedium(0).EncodeMediaLine(), "audio 0 RTP/AVP 0");
}

TEST_F(OfferTest, MandatorySRTPWithoutProfilesCannotOffer) {
    config_.UseSRTP = UseSRTP::Mandatory;
    config_.Cryptos.clear();
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Build().MakeOffer(AddrType::IP4); }),
              "SRTP is mandatory but no crypto profiles are defined");
    EXPECT_TRUE(host_.requests.empty());
}

} // namespace
} // namespace zel::sip::test

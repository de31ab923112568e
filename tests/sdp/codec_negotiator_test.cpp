#include "SdpTestSupport.h"

#include "sdp/negotiators/FormatParameters.h"
#include "sdp/negotiators/MediaCodecNegotiator.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

using sdp::negotiators::MediaCodecNegotiator;
using stack::sdp::Codec;
using stack::sdp::Medium;
using ::testing::ElementsAre;

Medium Audio() { return Medium("audio", 0, 1, "RTP/AVP"); }

std::vector<std::string> Rtpmaps(const Medium& medium) {
    std::vector<std::string> maps;
    for (const auto& codec : medium.Codecs()) {
        maps.push_back(std::to_string(codec.payloadType) + " " + codec.RtpmapText() +
                       (codec.formatParameters.empty() ? "" : " " + codec.formatParameters));
    }
    return maps;
}

Config WithCodecs(std::vector<::zel::sip::Codec> codecs) {
    Config config;
    config.Codecs = std::move(codecs);
    return config;
}

TEST(CodecNegotiator, OfferAssignsStaticThenDynamicTypesAndOneEventPerClockRate) {
    const MediaCodecNegotiator negotiator(
        WithCodecs({AudioCodec("PCMU", 8000), AudioCodec("PCMA", 8000), AudioCodec("opus", 48000, 2, {"useinbandfec=1"})}));
    auto medium = Audio();
    negotiator.MakeOffer(nullptr, 0, medium);
    negotiator.MakeOffer(nullptr, 0, medium); // a second run replaces, it does not add
    EXPECT_THAT(medium.Formats(), ElementsAre("0", "8", "96", "97", "98"));
    EXPECT_THAT(Rtpmaps(medium), ElementsAre("0 PCMU/8000", "8 PCMA/8000", "96 opus/48000/2 useinbandfec=1;maxplaybackrate=16000",
                                             "97 telephone-event/8000 0-15", "98 telephone-event/48000 0-15"));
}

TEST(CodecNegotiator, PayloadTypeAssignmentRules) {
    struct Case {
        ::zel::sip::Codec codec;
        std::vector<std::string> formats;
    };
    const std::vector<Case> cases = {
        {AudioCodec("pcmu", 8000), {"96", "97"}},           // static names match exactly
        {AudioCodec("PCMU", 8000, 2), {"96", "97"}},        // channel count is part of the match
        {AudioCodec("G722", 8000), {"9", "96"}},            // RFC 3551 clock rate of G722
        {AudioCodec("L16", 44100, 2), {"10", "96"}},
        {AudioCodec("telephone-event", 8000), {}},          // never offered as configured
        {AudioCodec("tone", 8000), {}},
        {AudioCodec("Telephone-Event", 8000), {"96", "97"}}, // only the exact name is special
    };
    for (const auto& c : cases) {
        const MediaCodecNegotiator negotiator(WithCodecs({c.codec}));
        auto medium = Audio();
        negotiator.MakeOffer(nullptr, 0, medium);
        EXPECT_EQ(medium.Formats(), c.formats) << c.codec.Encoding << "/" << c.codec.ClockRate;
    }
}

TEST(CodecNegotiator, DynamicTypesRunOutAt127AndLeaveNoRoomForEvents) {
    std::vector<::zel::sip::Codec> codecs;
    for (int i = 0; i < 40; ++i) {
        codecs.push_back(AudioCodec("X" + std::to_string(i), 8000));
    }
    const MediaCodecNegotiator negotiator(WithCodecs(codecs));
    auto medium = Audio();
    negotiator.MakeOffer(nullptr, 0, medium);
    ASSERT_EQ(medium.Formats().size(), 32u);
    EXPECT_EQ(medium.Formats().front(), "96");
    EXPECT_EQ(medium.Formats().back(), "127");
}

TEST(CodecNegotiator, CodecsOfAnotherMediaTypeAreNotOffered) {
    auto video = AudioCodec("H264", 90000);
    video.Type = "video";
    const MediaCodecNegotiator negotiator(WithCodecs({AudioCodec("PCMA", 8000), video}));
    auto medium = Audio();
    negotiator.MakeOffer(nullptr, 0, medium);
    EXPECT_THAT(medium.Formats(), ElementsAre("8", "96"));
}

TEST(CodecNegotiator, OpusWithAPlaybackRateIsLeftAlone) {
    const MediaCodecNegotiator negotiator(WithCodecs({AudioCodec("opus", 48000, 2, {"x=1", " MaxPlaybackRate = 8000 "})}));
    auto medium = Audio();
    negotiator.MakeOffer(nullptr, 0, medium);
    EXPECT_EQ(medium.Codecs().front().formatParameters, "x=1; MaxPlaybackRate = 8000 ");
}

Medium Offered(const std::string& lines) {
    auto body = ParseSdp("v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n" + lines);
    return std::as_const(body).Session().Media().at(0);
}

TEST(CodecNegotiator, AnswerFollowsOurPreferenceWithTheOfferersTypesAndEvents) {
    const MediaCodecNegotiator negotiator(WithCodecs({AudioCodec("PCMA", 8000), AudioCodec("PCMU", 8000)}));
    auto offered = Offered("m=audio 4000 RTP/AVP 0 8 101 102\r\na=rtpmap:101 telephone-event/48000\r\n"
                           "a=rtpmap:102 telephone-event/8000\r\na=fmtp:102 0-16\r\n");
    const auto before = offered;
    auto answer = Audio();
    FakeSession session;
    negotiator.NegotiateAnswer(session, 0, offered, answer);
    EXPECT_THAT(Rtpmaps(answer), ElementsAre("8 PCMA/8000", "102 telephone-event/8000 0-15"));
    EXPECT_EQ(offered, before);
}

TEST(CodecNegotiator, AnswerTakesEventsOfAnotherRateWhenNoneMatches) {
    const MediaCodecNegotiator negotiator(WithCodecs({AudioCodec("PCMU", 8000)}));
    auto offered = Offered("m=audio 4000 RTP/AVP 0 110\r\na=rtpmap:110 telephone-event/48000\r\n");
    auto answer = Audio();
    FakeSession session;
    negotiator.NegotiateAnswer(session, 0, offered, answer);
    EXPECT_THAT(Rtpmaps(answer), ElementsAre("0 PCMU/8000", "110 telephone-event/48000 0-15"));
}

TEST(CodecNegotiator, FormatParametersMustAgreeExceptForG729G723AndOpus) {
    struct Case {
        std::vector<std::string> ours;
        std::string offeredFmtp;
        bool matches;
    };
    const std::vector<Case> cases = {
        {{"mode=20"}, "mode=20", true},
        {{"mode=20"}, "mode=30", false},
        {{"mode"}, "mode=20", false},
        {{"annexb=no"}, "", true},        // one side only does not matter
        {{"MODE=20"}, "mode=20;x=1", true}, // names without regard to case
    };
    for (const auto& c : cases) {
        const MediaCodecNegotiator negotiator(WithCodecs({AudioCodec("iLBC", 8000, 1, c.ours)}));
        const auto offered = Offered("m=audio 4000 RTP/AVP 97\r\na=rtpmap:97 iLBC/8000\r\n" +
                                     (c.offeredFmtp.empty() ? "" : "a=fmtp:97 " + c.offeredFmtp + "\r\n"));
        EXPECT_EQ(negotiator.FindFirstSupportedCodec(offered).has_value(), c.matches) << c.offeredFmtp;
    }
    const MediaCodecNegotiator g729(WithCodecs({AudioCodec("G729", 8000, 1, {"annexb=yes"}),
                                                AudioCodec("opus", 48000, 2, {"maxplaybackrate=16000"})}));
    EXPECT_TRUE(g729.FindFirstSupportedCodec(Offered("m=audio 1 RTP/AVP 18\r\na=fmtp:18 annexb=no\r\n")));
    EXPECT_TRUE(g729.FindFirstSupportedCodec(
        Offered("m=audio 1 RTP/AVP 111\r\na=rtpmap:111 opus/48000/2\r\na=fmtp:111 maxplaybackrate=48000\r\n")));
}

TEST(CodecNegotiator, FailuresNameTheSide) {
    const MediaCodecNegotiator negotiator(WithCodecs({AudioCodec("PCMU", 8000)}));
    auto offered = Offered("m=audio 4000 RTP/AVP 8 101\r\na=rtpmap:101 telephone-event/8000\r\n");
    auto answer = Audio();
    FakeSession session;
    EXPECT_THROW(
        {
            try {
                negotiator.NegotiateAnswer(session, 0, offered, answer);
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "offer does not contain a supported codec");
                throw;
            }
        },
        std::invalid_argument);
    auto local = Audio();
    try {
        negotiator.VerifyAnswer(session, 0, local, offered);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "answer does not contain a supported codec");
    }
    // Any configured codec is enough, offered or not.
    EXPECT_NO_THROW(negotiator.VerifyAnswer(session, 0, local, Offered("m=audio 4000 RTP/AVP 0\r\n")));
}

TEST(FormatParameters, SplitTrimsAndKeepsEmptyPieces) {
    using P = sdp::negotiators::FormatParameter;
    EXPECT_THAT(sdp::negotiators::SplitFormatParameters(" a = 1 ;; b "),
                ElementsAre(P{"a", "1"}, P{"", std::nullopt}, P{"b", std::nullopt}));
    EXPECT_TRUE(sdp::negotiators::SplitFormatParameters("").empty());
    EXPECT_EQ(sdp::negotiators::JoinFormatParameters(sdp::negotiators::SplitFormatParameters("x=1;;y")), "x=1;;y");
}

} // namespace
} // namespace zel::sip::test

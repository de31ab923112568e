#include "NegotiatorFixture.h"

#include <gmock/gmock.h>

#include <thread>

namespace zel::sip::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Released = std::pair<std::string, unsigned short>;

class AnswerTest : public NegotiatorFixture {
protected:
    const stack::sdp::Session& Answer(const std::string& peerFile) {
        auto offer = PeerSdp(peerFile);
        return std::as_const(Build().NegotiateAnswer(session_, offer)).Session();
    }
};

TEST_F(AnswerTest, DeskPhoneGetsOneCodecWithItsEventsOnOurEndpoint) {
    const auto& answer = Answer("desk_phone_plain.sdp");
    ASSERT_EQ(answer.Media().size(), 1u);
    std::string text;
    answer.Media()[0].Encode(text);
    EXPECT_EQ(text, "m=audio 40000 RTP/AVP 0 101\r\n"
                    "i=call audio\r\n"
                    "c=IN IP4 192.0.2.10\r\n"
                    "a=rtpmap:0 PCMU/8000\r\n"
                    "a=rtpmap:101 telephone-event/8000\r\n"
                    "a=fmtp:101 0-15\r\n"
                    "a=sendrecv\r\n"
                    "a=rtcp:40001 IN IP4 192.0.2.10\r\n");
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("192.0.2.10"));
    EXPECT_EQ(session_.Remote().Origin().userName, "root");
}

TEST_F(AnswerTest, UnsupportedVideoIsRefusedWithAFormatAndLabelsAreKept) {
    const auto& answer = Answer("softphone_audio_video.sdp");
    ASSERT_EQ(answer.Media().size(), 2u);
    EXPECT_EQ(answer.Media()[0].EncodeMediaLine(), "audio 40000 RTP/AVP 0 101");
    EXPECT_THAT(Values(answer.Media()[0], "label"), ElementsAre("1"));
    EXPECT_EQ(answer.Media()[1].EncodeMediaLine(), "video 0 RTP/AVP 97");
    EXPECT_THAT(AttributeNames(answer.Media()[1]), ElementsAre("label"));
    EXPECT_THAT(Values(answer.Media()[1], "label"), ElementsAre("2"));
    EXPECT_EQ(host_.requests.size(), 1u);
    EXPECT_THAT(host_.surplus, IsEmpty());
}

TEST_F(AnswerTest, OfferWithoutAnySupportedCodecFailsWhole) {
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Answer("ims_amr_only.sdp"); }),
              "offer does not contain a supported codec");
    EXPECT_EQ(session_.GetRemoteSDP(), nullptr);
}

TEST_F(AnswerTest, NoHostSlotFailsAOneMediumAnswer) {
    auto offer = PeerSdp("desk_phone_plain.sdp");
    MediaNegotiator negotiator(random_, localSDPFactory_, config_);
    EXPECT_EQ(ErrorOf<std::runtime_error>([&] { negotiator.NegotiateAnswer(session_, offer); }),
              "unable to get a local media endpoint");
}

TEST_F(AnswerTest, FirstMediumRefusedSecondAccepted) {
    auto offer = ParseSdp("v=0\r\no=- 5 5 IN IP4 192.0.2.5\r\ns=-\r\nc=IN IP4 192.0.2.5\r\nt=0 0\r\n"
                          "m=audio 3000 RTP/AVP 104\r\na=rtpmap:104 AMR-WB/16000\r\n"
                          "m=audio 3002 RTP/AVP 8\r\n");
    const auto& answer = std::as_const(Build().NegotiateAnswer(session_, offer)).Session();
    EXPECT_EQ(answer.Media()[0].EncodeMediaLine(), "audio 0 RTP/AVP 104");
    EXPECT_EQ(answer.Media()[1].EncodeMediaLine(), "audio 40000 RTP/AVP 8");
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("", "192.0.2.10"));
}

TEST_F(AnswerTest, SbcCryptoLinesNarrowToOurPreferredSuite) {
    const auto& answer = Answer("sbc_srtp_lifetimes_mki.sdp");
    const auto& medium = answer.Media().at(0);
    EXPECT_EQ(medium.Protocol(), "RTP/SAVP");
    const char* chosen = "3 AES_CM_128_HMAC_SHA1_80 inline:PS1uQCVeeCFCanVmcjkpPywjNWhcYD0mXXtxaVBR|2^31 UNENCRYPTED_SRTCP";
    EXPECT_THAT(Values(medium, "crypto"), ElementsAre(chosen));
    EXPECT_THAT(Values(RemoteMedium(0), "crypto"), ElementsAre(chosen));
}

TEST_F(AnswerTest, SbcLinesWithMkiAreAcceptedWhenOnlyThatSuiteIsOurs) {
    config_.Cryptos = {Profile("AES_CM_128_HMAC_SHA1_32")};
    config_.UseSRTP = UseSRTP::Mandatory;
    const auto& answer = Answer("sbc_srtp_lifetimes_mki.sdp");
    EXPECT_THAT(Values(answer.Media().at(0), "crypto"),
                ElementsAre("2 AES_CM_128_HMAC_SHA1_32 inline:NzB4d1BINUAvLEw6UzF3WSJ+PSdFcGdUJShpX1Zj|2^20|1:4;"
                            "inline:QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk|2^20|2:4"));
}

TEST_F(AnswerTest, RtcpMuxOnlyGatewayByPolicy) {
    struct Case {
        RTCPMultiplexingPolicy policy;
        const char* error;
    };
    for (const auto& c : {Case{RTCPMultiplexingPolicy::Supported, ""}, Case{RTCPMultiplexingPolicy::Required, ""},
                          Case{RTCPMultiplexingPolicy::None,
                               "RTCP multiplexing is disabled but the offer requires RTCP multiplexing"}}) {
        config_.RTCPMultiplexing = c.policy;
        host_ = FakeHost{};
        FakeSession session;
        auto offer = PeerSdp("gateway_rtcp_mux_only.sdp");
        auto& negotiator = Build();
        EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { negotiator.NegotiateAnswer(session, offer); }), c.error);
        if (*c.error == '\0') {
            const auto& medium = session.Local().Media().at(0);
            EXPECT_EQ(medium.EncodeMediaLine(), "audio 40000 RTP/SAVP 0 126");
            EXPECT_THAT(AttributeNames(medium), ElementsAre("rtpmap", "rtpmap", "fmtp", "sendrecv", "rtcp-mux",
                                                            "crypto", "rtcp"));
        }
    }
}

TEST_F(AnswerTest, SavpOfferWithUnknownSuiteFallsBackOnlyForPeersThatAllowIt) {
    config_.UseSRTP = UseSRTP::Fallback;
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Answer("ccm_savp_unsupported_suite.sdp"); }),
              "offer mandates SRTP but contains no supported crypto profile - peer must support "
              "x-cisco-srtp-fallback to fallback to RTP from SRTP");
    EXPECT_TRUE(host_.requests.empty());
    FakeSession permissive;
    permissive.peerOptionTags.insert("x-cisco-srtp-fallback");
    auto offer = PeerSdp("ccm_savp_unsupported_suite.sdp");
    const auto& answer = std::as_const(negotiator_->NegotiateAnswer(permissive, offer)).Session();
    EXPECT_EQ(answer.Media().at(0).EncodeMediaLine(), "audio 40000 RTP/AVP 0 101");
    EXPECT_EQ(permissive.Remote().Media().at(0).Protocol(), "RTP/AVP");
    EXPECT_FALSE(permissive.Remote().Media().at(0).Attributes().Exists("crypto"));
}

TEST_F(AnswerTest, HeldOfferIsAnsweredOnTheUnspecifiedAddressWithoutRtcp) {
    const auto& answer = Answer("pbx_hold_zero_address.sdp");
    const auto& medium = answer.Media().at(0);
    EXPECT_EQ(medium.Port(), 40000);
    EXPECT_EQ(medium.Connections().at(0).Encode(), "IN IP4 0.0.0.0");
    EXPECT_FALSE(medium.Attributes().Exists("rtcp"));
    EXPECT_TRUE(medium.Attributes().Exists("recvonly"));
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("192.0.2.10"));
}

TEST_F(AnswerTest, IPv6OfferGetsAnIPv6Endpoint) {
    host_.address = "2001:db8::10";
    const auto& answer = Answer("ipv6_recvonly_mux.sdp");
    EXPECT_THAT(host_.requests, ElementsAre(AddressType::IPv6));
    EXPECT_EQ(answer.Origin().addrType, stack::sdp::AddrType::IP6);
    const auto& medium = answer.Media().at(0);
    EXPECT_EQ(medium.Connections().at(0).Encode(), "IN IP6 2001:db8::10");
    EXPECT_THAT(AttributeNames(medium), ElementsAre("rtpmap", "rtpmap", "fmtp", "sendonly", "rtcp-mux", "rtcp"));
    EXPECT_THAT(Values(medium, "rtcp"), ElementsAre("40001 IN IP6 2001:db8::10"));
}

TEST_F(AnswerTest, PlainAndSecuredAudioUnderMultipleMediaDescriptors) {
    config_.UseSRTP = UseSRTP::MultipleMediaDescriptor;
    const auto& answer = Answer("best_effort_two_audio_media.sdp");
    EXPECT_EQ(answer.Media().at(0).EncodeMediaLine(), "audio 40000 RTP/AVP 0 101");
    EXPECT_FALSE(answer.Media().at(0).Attributes().Exists("crypto"));
    EXPECT_EQ(answer.Media().at(1).EncodeMediaLine(), "audio 40002 RTP/SAVP 0 101");
    EXPECT_EQ(Values(answer.Media().at(1), "crypto").size(), 1u);
}

TEST_F(AnswerTest, OfferWithoutConnectionDataRefusesThatMedium) {
    auto offer = ParseSdp("v=0\r\no=- 5 5 IN IP4 192.0.2.5\r\ns=-\r\nt=0 0\r\n"
                          "m=audio 3000 RTP/AVP 0\r\n");
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Build().NegotiateAnswer(session_, offer); }),
              "remote medium has no connection data");
}

class RenegotiationTest : public AnswerTest {
protected:
    static std::string Offer(unsigned version, const std::string& media) {
        return "v=0\r\no=peer 77 " + std::to_string(version) +
               " IN IP4 203.0.113.9\r\ns=-\r\nc=IN IP4 203.0.113.9\r\nt=0 0\r\n" + media;
    }
    const stack::sdp::Session& Negotiate(const std::string& text) {
        auto offer = ParseSdp(text);
        return std::as_const(negotiator_->NegotiateAnswer(session_, offer)).Session();
    }
};

TEST_F(RenegotiationTest, MediaAddedHeldDisabledAndNeverDecreased) {
    Build();
    const auto version = Negotiate(Offer(1, "m=audio 5000 RTP/AVP 0\r\na=sendrecv\r\n")).Origin().sessionVersion;
    EXPECT_EQ(version, 1002u); // the first answer keeps the random version

    // More media: the new one gets its own endpoint; the first keeps its own.
    const auto& more = Negotiate(Offer(2, "m=audio 5000 RTP/AVP 0\r\na=sendrecv\r\nm=audio 5002 RTP/AVP 8\r\n"));
    EXPECT_EQ(more.Origin().sessionVersion, version + 1);
    EXPECT_EQ(more.Media()[0].Port(), 40000);
    EXPECT_EQ(more.Media()[1].Port(), 40002);
    EXPECT_EQ(host_.requests.size(), 2u);

    // Hold with the RFC 2543 address, then resume: same endpoint, no new request.
    const auto& held = Negotiate(
        Offer(3, "m=audio 5000 RTP/AVP 0\r\nc=IN IP4 0.0.0.0\r\na=sendonly\r\nm=audio 5002 RTP/AVP 8\r\n"));
    EXPECT_EQ(held.Media()[0].Connections().at(0).address, "0.0.0.0");
    EXPECT_FALSE(held.Media()[0].Attributes().Exists("rtcp"));
    EXPECT_THAT(AttributeNames(held.Media()[0]), ElementsAre("rtpmap", "recvonly"));
    const auto& resumed = Negotiate(Offer(4, "m=audio 5000 RTP/AVP 0\r\na=sendrecv\r\nm=audio 5002 RTP/AVP 8\r\n"));
    EXPECT_EQ(resumed.Media()[0].Connections().at(0).address, "192.0.2.10");
    EXPECT_THAT(Values(resumed.Media()[0], "rtcp"), ElementsAre("40001 IN IP4 192.0.2.10"));
    EXPECT_THAT(AttributeNames(resumed.Media()[0]), ElementsAre("rtpmap", "sendrecv", "rtcp"));
    EXPECT_EQ(host_.requests.size(), 2u);

    // Fewer media is refused.
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Negotiate(Offer(5, "m=audio 5000 RTP/AVP 0\r\n")); }),
              "media description count cannot be decreased");

    // The first medium disabled: its endpoint is released and the line keeps the offer's format.
    const auto& disabled = Negotiate(Offer(6, "m=audio 0 RTP/AVP 0 8\r\nm=audio 5002 RTP/AVP 8\r\n"));
    EXPECT_THAT(host_.surplus, ElementsAre(Released("192.0.2.10", 40000)));
    EXPECT_EQ(disabled.Media()[0].EncodeMediaLine(), "audio 0 RTP/AVP 0");
    EXPECT_TRUE(disabled.Media()[0].Attributes().Empty());
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("", "192.0.2.10"));

    // Re-enabling it asks the host again.
    const auto& again = Negotiate(Offer(7, "m=audio 5004 RTP/AVP 0\r\nm=audio 5002 RTP/AVP 8\r\n"));
    EXPECT_EQ(again.Media()[0].Port(), 40004);
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("192.0.2.10", "192.0.2.10"));
}

TEST_F(RenegotiationTest, ActiveMediumThatNoLongerNegotiatesReleasesItsEndpoint) {
    Build();
    Negotiate(Offer(1, "m=audio 5000 RTP/AVP 0\r\nm=audio 5002 RTP/AVP 8\r\n"));
    const auto& answer = Negotiate(Offer(2, "m=audio 5000 RTP/AVP 18\r\nm=audio 5002 RTP/AVP 8\r\n"));
    EXPECT_EQ(answer.Media()[0].EncodeMediaLine(), "audio 0 RTP/AVP 18");
    EXPECT_THAT(host_.surplus, ElementsAre(Released("192.0.2.10", 40000)));
    EXPECT_THAT(session_.LocalConnectionAddresses(), ElementsAre("", "192.0.2.10"));
}

} // namespace
} // namespace zel::sip::test

namespace zel::sip::test {
namespace {

TEST(ConcurrentNegotiation, OneNegotiatorServesSessionsOnManyThreads) {
    CountingRandom random;
    FixedHostName hostName;
    const LocalSDPFactory factory(hostName, random);
    MediaNegotiator owned(random, factory, TypicalConfig());
    const MediaNegotiator& negotiator = owned; // threads share only const access
    std::atomic<unsigned> nextPort{10000};
    owned.LocalMediaEndpointRequired.connect(
        [&](unsigned long, AddressType, char* address, unsigned long, unsigned short& port, char*, unsigned long) {
            std::strcpy(address, "192.0.2.10");
            port = static_cast<unsigned short>(nextPort.fetch_add(2));
        });
    const auto offerText = ReadPeerFile("sbc_srtp_lifetimes_mki.sdp");
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                FakeSession session;
                auto offer = ParseSdp(offerText);
                const auto& answer = std::as_const(negotiator.NegotiateAnswer(session, offer)).Session();
                if (answer.Media().at(0).Port() != 0 && negotiator.MakeOffer(stack::sdp::AddrType::IP4) != nullptr) {
                    ++answered;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answered.load(), 100);
}

} // namespace
} // namespace zel::sip::test

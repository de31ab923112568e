#include "SdpTestSupport.h"

#include "sdp/negotiators/MediaModeNegotiator.h"
#include "sdp/negotiators/MediaRTCPMultiplexingNegotiator.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

using sdp::negotiators::MediaModeNegotiator;
using sdp::negotiators::MediaRTCPMultiplexingNegotiator;
using stack::sdp::Medium;
using ::testing::ElementsAre;

Medium WithFlags(std::vector<const char*> flags) {
    Medium medium("audio", 4000, 1, "RTP/AVP");
    for (const auto* flag : flags) {
        medium.Attributes().Add(flag);
    }
    return medium;
}

TEST(ModeNegotiator, OfferCarriesTheConfiguredModeOnce) {
    Config config;
    config.DefaultMediaMode = "sendrecv";
    const MediaModeNegotiator negotiator(config);
    auto medium = WithFlags({"sendonly", "inactive", "ptime"});
    negotiator.MakeOffer(nullptr, 0, medium);
    negotiator.MakeOffer(nullptr, 0, medium);
    EXPECT_THAT(AttributeNames(medium), ElementsAre("ptime", "sendrecv"));
}

TEST(ModeNegotiator, AnswerMirrorsTheOfferedDirection) {
    const MediaModeNegotiator negotiator(Config{}); // default mode recvonly
    const std::vector<std::pair<std::vector<const char*>, const char*>> cases = {
        {{"sendonly"}, "recvonly"}, {{"recvonly"}, "sendonly"},           {{"sendrecv"}, "sendrecv"},
        {{"inactive"}, "inactive"}, {{"sendrecv", "inactive"}, "inactive"}, {{}, "recvonly"},
    };
    FakeSession session;
    for (const auto& [offeredFlags, expected] : cases) {
        auto offered = WithFlags(offeredFlags);
        auto answer = WithFlags({"sendonly"}); // left over from an earlier exchange
        negotiator.NegotiateAnswer(session, 0, offered, answer);
        EXPECT_THAT(AttributeNames(answer), ElementsAre(expected));
    }
}

struct MuxCase {
    RTCPMultiplexingPolicy policy;
    std::vector<const char*> remote;
    std::vector<std::string> answered; // attributes of our answer
    const char* answerError;           // NegotiateAnswer failure, or null
    const char* verifyError;           // VerifyAnswer failure on the same remote medium, or null
};

TEST(RTCPMultiplexingNegotiator, PolicyTable) {
    using P = RTCPMultiplexingPolicy;
    const char* offerRequired = "RTCP multiplexing is required but the offer does not support RTCP multiplexing";
    const char* answerRequired = "RTCP multiplexing is required but the answer does not support RTCP multiplexing";
    const char* offerDisabled = "RTCP multiplexing is disabled but the offer requires RTCP multiplexing";
    const char* answerDisabled = "RTCP multiplexing is disabled but the answer requires RTCP multiplexing";
    const std::vector<MuxCase> cases = {
        {P::Supported, {"rtcp-mux", "rtcp-mux-only"}, {"rtcp-mux"}, nullptr, nullptr},
        {P::Supported, {}, {}, nullptr, nullptr},
        {P::Required, {"rtcp-mux"}, {"rtcp-mux"}, nullptr, nullptr},
        {P::Required, {"rtcp-mux-only"}, {}, offerRequired, answerRequired},
        {P::None, {"rtcp-mux"}, {}, nullptr, nullptr},
        {P::None, {"rtcp-mux", "rtcp-mux-only"}, {}, offerDisabled, answerDisabled},
    };
    FakeSession session;
    for (const auto& c : cases) {
        Config config;
        config.RTCPMultiplexing = c.policy;
        const MediaRTCPMultiplexingNegotiator negotiator(config);
        auto remote = WithFlags(c.remote);
        auto answer = WithFlags({"rtcp-mux-only"});
        try {
            negotiator.NegotiateAnswer(session, 0, remote, answer);
            EXPECT_EQ(c.answerError, nullptr);
            EXPECT_EQ(AttributeNames(answer), c.answered);
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.answerError);
        }
        auto local = WithFlags({});
        try {
            negotiator.VerifyAnswer(session, 0, local, remote);
            EXPECT_EQ(c.verifyError, nullptr);
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.verifyError);
        }
    }
}

TEST(RTCPMultiplexingNegotiator, OffersByPolicy) {
    const std::vector<std::pair<RTCPMultiplexingPolicy, std::vector<std::string>>> cases = {
        {RTCPMultiplexingPolicy::None, {}},
        {RTCPMultiplexingPolicy::Supported, {"rtcp-mux"}},
        {RTCPMultiplexingPolicy::Required, {"rtcp-mux", "rtcp-mux-only"}},
    };
    for (const auto& [policy, expected] : cases) {
        Config config;
        config.RTCPMultiplexing = policy;
        const MediaRTCPMultiplexingNegotiator negotiator(config);
        auto medium = WithFlags({"rtcp-mux-only", "rtcp-mux"});
        negotiator.MakeOffer(nullptr, 0, medium);
        negotiator.MakeOffer(nullptr, 0, medium);
        EXPECT_EQ(AttributeNames(medium), expected);
    }
}

} // namespace
} // namespace zel::sip::test

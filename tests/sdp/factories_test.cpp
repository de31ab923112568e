#include "SdpTestSupport.h"

#include "sdp/LocalSDPFactory.h"
#include "sdp/MediumFactory.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

using stack::sdp::AddrType;

TEST(LocalSDPFactory, SkeletonHasFreshIdAndVersionAndNothingElse) {
    CountingRandom random;
    FixedHostName host;
    const LocalSDPFactory factory(host, random);
    const auto first = factory.CreateLocalSDP(AddrType::IP4);
    const auto second = factory.CreateLocalSDP(AddrType::IP6);
    EXPECT_EQ(first->Encode(), "v=0\r\no=Zelmor 1001 1002 IN IP4 ua.example.test\r\ns=Recording\r\nt=0 0\r\n");
    EXPECT_EQ(second->Encode(), "v=0\r\no=Zelmor 1003 1004 IN IP6 ua.example.test\r\ns=Recording\r\nt=0 0\r\n");
    EXPECT_EQ(first->Mime().Type(), "application");
}

TEST(MediumFactory, MediaOfANewOfferByPolicy) {
    struct Case {
        UseSRTP policy;
        std::vector<std::pair<std::string, std::size_t>> media; // protocol, crypto lines
    };
    const std::vector<Case> cases = {
        {UseSRTP::None, {{"RTP/AVP", 0}}},
        {UseSRTP::BestEffort, {{"RTP/AVP", 2}}},
        {UseSRTP::Mandatory, {{"RTP/SAVP", 2}}},
        {UseSRTP::Fallback, {{"RTP/SAVP", 2}}},
        {UseSRTP::MultipleMediaDescriptor, {{"RTP/AVP", 0}, {"RTP/SAVP", 2}}},
    };
    CountingRandom random;
    for (const auto& c : cases) {
        auto config = TypicalConfig();
        config.UseSRTP = c.policy;
        const sdp::MediumFactory factory(random, config);
        const auto media = factory.GetMediums(nullptr);
        ASSERT_EQ(media.size(), c.media.size());
        for (std::size_t i = 0; i < media.size(); ++i) {
            EXPECT_EQ(media[i].MediaType(), "audio");
            EXPECT_EQ(media[i].Port(), 0);
            EXPECT_TRUE(media[i].Codecs().empty());
            EXPECT_EQ(media[i].Protocol(), c.media[i].first);
            const auto cryptos = Values(media[i], "crypto");
            ASSERT_EQ(cryptos.size(), c.media[i].second);
            if (!cryptos.empty()) {
                EXPECT_EQ(cryptos[1].substr(0, 2), "2 ");
            }
        }
    }
}

TEST(MediumFactory, SecuredMediumNeedsProfiles) {
    CountingRandom random;
    Config config;
    config.UseSRTP = UseSRTP::MultipleMediaDescriptor;
    const sdp::MediumFactory factory(random, config);
    EXPECT_THROW(factory.GetMediums(nullptr), std::invalid_argument);
}

} // namespace
} // namespace zel::sip::test

#include "sdp/NegotiatorFixture.h"

#include "dum/ContentsFactory.h"
#include "stack/body/GenericBody.h"
#include "stack/body/MultipartBody.h"

#include <gmock/gmock.h>

namespace zel::sip::test {
namespace {

class ContentsFactoryTest : public NegotiatorFixture {
protected:
    ContentsFactory Factory() { return ContentsFactory(Build()); }
};

::Contents Record(const char* type, const char* data) {
    ::Contents record{};
    record.ContentType = type;
    record.Data = data;
    return record;
}

TEST_F(ContentsFactoryTest, OneRecordIsOneBodyWithOnlyTheGivenHeaders) {
    auto record = Record("application/json", "{\"a\":1}");
    record.ContentDisposition = "render;handling=optional";
    record.ContentLanguage = "";
    const auto body = Factory().CreateContents(&record, 1);
    ASSERT_NE(body, nullptr);
    const auto* generic = dynamic_cast<const stack::GenericBody*>(body.get());
    ASSERT_NE(generic, nullptr);
    EXPECT_EQ(generic->Content(), "{\"a\":1}");
    EXPECT_EQ(body->ContentType().Encode(), "application/json");
    EXPECT_EQ(body->Headers().disposition, "render;handling=optional");
    EXPECT_THAT(body->Headers().languages, ::testing::ElementsAre(""));
    EXPECT_FALSE(body->Headers().id.has_value());
    EXPECT_FALSE(body->Headers().transferEncoding.has_value());
}

TEST_F(ContentsFactoryTest, SeveralRecordsMakeAMultipartInOrder) {
    const ::Contents records[] = {Record("text/plain", "one"), Record("application/xml", "<two/>")};
    const auto factory = Factory();
    const auto body = factory.CreateContents(records, 2);
    const auto* multipart = dynamic_cast<const stack::MultipartBody*>(body.get());
    ASSERT_NE(multipart, nullptr);
    ASSERT_EQ(multipart->Parts().size(), 2u);
    EXPECT_EQ(multipart->Parts()[1]->Encode(), "<two/>");
    EXPECT_EQ(factory.CreateContents(nullptr, 3), nullptr);
    EXPECT_EQ(factory.CreateContents(records, 0), nullptr);
    const auto empty = Record("text/plain", "");
    EXPECT_EQ(factory.CreateContents(&empty, 1), nullptr);
    const ::Contents withEmpty[] = {records[0], empty};
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { factory.CreateContents(withEmpty, 2); }),
              "contents record 1 has no content type or no data");
    const auto badType = Record("json", "{}");
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { factory.CreateContents(&badType, 1); }), "Invalid MIME type 'json'");
}

TEST_F(ContentsFactoryTest, OfferComesFirstAndAloneWithoutRecords) {
    const auto factory = Factory();
    const auto alone = factory.CreateOffer(AddressType::IPv4, nullptr, 0);
    EXPECT_NE(dynamic_cast<const stack::SdpBody*>(alone.get()), nullptr);
    const auto record = Record("application/xml", "<x/>");
    const auto mixed = factory.CreateOffer(AddressType::IPv6, &record, 1);
    const auto* multipart = dynamic_cast<const stack::MultipartBody*>(mixed.get());
    ASSERT_NE(multipart, nullptr);
    ASSERT_EQ(multipart->Parts().size(), 2u);
    const auto* sdp = dynamic_cast<const stack::SdpBody*>(multipart->Parts()[0].get());
    ASSERT_NE(sdp, nullptr);
    EXPECT_EQ(sdp->Session().Origin().addrType, stack::sdp::AddrType::IP6);
    EXPECT_EQ(host_.requests.size(), 2u);
    EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { factory.CreateOffer(static_cast<AddressType>(2), nullptr, 0); }),
              "unexpected address type: 2");
    EXPECT_EQ(host_.requests.size(), 2u);
}

} // namespace
} // namespace zel::sip::test

#include "stack/dns/DnsError.h"
#include "stack/dns/detail/AnswerParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zel::sip::stack::detail {
namespace {

/// Builds DNS messages byte by byte (RFC 1035 section 4.1).
class MessageBuilder {
public:
    MessageBuilder(int rcode, std::uint16_t answers, std::uint16_t authorities) {
        Put16(0x1234);
        Put16(static_cast<std::uint16_t>(0x8180 | rcode));
        Put16(1);
        Put16(answers);
        Put16(authorities);
        Put16(0);
    }
    MessageBuilder& Question(const std::string& name, std::uint16_t type) {
        PutName(name);
        Put16(type);
        Put16(1);
        return *this;
    }
    /// A record owned by the question's name (compression pointer to offset 12).
    MessageBuilder& Record(std::uint16_t type, std::uint32_t ttl, const std::vector<std::uint8_t>& rdata) {
        bytes.push_back(0xC0);
        bytes.push_back(0x0C);
        Put16(type);
        Put16(1);
        Put16(static_cast<std::uint16_t>(ttl >> 16));
        Put16(static_cast<std::uint16_t>(ttl & 0xFFFF));
        Put16(static_cast<std::uint16_t>(rdata.size()));
        bytes.insert(bytes.end(), rdata.begin(), rdata.end());
        return *this;
    }
    static std::vector<std::uint8_t> Srv(std::uint16_t priority, std::uint16_t weight, std::uint16_t port,
                                         const std::string& target) {
        MessageBuilder data;
        data.Put16(priority);
        data.Put16(weight);
        data.Put16(port);
        data.PutName(target);
        return data.bytes;
    }
    static std::vector<std::uint8_t> Soa(std::uint32_t minimum) {
        MessageBuilder data;
        data.PutName("ns.test");
        data.PutName("admin.test");
        for (int i = 0; i < 4; ++i) {
            data.Put16(0);
            data.Put16(60);
        }
        data.Put16(static_cast<std::uint16_t>(minimum >> 16));
        data.Put16(static_cast<std::uint16_t>(minimum & 0xFFFF));
        return data.bytes;
    }

    std::vector<std::uint8_t> bytes;

private:
    MessageBuilder() = default;
    void Put16(std::uint16_t value) {
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }
    void PutName(const std::string& name) {
        std::size_t start = 0;
        while (start < name.size()) {
            const auto dot = name.find('.', start);
            const auto end = dot == std::string::npos ? name.size() : dot;
            bytes.push_back(static_cast<std::uint8_t>(end - start));
            bytes.insert(bytes.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                         name.begin() + static_cast<std::ptrdiff_t>(end));
            start = end + 1;
        }
        bytes.push_back(0);
    }
};

TEST(AnswerParser, SrvRecordsWithTheirSmallestTtl) {
    const auto message = MessageBuilder(0, 2, 0)
                             .Question("_sip._udp.example.test", 33)
                             .Record(33, 300, MessageBuilder::Srv(10, 20, 5060, "a.example.test"))
                             .Record(33, 60, MessageBuilder::Srv(20, 0, 5070, "b.example.test"))
                             .bytes;
    const auto parsed = ParseAnswer(RecordType::SRV, message.data(), message.size());
    ASSERT_FALSE(parsed.records.error) << parsed.records.error.message();
    ASSERT_EQ(parsed.records.srv.size(), 2u);
    EXPECT_EQ(parsed.records.srv[0], (SrvRecord{10, 20, 5060, "a.example.test"}));
    EXPECT_EQ(parsed.records.srv[1], (SrvRecord{20, 0, 5070, "b.example.test"}));
    EXPECT_EQ(parsed.ttl, std::chrono::seconds(60));
}

TEST(AnswerParser, AddressesAndTtlRules) {
    const auto message = MessageBuilder(0, 2, 0)
                             .Question("a.test", 1)
                             .Record(1, 0x80000000U, {192, 0, 2, 1}) // top bit set: counts as 0 (RFC 2181)
                             .Record(1, 100, {192, 0, 2, 2})
                             .bytes;
    const auto parsed = ParseAnswer(RecordType::A, message.data(), message.size());
    ASSERT_FALSE(parsed.records.error);
    ASSERT_EQ(parsed.records.addresses.size(), 2u);
    EXPECT_EQ(parsed.records.addresses[1].to_string(), "192.0.2.2");
    EXPECT_EQ(parsed.ttl, std::chrono::seconds(0));

    // An answer with records of another type only.
    const auto other = ParseAnswer(RecordType::AAAA, message.data(), message.size());
    EXPECT_EQ(other.records.error, make_error_code(DnsError::NoRecords));
}

TEST(AnswerParser, NegativeTtlFromSoa) {
    const auto message = MessageBuilder(3, 0, 1).Question("missing.test", 1).Record(6, 900, MessageBuilder::Soa(120)).bytes;
    EXPECT_EQ(NegativeTtl(message.data(), message.size()), 120u);
    const auto shortTtl = MessageBuilder(3, 0, 1).Question("missing.test", 1).Record(6, 30, MessageBuilder::Soa(120)).bytes;
    EXPECT_EQ(NegativeTtl(shortTtl.data(), shortTtl.size()), 30u);
    const auto noSoa = MessageBuilder(3, 0, 0).Question("missing.test", 1).bytes;
    EXPECT_EQ(NegativeTtl(noSoa.data(), noSoa.size()), std::nullopt);
}

TEST(AnswerParser, CutShortOrCorruptMessagesAreErrorsNotCrashes) {
    const auto message = MessageBuilder(0, 1, 1)
                             .Question("_sip._udp.example.test", 33)
                             .Record(33, 300, MessageBuilder::Srv(10, 20, 5060, "a.example.test"))
                             .Record(6, 300, MessageBuilder::Soa(5))
                             .bytes;
    for (std::size_t size = 0; size < message.size(); ++size) {
        SCOPED_TRACE(size);
        const std::vector<std::uint8_t> cut(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(size));
        for (const RecordType type : {RecordType::SRV, RecordType::NAPTR, RecordType::A, RecordType::AAAA}) {
            const auto parsed = ParseAnswer(type, cut.data(), cut.size());
            EXPECT_TRUE(parsed.records.error || type == RecordType::SRV);
        }
        (void)AnswerTtl(cut.data(), cut.size(), 33);
        (void)NegativeTtl(cut.data(), cut.size());
    }
    // A compression pointer loop and a label running past the end.
    auto looping = MessageBuilder(0, 1, 0).bytes;
    looping.insert(looping.end(), {0xC0, 0x0C, 0x00, 0x21, 0x00, 0x01});
    EXPECT_EQ(AnswerTtl(looping.data(), looping.size(), 33), std::nullopt);
    EXPECT_TRUE(ParseAnswer(RecordType::SRV, looping.data(), looping.size()).records.error);
    auto overrun = MessageBuilder(0, 1, 0).bytes;
    overrun.insert(overrun.end(), {60, 'a', 'b'});
    EXPECT_EQ(AnswerTtl(overrun.data(), overrun.size(), 33), std::nullopt);
}

TEST(AnswerParser, KeepPreferredCutsToTheBestRecords) {
    RecordSet srv;
    srv.srv = {{30, 1, 1, "c"}, {10, 1, 2, "a1"}, {20, 1, 3, "b"}, {10, 5, 4, "a2"}, {30, 1, 5, "d"}};
    EXPECT_EQ(KeepPreferred(srv, 3), 2u);
    EXPECT_EQ(srv.srv, (std::vector<SrvRecord>{{10, 1, 2, "a1"}, {10, 5, 4, "a2"}, {20, 1, 3, "b"}}));

    RecordSet naptr;
    naptr.naptr = {{20, 5, "s", "SIP+D2U", "", "x"}, {10, 9, "s", "SIP+D2T", "", "y"}, {10, 1, "s", "SIP+D2U", "", "z"}};
    EXPECT_EQ(KeepPreferred(naptr, 2), 1u);
    ASSERT_EQ(naptr.naptr.size(), 2u);
    EXPECT_EQ(naptr.naptr[0].replacement, "z");
    EXPECT_EQ(naptr.naptr[1].replacement, "y");

    RecordSet addresses;
    for (int i = 1; i <= 5; ++i)
        addresses.addresses.push_back(boost::asio::ip::make_address("192.0.2." + std::to_string(i)));
    EXPECT_EQ(KeepPreferred(addresses, 2), 3u);
    EXPECT_EQ(addresses.addresses, (std::vector<boost::asio::ip::address>{boost::asio::ip::make_address("192.0.2.1"),
                                                                          boost::asio::ip::make_address("192.0.2.2")}));

    // Within the bound nothing moves.
    RecordSet small = srv;
    EXPECT_EQ(KeepPreferred(small, 3), 0u);
    EXPECT_EQ(small.srv, srv.srv);
}

} // namespace
} // namespace zel::sip::stack::detail

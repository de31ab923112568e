#include "stack/transport/Stun.h"

#include <gtest/gtest.h>

namespace zel::sip::stack::stun {
namespace {

using boost::asio::ip::make_address;

const TransactionId kId{0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

std::string Hex(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == ' ') {
            --i;
            continue;
        }
        bytes += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

// RFC 5769 section 2.2: the IPv4 Binding response test vector (SOFTWARE, XOR-MAPPED-ADDRESS,
// MESSAGE-INTEGRITY, FINGERPRINT); MESSAGE-INTEGRITY is comprehension-required and unknown to us.
const std::string kRfc5769Response = Hex(
    "0101003c2112a442b7e7a701bc34d686fa87dfae"
    "8022000b7465737420766563746f7220"
    "002000080001a147e112a643"
    "000800142b91f599fd9e90c38c7489f92af9ba53f06be7d7"
    "80280004c07d4c96");

TEST(Stun, ParsesTheRfc5769ResponseVector) {
    const auto result = Parse(kRfc5769Response);
    ASSERT_TRUE(result.message) << result.error;
    EXPECT_EQ(result.message->messageClass, MessageClass::SuccessResponse);
    EXPECT_EQ(result.message->method, kBindingMethod);
    EXPECT_EQ(result.message->transactionId, kId);
    ASSERT_TRUE(result.message->mappedAddress);
    EXPECT_EQ(*result.message->mappedAddress, (TransportAddress{make_address("192.0.2.1"), 32853}));
    EXPECT_TRUE(result.message->hasFingerprint);
    EXPECT_EQ(result.message->unknownRequired, std::vector<std::uint16_t>{0x0008});
}

TEST(Stun, BuiltMessagesParseBack) {
    for (const char* address : {"203.0.113.7", "2001:db8::1234:5678"}) {
        const TransportAddress mapped{make_address(address), 61000};
        const auto success = Parse(MakeBindingSuccess(kId, mapped));
        ASSERT_TRUE(success.message) << success.error;
        EXPECT_EQ(success.message->messageClass, MessageClass::SuccessResponse);
        EXPECT_EQ(success.message->mappedAddress, mapped) << address;
        EXPECT_TRUE(success.message->hasFingerprint);
    }
    for (bool fingerprint : {false, true}) {
        const std::string request = MakeBindingRequest(kId, fingerprint);
        EXPECT_EQ(request.size(), fingerprint ? 28u : 20u);
        EXPECT_EQ(request[0], 0);
        EXPECT_EQ(request[1], 1);
        const auto parsed = Parse(request);
        ASSERT_TRUE(parsed.message) << parsed.error;
        EXPECT_EQ(parsed.message->messageClass, MessageClass::Request);
        EXPECT_EQ(parsed.message->transactionId, kId);
        EXPECT_EQ(parsed.message->hasFingerprint, fingerprint);
    }
    const auto error = Parse(MakeBindingError(kId, 420, "Unknown Attribute", {0x0008, 0x0123}));
    ASSERT_TRUE(error.message) << error.error;
    EXPECT_EQ(error.message->messageClass, MessageClass::ErrorResponse);
    EXPECT_EQ(error.message->errorCode, 420);
    EXPECT_NE(RandomTransactionId(), RandomTransactionId());
    // Only requests are answered (UdpTransportStun covers the answers themselves).
    const TransportAddress source{make_address("192.0.2.1"), 1};
    EXPECT_TRUE(AnswerBindingRequest(*Parse(MakeBindingSuccess(kId, source)).message, source).empty());
}

TEST(Stun, RefusesMalformedMessages) {
    const std::string request = MakeBindingRequest(kId, false);
    const std::string success = MakeBindingSuccess(kId, {make_address("192.0.2.1"), 1});
    auto withLength = [](std::string bytes, std::uint16_t length) {
        bytes[2] = static_cast<char>(length >> 8);
        bytes[3] = static_cast<char>(length & 0xFF);
        return bytes;
    };
    auto flip = [](std::string bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        return bytes;
    };
    // XOR-MAPPED-ADDRESS claiming IPv6 with an IPv4-sized value.
    std::string wrongFamily = success;
    wrongFamily[20 + 4 + 1] = 0x02;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"short header", request.substr(0, 19)},
        {"first bits set (SIP text)", "INVITE sip:a@b SIP/2.0\r\n\r\n"},
        {"wrong magic cookie", flip(request, 4)},
        {"length not a multiple of 4", withLength(request + "\0\0", 2)},
        {"length beyond the datagram", withLength(request, 4)},
        {"attribute longer than the message", withLength(request + Hex("00200010") + std::string(4, '\0'), 8)},
        {"bad fingerprint", flip(MakeBindingRequest(kId, true), 27)},
        {"attribute after fingerprint (which no longer matches)", withLength(MakeBindingRequest(kId, true) + Hex("80220000"), 12)},
        {"address family and size disagree", wrongFamily},
        {"error code out of range", withLength(request + Hex("0009000400000763"), 8)},
    };
    for (const auto& c : cases) {
        const auto result = Parse(c.bytes);
        EXPECT_FALSE(result.message) << c.name;
        EXPECT_FALSE(result.error.empty()) << c.name;
    }
    EXPECT_TRUE(LooksLikeStun(request));
    EXPECT_FALSE(LooksLikeStun("\r\n\r\n"));
}

} // namespace
} // namespace zel::sip::stack::stun

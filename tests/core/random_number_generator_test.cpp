#include "core/RandomNumberGenerator.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace {

using zel::sip::RandomNumberGenerator;

TEST(RandomNumberGenerator, EncodesBase64OnOneLineWithPadding) {
    const RandomNumberGenerator generator;
    struct Case {
        std::size_t count;
        std::size_t length;
        std::size_t padding;
    };
    for (const auto& c : {Case{0, 0, 0}, Case{1, 4, 2}, Case{2, 4, 1}, Case{3, 4, 0}, Case{30, 40, 0},
                          Case{47, 64, 1}, Case{1000, 1336, 2}}) {
        SCOPED_TRACE(c.count);
        const auto text = generator.GenerateRandomDataAsBase64(c.count);
        ASSERT_EQ(text.size(), c.length);
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(text.find('='), c.padding == 0 ? std::string::npos : text.size() - c.padding);
        // Decodes back to the requested number of bytes (EVP_DecodeBlock keeps the padding bytes).
        std::vector<unsigned char> decoded(text.size());
        const int length = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                           static_cast<int>(text.size()));
        EXPECT_EQ(static_cast<std::size_t>(length), c.length / 4 * 3);
    }
}

TEST(RandomNumberGenerator, DrawsDifferentValues) {
    const RandomNumberGenerator generator;
    EXPECT_NE(generator.GenerateRandomUInt64(), generator.GenerateRandomUInt64());
    EXPECT_NE(generator.GenerateRandomDataAsBase64(16), generator.GenerateRandomDataAsBase64(16));
}

// Every byte of a value is random: over 64 draws, each byte is non-zero at least once (a value that
// filled only part of its bytes fails with certainty; a correct one with odds of 2^-512 per byte).
TEST(RandomNumberGenerator, FillsEveryByteOfTheValue) {
    const RandomNumberGenerator generator;
    std::uint16_t any16 = 0;
    std::uint32_t any32 = 0;
    std::uint64_t any64 = 0;
    std::uint64_t ones64 = ~std::uint64_t{0};
    for (int i = 0; i < 64; ++i) {
        any16 |= generator.GenerateRandomUInt16();
        any32 |= generator.GenerateRandomUInt32();
        const auto value = generator.GenerateRandomUInt64();
        any64 |= value;
        ones64 &= value;
    }
    EXPECT_EQ(any16, 0xffffu);
    EXPECT_EQ(any32, 0xffffffffu);
    EXPECT_EQ(any64, ~std::uint64_t{0});
    EXPECT_EQ(ones64, 0u);
}

} // namespace

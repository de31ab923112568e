// Random tokens: their form (only token characters, the length that carries the bits asked for)
// and that they do not repeat. Their unpredictability is OpenSSL's (RAND_bytes), not tested here.

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "stack/base/Random.h"

namespace zel::sip::stack {
namespace {

TEST(Random, TokensAreBase32TextOfTheBitsAskedForAndDoNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string token = RandomToken(16);
        ASSERT_EQ(token.size(), 26U); // ceil(128 / 5)
        ASSERT_EQ(token.find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), std::string::npos) << token;
        ASSERT_TRUE(seen.insert(token).second) << token;
    }
    EXPECT_EQ(RandomToken(5).size(), 8U); // 40 bits, no padding
    EXPECT_EQ(RandomToken(1).size(), 2U);
}

TEST(Random, HexHasTwoDigitsPerByteAndEveryBitVaries) {
    unsigned seenOnes[4] = {};
    unsigned seenZeros[4] = {};
    for (int i = 0; i < 200; ++i) {
        const std::string hex = RandomHex(2);
        ASSERT_EQ(hex.size(), 4U);
        ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
        const unsigned digit = static_cast<unsigned>(std::stoul(hex.substr(0, 1), nullptr, 16));
        for (unsigned bit = 0; bit < 4; ++bit)
            ((digit >> bit) & 1U ? seenOnes : seenZeros)[bit]++;
    }
    for (unsigned bit = 0; bit < 4; ++bit) { // a constant bit would mean a broken encoding
        EXPECT_GT(seenOnes[bit], 0U);
        EXPECT_GT(seenZeros[bit], 0U);
    }
    EXPECT_THROW(RandomHex(0), std::invalid_argument);
    EXPECT_THROW(RandomToken(257), std::invalid_argument);
}

} // namespace
} // namespace zel::sip::stack

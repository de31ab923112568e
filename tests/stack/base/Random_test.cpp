// Random tokens: their form (only token characters, the length that carries the bits asked for)
// and that they do not repeat, not even across a fork. Their unpredictability is OpenSSL's
// (RAND_bytes), not tested here.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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

TEST(Random, ForkedChildDoesNotRepeatItsParentsValues) {
    // Values are handed out from a block drawn per thread: a child made by fork must not hand out
    // the rest of the block its parent goes on using (both would send the same branches).
    (void)RandomHex(8); // the parent's block is drawn and partly used
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string value = RandomHex(32);
        const bool written = ::write(pipeEnds[1], value.data(), value.size()) == static_cast<ssize_t>(value.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(pipeEnds[1]);
    const std::string ours = RandomHex(32);
    std::string theirs(64, '\0');
    std::size_t got = 0;
    while (got < theirs.size()) {
        const ssize_t n = ::read(pipeEnds[0], theirs.data() + got, theirs.size() - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, theirs.size());
    EXPECT_NE(ours, theirs);
}

} // namespace
} // namespace zel::sip::stack

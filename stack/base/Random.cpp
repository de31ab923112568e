#include "stack/base/Random.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace zel::sip::stack {

namespace {

constexpr std::size_t kMaxBytes = 256;

// RAND_bytes costs about a microsecond a call (a lookup of the generator, a lock, a fork check),
// and a call draws several values: each thread takes the generator's output in blocks and hands
// it out from there. A child process must not hand out what its parent already had in its block
// (two processes would send the same tags and branches): a fork bumps the generation, and a
// block of an older generation is thrown away.
constexpr std::size_t kBlockBytes = 512;

std::atomic<unsigned> forkGeneration{0};

struct Block {
    std::array<unsigned char, kBlockBytes> bytes{};
    std::size_t used = kBlockBytes; // empty until first drawn
    unsigned generation = 0;

    ~Block() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

void TakeFromGenerator(unsigned char* out, std::size_t bytes) {
    if (RAND_bytes(out, static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("the random generator failed (RAND_bytes)");
    }
}

std::array<unsigned char, kMaxBytes> Draw(std::size_t bytes) {
    if (bytes == 0 || bytes > kMaxBytes) {
        throw std::invalid_argument("random text needs between 1 and 256 bytes");
    }
    static const int registered =
        ::pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1, std::memory_order_relaxed); });
    (void)registered;
    thread_local Block block;
    const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
    if (block.generation != generation || kBlockBytes - block.used < bytes) {
        TakeFromGenerator(block.bytes.data(), kBlockBytes);
        block.used = 0;
        block.generation = generation;
    }
    std::array<unsigned char, kMaxBytes> buffer{};
    std::memcpy(buffer.data(), block.bytes.data() + block.used, bytes);
    OPENSSL_cleanse(block.bytes.data() + block.used, bytes); // handed out once only
    block.used += bytes;
    return buffer;
}

} // namespace

std::string RandomToken(std::size_t bytes) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
    const auto buffer = Draw(bytes);
    std::string text;
    text.reserve((bytes * 8 + 4) / 5);
    std::uint32_t bits = 0;
    int pending = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        bits = (bits << 8) | buffer[i];
        pending += 8;
        while (pending >= 5) {
            pending -= 5;
            text.push_back(kAlphabet[(bits >> pending) & 0x1f]);
        }
    }
    if (pending > 0) {
        text.push_back(kAlphabet[(bits << (5 - pending)) & 0x1f]);
    }
    return text;
}

std::string RandomHex(std::size_t bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto buffer = Draw(bytes);
    std::string text;
    text.reserve(2 * bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        text.push_back(kDigits[buffer[i] >> 4]);
        text.push_back(kDigits[buffer[i] & 0x0f]);
    }
    return text;
}

} // namespace zel::sip::stack

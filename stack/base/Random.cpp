#include "stack/base/Random.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace zel::sip::stack {

namespace {

constexpr std::size_t kMaxBytes = 256;

std::array<unsigned char, kMaxBytes> Draw(std::size_t bytes) {
    if (bytes == 0 || bytes > kMaxBytes) {
        throw std::invalid_argument("random text needs between 1 and 256 bytes");
    }
    std::array<unsigned char, kMaxBytes> buffer{};
    if (RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("the random generator failed (RAND_bytes)");
    }
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

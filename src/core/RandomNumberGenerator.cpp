#include "core/RandomNumberGenerator.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace zel::sip {

namespace {

// OpenSSL's sizes are int; larger requests are handled in pieces of this size.
constexpr std::size_t MaximumChunk = INT_MAX;

void FillRandom(unsigned char* data, std::size_t count) {
    while (count != 0) {
        const auto chunk = std::min(count, MaximumChunk);
        if (RAND_bytes(data, static_cast<int>(chunk)) != 1)
            throw std::runtime_error("Failed generate cryptographically random data");
        data += chunk;
        count -= chunk;
    }
}

std::vector<unsigned char> GenerateRandomData(std::size_t count) {
    std::vector<unsigned char> data(count);
    if (count != 0)
        FillRandom(data.data(), count);
    return data;
}

template <typename T>
T GenerateRandomValue() {
    unsigned char bytes[sizeof(T)];
    FillRandom(bytes, sizeof bytes);
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free_all(bio); }
};
using BioPointer = std::unique_ptr<BIO, BioDeleter>;

// Base64 of RFC 4648 section 4 on one line, through OpenSSL's Base64 filter over a memory buffer.
std::string EncodeBase64(const std::vector<unsigned char>& data) {
    if (data.empty())
        return {};
    BioPointer chain(BIO_new(BIO_f_base64()));
    if (!chain)
        throw std::bad_alloc();
    BIO* memory = BIO_new(BIO_s_mem());
    if (memory == nullptr)
        throw std::bad_alloc();
    BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
    BIO_push(chain.get(), memory);  // the chain owns the memory buffer from here on

    const unsigned char* next = data.data();
    std::size_t left = data.size();
    while (left != 0) {
        const auto chunk = std::min(left, MaximumChunk);
        const int written = BIO_write(chain.get(), next, static_cast<int>(chunk));
        if (written <= 0)
            throw std::runtime_error("Failed to encode random data as Base64");
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    if (BIO_flush(chain.get()) != 1)
        throw std::runtime_error("Failed to encode random data as Base64");

    BUF_MEM* buffer = nullptr;
    BIO_get_mem_ptr(memory, &buffer);
    return std::string(buffer->data, buffer->length);
}

} // namespace

RandomNumberGenerator::RandomNumberGenerator() {
    // A failed reseed is not fatal here: the generator then fails on use and raises there.
    RAND_poll();
}

std::string RandomNumberGenerator::GenerateRandomDataAsBase64(std::size_t count) const {
    return EncodeBase64(GenerateRandomData(count));
}

std::uint16_t RandomNumberGenerator::GenerateRandomUInt16() const {
    return GenerateRandomValue<std::uint16_t>();
}

std::uint32_t RandomNumberGenerator::GenerateRandomUInt32() const {
    return GenerateRandomValue<std::uint32_t>();
}

std::uint64_t RandomNumberGenerator::GenerateRandomUInt64() const {
    return GenerateRandomValue<std::uint64_t>();
}

} // namespace zel::sip

#pragma once

#include "core/IRandomNumberGenerator.h"

namespace zel::sip {

/// Random data from OpenSSL's generator. Holds no state of its own.
///
/// Every operation raises std::runtime_error "Failed generate cryptographically random data" when
/// OpenSSL cannot deliver random bytes. Safe on any thread.
class RandomNumberGenerator : public IRandomNumberGenerator {
public:
    /// Seeds OpenSSL's generator from the operating system (RAND_poll).
    RandomNumberGenerator();

    /// Also raises std::bad_alloc, or std::runtime_error when the Base64 encoder fails.
    std::string GenerateRandomDataAsBase64(std::size_t count) const override;
    std::uint16_t GenerateRandomUInt16() const override;
    std::uint32_t GenerateRandomUInt32() const override;
    std::uint64_t GenerateRandomUInt64() const override;
};

} // namespace zel::sip

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zel::sip {

/// The source of cryptographically strong random numbers and SRTP key material, behind an
/// interface so that SDP code can be tested with fixed values. Implementations may be called from
/// any thread.
class IRandomNumberGenerator {
public:
    virtual ~IRandomNumberGenerator() = default;

    /// `count` random bytes in Base64 (RFC 4648 section 4, with padding) on one line:
    /// 4 * ceil(count / 3) characters, the empty text for 0.
    virtual std::string GenerateRandomDataAsBase64(std::size_t count) const = 0;
    /// A uniformly random 16-bit value.
    virtual std::uint16_t GenerateRandomUInt16() const = 0;
    /// A uniformly random 32-bit value.
    virtual std::uint32_t GenerateRandomUInt32() const = 0;
    /// A uniformly random 64-bit value.
    virtual std::uint64_t GenerateRandomUInt64() const = 0;
};

} // namespace zel::sip

#pragma once

#include <cstdint>

namespace zel::sip {

/// The address family of an offer and of a local media endpoint, as the C interface numbers it.
enum class AddressType : std::int32_t {
    IPv4 = 0,
    IPv6 = 1,
};

} // namespace zel::sip

#pragma once

#include <cstdint>
#include <string>

namespace zel::sip::stack::sdp {

/// One bandwidth line, b=<bwtype>:<bandwidth> (RFC 8866 section 5.8), for example AS:64 or TIAS:64000.
/// The type is kept as written; the value is in the unit the type defines.
struct Bandwidth {
    std::string type;
    std::uint64_t value = 0;

    /// "<type>:<value>".
    std::string Encode() const;

    friend bool operator==(const Bandwidth&, const Bandwidth&) = default;
};

} // namespace zel::sip::stack::sdp

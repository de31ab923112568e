#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace zel::sip::stack {

/// The record types server location asks for.
enum class RecordType : std::uint8_t { NAPTR, SRV, A, AAAA };

std::string_view ToString(RecordType type) noexcept;

/// A NAPTR record (RFC 3403 section 4.1).
struct NaptrRecord {
    std::uint16_t order = 0;
    std::uint16_t preference = 0;
    std::string flags;
    std::string service;
    std::string regexp;
    std::string replacement;

    friend bool operator==(const NaptrRecord&, const NaptrRecord&) = default;
};

/// An SRV record (RFC 2782).
struct SrvRecord {
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    std::string target;

    friend bool operator==(const SrvRecord&, const SrvRecord&) = default;
};

/// The answer to one question: an error, or the records of the type asked for (only the member of
/// that type is filled: naptr, srv, or addresses for A and AAAA).
struct RecordSet {
    std::error_code error;
    std::vector<NaptrRecord> naptr;
    std::vector<SrvRecord> srv;
    std::vector<boost::asio::ip::address> addresses;
};

} // namespace zel::sip::stack

#pragma once

#include "stack/dns/DnsRecords.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace zel::sip::stack::detail {

/// The numeric DNS type of a record type (RFC 1035, RFC 2782, RFC 3403, RFC 3596).
int DnsTypeCode(RecordType type) noexcept;

/// Records read from one answer, and how long they may be kept.
struct ParsedAnswer {
    RecordSet records;
    /// The smallest TTL of the answer records of the type asked for; 0 when unknown.
    std::chrono::seconds ttl{0};
};

/// Reads the records of `type` from a DNS answer message (through c-ares' parsers). An answer without
/// such records gives NoRecords; an unreadable one BadResponse. Never throws on content.
ParsedAnswer ParseAnswer(RecordType type, const unsigned char* message, std::size_t size);

/// Cuts `records` down to `limit` records of its type, keeping the most preferred: NAPTR records by
/// order then preference (RFC 3403 section 4.1), SRV records by priority (RFC 2782), addresses in the
/// order received. Records that tie keep their order. Returns how many were dropped.
std::size_t KeepPreferred(RecordSet& records, std::size_t limit);

/// The smallest TTL of the answer-section records of the numeric type `typeCode`, RFC 2181 section 8
/// applied (a TTL with the top bit set counts as 0). Empty when there is none or the message is cut short.
std::optional<std::uint32_t> AnswerTtl(const unsigned char* message, std::size_t size, int typeCode) noexcept;

/// How long a negative answer may be kept by RFC 2308 section 5: the smaller of the TTL and the
/// MINIMUM field of the SOA record in the authority section. Empty without a readable SOA.
std::optional<std::uint32_t> NegativeTtl(const unsigned char* message, std::size_t size) noexcept;

} // namespace zel::sip::stack::detail

#pragma once

#include "stack/dns/DnsRecords.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace zel::sip::stack {

/// Answers kept by name and type until their TTL runs out, positive and negative alike (RFC 1035
/// section 7.4, RFC 2308). Bounded: when full, expired entries go first, then the one closest to
/// expiry. Names are compared without regard to case. The caller passes the time, so expiry is tested
/// without waiting. Not thread-safe: owned by one resolver on its event loop.
class DnsCache {
public:
    using Clock = std::chrono::steady_clock;

    /// `capacity` 0 disables the cache.
    explicit DnsCache(std::size_t capacity) noexcept : capacity_(capacity) {}

    /// The answer stored for the question, unless it has expired at `now`.
    const RecordSet* Find(RecordType type, std::string_view name, Clock::time_point now) const;

    /// Keeps `records` for `ttl` from `now`, replacing an earlier answer. A TTL of 0 stores nothing.
    void Store(RecordType type, std::string_view name, RecordSet records, std::chrono::seconds ttl,
               Clock::time_point now);

    /// Drops every answer.
    void Clear() noexcept { entries_.clear(); }

    std::size_t Size() const noexcept { return entries_.size(); }

private:
    using Key = std::pair<RecordType, std::string>;
    struct Entry {
        RecordSet records;
        Clock::time_point expiry;
    };

    static Key MakeKey(RecordType type, std::string_view name);
    void MakeRoom(Clock::time_point now);

    std::size_t capacity_;
    std::map<Key, Entry> entries_;
};

} // namespace zel::sip::stack

#pragma once

#include "stack/transport/Tuple.h"

#include <chrono>
#include <cstddef>
#include <map>

namespace zel::sip::stack {

/// Targets that failed recently (a transport error, a timeout, a 503), kept for a while so later
/// server locations try them last. Bounded: when full the entry closest to expiry goes. The caller
/// passes the time. Not thread-safe: owned by one resolver on its event loop.
class Blacklist {
public:
    using Clock = std::chrono::steady_clock;

    explicit Blacklist(std::size_t capacity = 256) noexcept : capacity_(capacity) {}

    /// Marks `tuple` as failed until `until`; an earlier mark is extended, never shortened.
    void Add(const Tuple& tuple, Clock::time_point until);
    /// Forgets a failure, for instance after the target answered again.
    void Remove(const Tuple& tuple) noexcept { entries_.erase(tuple); }
    bool Contains(const Tuple& tuple, Clock::time_point now) const;
    std::size_t Size() const noexcept { return entries_.size(); }

private:
    struct Less {
        bool operator()(const Tuple& a, const Tuple& b) const noexcept {
            if (a.transport != b.transport)
                return a.transport < b.transport;
            if (a.port != b.port)
                return a.port < b.port;
            return a.address < b.address;
        }
    };

    std::size_t capacity_;
    std::map<Tuple, Clock::time_point, Less> entries_;
};

} // namespace zel::sip::stack

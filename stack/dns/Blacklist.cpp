#include "stack/dns/Blacklist.h"

#include <algorithm>

namespace zel::sip::stack {

void Blacklist::Add(const Tuple& tuple, Clock::time_point until) {
    const auto existing = entries_.find(tuple);
    if (existing != entries_.end()) {
        existing->second = std::max(existing->second, until);
        return;
    }
    if (capacity_ == 0)
        return;
    while (entries_.size() >= capacity_) {
        const auto soonest = std::min_element(entries_.begin(), entries_.end(),
                                              [](const auto& a, const auto& b) { return a.second < b.second; });
        entries_.erase(soonest);
    }
    entries_.emplace(tuple, until);
}

bool Blacklist::Contains(const Tuple& tuple, Clock::time_point now) const {
    const auto it = entries_.find(tuple);
    return it != entries_.end() && it->second > now;
}

} // namespace zel::sip::stack

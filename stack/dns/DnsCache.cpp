#include "stack/dns/DnsCache.h"

#include <algorithm>
#include <cctype>

namespace zel::sip::stack {

DnsCache::Key DnsCache::MakeKey(RecordType type, std::string_view name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!lower.empty() && lower.back() == '.')
        lower.pop_back();
    return {type, std::move(lower)};
}

const RecordSet* DnsCache::Find(RecordType type, std::string_view name, Clock::time_point now) const {
    const auto it = entries_.find(MakeKey(type, name));
    if (it == entries_.end() || it->second.expiry <= now)
        return nullptr;
    return &it->second.records;
}

void DnsCache::Store(RecordType type, std::string_view name, RecordSet records, std::chrono::seconds ttl,
                     Clock::time_point now) {
    if (capacity_ == 0 || ttl.count() <= 0)
        return;
    Key key = MakeKey(type, name);
    const auto existing = entries_.find(key);
    if (existing != entries_.end())
        entries_.erase(existing);
    else
        MakeRoom(now);
    entries_.emplace(std::move(key), Entry{std::move(records), now + ttl});
}

void DnsCache::MakeRoom(Clock::time_point now) {
    if (entries_.size() < capacity_)
        return;
    std::erase_if(entries_, [now](const auto& entry) { return entry.second.expiry <= now; });
    while (entries_.size() >= capacity_) {
        const auto soonest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.expiry < b.second.expiry;
        });
        entries_.erase(soonest);
    }
}

} // namespace zel::sip::stack

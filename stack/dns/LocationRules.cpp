#include "stack/dns/LocationRules.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <array>
#include <set>
#include <utility>

namespace zel::sip::stack {

std::uint16_t DefaultPort(TransportType transport) noexcept {
    switch (transport) {
    case TransportType::UDP:
    case TransportType::TCP: return 5060;
    case TransportType::TLS:
    case TransportType::DTLS: return 5061;
    case TransportType::WS: return 80;
    case TransportType::WSS: return 443;
    }
    return 5060;
}

std::optional<TransportType> TransportFor(TransportType requested, bool secure) noexcept {
    if (!secure || IsSecure(requested))
        return requested;
    switch (requested) {
    case TransportType::TCP: return TransportType::TLS;
    case TransportType::WS: return TransportType::WSS;
    case TransportType::UDP:
    case TransportType::TLS:
    case TransportType::DTLS:
    case TransportType::WSS: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<TransportType> DefaultTransport(bool secure, const std::vector<TransportType>& supported) noexcept {
    const TransportType preferred = secure ? TransportType::TLS : TransportType::UDP;
    if (std::find(supported.begin(), supported.end(), preferred) != supported.end())
        return preferred;
    for (const TransportType transport : supported)
        if (!secure || IsSecure(transport))
            return transport;
    return std::nullopt;
}

std::optional<TransportType> TransportOfNaptrService(std::string_view service) noexcept {
    static constexpr std::array<std::pair<std::string_view, TransportType>, 5> kServices{{
        {"SIP+D2U", TransportType::UDP},
        {"SIP+D2T", TransportType::TCP},
        {"SIPS+D2T", TransportType::TLS},
        {"SIP+D2W", TransportType::WS},
        {"SIPS+D2W", TransportType::WSS},
    }};
    for (const auto& [name, transport] : kServices)
        if (boost::algorithm::iequals(name, service))
            return transport;
    return std::nullopt;
}

std::string SrvName(TransportType transport, std::string_view domain) {
    std::string_view prefix;
    switch (transport) {
    case TransportType::UDP: prefix = "_sip._udp."; break;
    case TransportType::TCP: prefix = "_sip._tcp."; break;
    case TransportType::TLS: prefix = "_sips._tcp."; break;
    case TransportType::DTLS: prefix = "_sips._udp."; break;
    case TransportType::WS: prefix = "_sip._ws."; break;
    case TransportType::WSS: prefix = "_sips._ws."; break;
    }
    std::string name(prefix);
    name += domain;
    return name;
}

std::vector<NaptrChoice> SelectNaptr(const std::vector<NaptrRecord>& records, bool secure,
                                     const std::vector<TransportType>& supported) {
    std::vector<const NaptrRecord*> usable;
    for (const auto& record : records) {
        if (!boost::algorithm::iequals(record.flags, "s") || !record.regexp.empty() || record.replacement.empty() ||
            record.replacement == ".")
            continue;
        const auto transport = TransportOfNaptrService(record.service);
        if (!transport || (secure && !IsSecure(*transport)) ||
            std::find(supported.begin(), supported.end(), *transport) == supported.end())
            continue;
        usable.push_back(&record);
    }
    std::stable_sort(usable.begin(), usable.end(), [](const NaptrRecord* a, const NaptrRecord* b) {
        return std::pair(a->order, a->preference) < std::pair(b->order, b->preference);
    });
    std::vector<NaptrChoice> choices;
    std::set<std::pair<TransportType, std::string_view>> seen;
    for (const NaptrRecord* record : usable) {
        const TransportType transport = *TransportOfNaptrService(record->service);
        if (seen.emplace(transport, record->replacement).second)
            choices.push_back({transport, record->replacement});
    }
    return choices;
}

namespace {

/// Weights of the records of one priority still to be placed, as a Fenwick tree: removing a record
/// and finding the first record whose running sum reaches a value both take O(log n), so ordering n
/// records is O(n log n) rather than the O(n^2) of rescanning the list after every draw.
class WeightTree {
public:
    explicit WeightTree(const std::vector<std::uint16_t>& weights) : tree_(weights.size() + 1, 0) {
        for (std::size_t i = 0; i < weights.size(); ++i) {
            tree_[i + 1] += weights[i];
            const std::size_t parent = (i + 1) + ((i + 1) & (~(i + 1) + 1));
            if (parent < tree_.size())
                tree_[parent] += tree_[i + 1];
        }
        for (const std::uint16_t weight : weights)
            total_ += weight;
    }

    std::uint64_t Total() const noexcept { return total_; }

    void Remove(std::size_t index, std::uint16_t weight) noexcept {
        total_ -= weight;
        for (std::size_t i = index + 1; i < tree_.size(); i += i & (~i + 1))
            tree_[i] -= weight;
    }

    /// The smallest index whose running sum is at least `value` (1 <= value <= Total()).
    std::size_t Find(std::uint64_t value) const noexcept {
        std::size_t position = 0;
        std::size_t step = 1;
        while (step * 2 < tree_.size())
            step *= 2;
        for (; step > 0; step /= 2)
            if (position + step < tree_.size() && tree_[position + step] < value) {
                position += step;
                value -= tree_[position];
            }
        return position;
    }

private:
    std::vector<std::uint64_t> tree_;
    std::uint64_t total_ = 0;
};

} // namespace

std::vector<SrvRecord> OrderSrv(std::vector<SrvRecord> records, std::mt19937& random) {
    std::erase_if(records, [](const SrvRecord& r) { return r.target.empty() || r.target == "."; });
    // Weight 0 records first within each priority, as RFC 2782 places them before the draw.
    std::stable_sort(records.begin(), records.end(), [](const SrvRecord& a, const SrvRecord& b) {
        return std::pair(a.priority, a.weight != 0) < std::pair(b.priority, b.weight != 0);
    });
    std::vector<SrvRecord> ordered;
    ordered.reserve(records.size());
    auto groupBegin = records.begin();
    while (groupBegin != records.end()) {
        auto groupEnd = std::find_if(groupBegin, records.end(),
                                     [&](const SrvRecord& r) { return r.priority != groupBegin->priority; });
        const auto size = static_cast<std::size_t>(groupEnd - groupBegin);
        std::vector<std::uint16_t> weights(size);
        for (std::size_t i = 0; i < size; ++i)
            weights[i] = groupBegin[static_cast<std::ptrdiff_t>(i)].weight;
        WeightTree tree(weights);
        std::vector<bool> placed(size, false);
        std::size_t firstLeft = 0;
        for (std::size_t left = size; left > 0; --left) {
            // RFC 2782: a random number from 0 to the sum of the remaining weights picks the first
            // record whose running sum is at least that number. 0 picks the first record left (a
            // weight 0 record when there is one); any other number lands on a record of non-zero weight.
            std::uniform_int_distribution<std::uint64_t> draw(0, tree.Total());
            const std::uint64_t pick = draw(random);
            while (placed[firstLeft])
                ++firstLeft;
            const std::size_t chosen = pick == 0 ? firstLeft : tree.Find(pick);
            placed[chosen] = true;
            tree.Remove(chosen, weights[chosen]);
            ordered.push_back(std::move(groupBegin[static_cast<std::ptrdiff_t>(chosen)]));
        }
        groupBegin = groupEnd;
    }
    return ordered;
}

} // namespace zel::sip::stack

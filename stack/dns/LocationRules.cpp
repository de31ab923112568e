#include "stack/dns/LocationRules.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <array>
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
    for (const NaptrRecord* record : usable) {
        NaptrChoice choice{*TransportOfNaptrService(record->service), record->replacement};
        if (std::find(choices.begin(), choices.end(), choice) == choices.end())
            choices.push_back(std::move(choice));
    }
    return choices;
}

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
        std::vector<SrvRecord> group(std::make_move_iterator(groupBegin), std::make_move_iterator(groupEnd));
        while (!group.empty()) {
            std::uint32_t sum = 0;
            for (const auto& record : group)
                sum += record.weight;
            std::uniform_int_distribution<std::uint32_t> draw(0, sum);
            const std::uint32_t pick = draw(random);
            std::uint32_t running = 0;
            auto chosen = group.begin();
            for (auto it = group.begin(); it != group.end(); ++it) {
                running += it->weight;
                if (running >= pick) {
                    chosen = it;
                    break;
                }
            }
            ordered.push_back(std::move(*chosen));
            group.erase(chosen);
        }
        groupBegin = groupEnd;
    }
    return ordered;
}

} // namespace zel::sip::stack

#include "stack/message/HeaderType.h"

#include <array>
#include <cstring>
#include <stdexcept>

#include "stack/base/CaseInsensitive.h"

namespace zel::sip::stack {
namespace {

constexpr std::array<HeaderInfo, kHeaderTypeCount> kHeaders = {{
#define ZEL_SIP_HEADER_INFO(id, name, compact, multiplicity, kind) \
    {HeaderType::id, name, compact, Multiplicity::multiplicity, ValueKind::kind},
    ZEL_SIP_HEADERS(ZEL_SIP_HEADER_INFO)
#undef ZEL_SIP_HEADER_INFO
}};

// Names bucketed by lower-case first letter and length: a look-up compares at most a few names,
// without hashing (this runs once per header line received).
constexpr std::size_t kMaxNameLength = 32;

struct NameIndex {
    std::array<std::array<std::uint8_t, 4>, 26 * kMaxNameLength> slots{};
    std::array<std::uint8_t, 26 * kMaxNameLength> counts{};
};

NameIndex MakeNameIndex() {
    NameIndex index;
    for (const HeaderInfo& info : kHeaders) {
        const std::size_t bucket =
            static_cast<std::size_t>(ToLowerAscii(info.name.front()) - 'a') * kMaxNameLength + info.name.size();
        if (info.name.size() >= kMaxNameLength || index.counts[bucket] >= index.slots[bucket].size()) {
            throw std::logic_error("header name index too small");
        }
        index.slots[bucket][index.counts[bucket]++] = static_cast<std::uint8_t>(info.type);
    }
    return index;
}

// Compact forms, indexed by lower-case letter.
constexpr std::array<HeaderType, 26> MakeCompactTable() {
    std::array<HeaderType, 26> table{};
    table.fill(HeaderType::Extension);
    for (const HeaderInfo& info : kHeaders) {
        if (info.compact != '\0') {
            table[static_cast<std::size_t>(info.compact - 'a')] = info.type;
        }
    }
    return table;
}

constexpr std::array<HeaderType, 26> kCompact = MakeCompactTable();

} // namespace

const HeaderInfo& GetHeaderInfo(HeaderType type) {
    const auto index = static_cast<std::size_t>(type);
    if (index >= kHeaders.size()) {
        throw std::out_of_range("not a standard header type");
    }
    return kHeaders[index];
}

HeaderType LookupHeader(std::string_view name) noexcept {
    if (name.size() == 1) {
        const char c = ToLowerAscii(name.front());
        if (c >= 'a' && c <= 'z') {
            return kCompact[static_cast<std::size_t>(c - 'a')];
        }
        return HeaderType::Extension;
    }
    if (name.size() >= kMaxNameLength || name.empty()) {
        return HeaderType::Extension;
    }
    const char first = ToLowerAscii(name.front());
    if (first < 'a' || first > 'z') {
        return HeaderType::Extension;
    }
    static const NameIndex index = MakeNameIndex();
    const std::size_t bucket = static_cast<std::size_t>(first - 'a') * kMaxNameLength + name.size();
    for (std::size_t i = 0; i < index.counts[bucket]; ++i) {
        const auto type = static_cast<HeaderType>(index.slots[bucket][i]);
        const std::string_view known = kHeaders[index.slots[bucket][i]].name;
        // Names nearly always arrive in their usual spelling: one memcmp before the
        // case-insensitive comparison.
        if (std::memcmp(known.data(), name.data(), name.size()) == 0 || IEquals(known, name)) {
            return type;
        }
    }
    return HeaderType::Extension;
}

std::string_view HeaderName(HeaderType type) noexcept {
    const auto index = static_cast<std::size_t>(type);
    return index < kHeaders.size() ? kHeaders[index].name : std::string_view();
}

} // namespace zel::sip::stack

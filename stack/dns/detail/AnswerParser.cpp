#include "stack/dns/detail/AnswerParser.h"

#include "stack/dns/DnsError.h"

#include <ares.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

namespace zel::sip::stack::detail {

namespace {

constexpr int kTypeA = 1;
constexpr int kTypeSoa = 6;
constexpr int kTypeAaaa = 28;
constexpr int kTypeSrv = 33;
constexpr int kTypeNaptr = 35;
constexpr std::size_t kHeaderSize = 12;
constexpr int kMaxAddresses = 64;

/// A bounds-checked reader over a DNS message (RFC 1035 section 4.1), only as far as TTLs need.
class Walker {
public:
    Walker(const unsigned char* data, std::size_t size) noexcept : data_(data), size_(size) {}

    bool Skip(std::size_t count) noexcept {
        if (size_ - pos_ < count)
            return false;
        pos_ += count;
        return true;
    }

    bool Read16(std::uint16_t& value) noexcept {
        if (size_ - pos_ < 2)
            return false;
        value = static_cast<std::uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }

    bool Read32(std::uint32_t& value) noexcept {
        std::uint16_t high = 0;
        std::uint16_t low = 0;
        if (!Read16(high) || !Read16(low))
            return false;
        value = static_cast<std::uint32_t>(high) << 16 | low;
        return true;
    }

    /// Skips a domain name: labels up to the root label or a compression pointer.
    bool SkipName() noexcept {
        for (int labels = 0; labels < 128; ++labels) {
            if (pos_ >= size_)
                return false;
            const unsigned length = data_[pos_];
            if (length == 0)
                return Skip(1);
            if ((length & 0xC0) == 0xC0)
                return Skip(2);
            if ((length & 0xC0) != 0)
                return false;
            if (!Skip(1 + length))
                return false;
        }
        return false;
    }

    /// Reads the header and skips the question section; leaves the walker on the first answer.
    bool Start(std::uint16_t& answers, std::uint16_t& authorities) noexcept {
        std::uint16_t questions = 0;
        if (!Skip(4) || !Read16(questions) || !Read16(answers) || !Read16(authorities) || !Skip(2))
            return false;
        for (unsigned i = 0; i < questions; ++i)
            if (!SkipName() || !Skip(4))
                return false;
        return true;
    }

    struct Record {
        std::uint16_t type = 0;
        std::uint32_t ttl = 0;
        std::size_t rdata = 0;
        std::uint16_t rdataLength = 0;
    };

    bool ReadRecord(Record& record) noexcept {
        std::uint16_t cls = 0;
        if (!SkipName() || !Read16(record.type) || !Read16(cls) || !Read32(record.ttl) ||
            !Read16(record.rdataLength))
            return false;
        record.rdata = pos_;
        return Skip(record.rdataLength);
    }

    void Seek(std::size_t pos) noexcept { pos_ = std::min(pos, size_); }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::uint32_t Rfc2181Ttl(std::uint32_t ttl) noexcept { return ttl > 0x7fffffffU ? 0 : ttl; }

RecordSet Failure(int status) {
    RecordSet set;
    set.error = FromAresStatus(status);
    return set;
}

RecordSet ParseA(const unsigned char* message, int size) {
    std::array<ares_addrttl, kMaxAddresses> entries{};
    int count = kMaxAddresses;
    const int status = ares_parse_a_reply(message, size, nullptr, entries.data(), &count);
    if (status != ARES_SUCCESS)
        return Failure(status);
    RecordSet set;
    for (int i = 0; i < count; ++i) {
        boost::asio::ip::address_v4::bytes_type bytes;
        std::copy_n(reinterpret_cast<const unsigned char*>(&entries[i].ipaddr), bytes.size(), bytes.begin());
        set.addresses.emplace_back(boost::asio::ip::address_v4(bytes));
    }
    if (set.addresses.empty())
        set.error = DnsError::NoRecords;
    return set;
}

RecordSet ParseAaaa(const unsigned char* message, int size) {
    std::array<ares_addr6ttl, kMaxAddresses> entries{};
    int count = kMaxAddresses;
    const int status = ares_parse_aaaa_reply(message, size, nullptr, entries.data(), &count);
    if (status != ARES_SUCCESS)
        return Failure(status);
    RecordSet set;
    for (int i = 0; i < count; ++i) {
        boost::asio::ip::address_v6::bytes_type bytes;
        std::copy_n(entries[i].ip6addr._S6_un._S6_u8, bytes.size(), bytes.begin());
        set.addresses.emplace_back(boost::asio::ip::address_v6(bytes));
    }
    if (set.addresses.empty())
        set.error = DnsError::NoRecords;
    return set;
}

struct AresDataDeleter {
    void operator()(void* data) const noexcept { ares_free_data(data); }
};

std::string Text(const unsigned char* text) {
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

RecordSet ParseNaptr(const unsigned char* message, int size) {
    ares_naptr_reply* head = nullptr;
    const int status = ares_parse_naptr_reply(message, size, &head);
    std::unique_ptr<ares_naptr_reply, AresDataDeleter> owner(head);
    if (status != ARES_SUCCESS)
        return Failure(status);
    RecordSet set;
    for (const ares_naptr_reply* r = head; r; r = r->next)
        set.naptr.push_back({r->order, r->preference, Text(r->flags), Text(r->service), Text(r->regexp),
                             r->replacement ? std::string(r->replacement) : std::string()});
    if (set.naptr.empty())
        set.error = DnsError::NoRecords;
    return set;
}

RecordSet ParseSrv(const unsigned char* message, int size) {
    ares_srv_reply* head = nullptr;
    const int status = ares_parse_srv_reply(message, size, &head);
    std::unique_ptr<ares_srv_reply, AresDataDeleter> owner(head);
    if (status != ARES_SUCCESS)
        return Failure(status);
    RecordSet set;
    for (const ares_srv_reply* r = head; r; r = r->next)
        set.srv.push_back({r->priority, r->weight, r->port, r->host ? std::string(r->host) : std::string()});
    if (set.srv.empty())
        set.error = DnsError::NoRecords;
    return set;
}

} // namespace

int DnsTypeCode(RecordType type) noexcept {
    switch (type) {
    case RecordType::NAPTR: return kTypeNaptr;
    case RecordType::SRV: return kTypeSrv;
    case RecordType::A: return kTypeA;
    case RecordType::AAAA: return kTypeAaaa;
    }
    return 0;
}

ParsedAnswer ParseAnswer(RecordType type, const unsigned char* message, std::size_t size) {
    ParsedAnswer parsed;
    if (size < kHeaderSize || size > 0xFFFF) {
        parsed.records.error = DnsError::BadResponse;
        return parsed;
    }
    const int length = static_cast<int>(size);
    switch (type) {
    case RecordType::NAPTR: parsed.records = ParseNaptr(message, length); break;
    case RecordType::SRV: parsed.records = ParseSrv(message, length); break;
    case RecordType::A: parsed.records = ParseA(message, length); break;
    case RecordType::AAAA: parsed.records = ParseAaaa(message, length); break;
    }
    if (!parsed.records.error)
        parsed.ttl = std::chrono::seconds(AnswerTtl(message, size, DnsTypeCode(type)).value_or(0));
    return parsed;
}

std::size_t KeepPreferred(RecordSet& records, std::size_t limit) {
    std::size_t dropped = 0;
    const auto cut = [&](auto& list, auto less) {
        if (list.size() <= limit)
            return;
        std::stable_sort(list.begin(), list.end(), less);
        dropped += list.size() - limit;
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(limit), list.end());
    };
    cut(records.naptr, [](const NaptrRecord& a, const NaptrRecord& b) {
        return std::pair(a.order, a.preference) < std::pair(b.order, b.preference);
    });
    cut(records.srv, [](const SrvRecord& a, const SrvRecord& b) { return a.priority < b.priority; });
    cut(records.addresses, [](const auto&, const auto&) { return false; });
    return dropped;
}

std::optional<std::uint32_t> AnswerTtl(const unsigned char* message, std::size_t size, int typeCode) noexcept {
    Walker walker(message, size);
    std::uint16_t answers = 0;
    std::uint16_t authorities = 0;
    if (!walker.Start(answers, authorities))
        return std::nullopt;
    std::optional<std::uint32_t> smallest;
    for (unsigned i = 0; i < answers; ++i) {
        Walker::Record record;
        if (!walker.ReadRecord(record))
            return std::nullopt;
        if (record.type == typeCode)
            smallest = std::min(smallest.value_or(0xffffffffU), Rfc2181Ttl(record.ttl));
    }
    return smallest;
}

std::optional<std::uint32_t> NegativeTtl(const unsigned char* message, std::size_t size) noexcept {
    Walker walker(message, size);
    std::uint16_t answers = 0;
    std::uint16_t authorities = 0;
    if (!walker.Start(answers, authorities))
        return std::nullopt;
    Walker::Record record;
    for (unsigned i = 0; i < answers; ++i)
        if (!walker.ReadRecord(record))
            return std::nullopt;
    for (unsigned i = 0; i < authorities; ++i) {
        if (!walker.ReadRecord(record))
            return std::nullopt;
        if (record.type != kTypeSoa)
            continue;
        const std::size_t end = record.rdata + record.rdataLength;
        Walker soa(message, end);
        soa.Seek(record.rdata);
        std::uint32_t minimum = 0;
        // MNAME, RNAME, then SERIAL, REFRESH, RETRY, EXPIRE and MINIMUM (RFC 1035 section 3.3.13).
        if (!soa.SkipName() || !soa.SkipName() || !soa.Skip(16) || !soa.Read32(minimum))
            return std::nullopt;
        return std::min(Rfc2181Ttl(record.ttl), Rfc2181Ttl(minimum));
    }
    return std::nullopt;
}

} // namespace zel::sip::stack::detail

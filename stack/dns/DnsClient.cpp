#include "stack/dns/DnsClient.h"

#include "stack/base/Log.h"
#include "stack/dns/DnsError.h"
#include "stack/dns/detail/AnswerParser.h"
#include "stack/dns/detail/AresChannel.h"

#include <ares.h>
#include <boost/asio/post.hpp>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zel::sip::stack {

namespace {

std::string Normalize(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.size() > 1 && lower.back() == '.')
        lower.pop_back();
    return lower;
}

struct HostentDeleter {
    void operator()(hostent* host) const noexcept { ares_free_hostent(host); }
};

} // namespace

DnsClient::DnsClient(boost::asio::io_context& io, const DnsSettings& settings)
    : io_(io), settings_((settings.Validate(), settings)), cache_(settings.cacheEntries),
      channel_(std::make_unique<detail::AresChannel>(io, settings)) {}

DnsClient::~DnsClient() = default;

bool DnsClient::FromHostsFile(RecordType type, const std::string& name, RecordSet& records) const {
    if (!settings_.useHostsFile || (type != RecordType::A && type != RecordType::AAAA))
        return false;
    const int family = type == RecordType::A ? AF_INET : AF_INET6;
    hostent* raw = nullptr;
    if (ares_gethostbyname_file(channel_->Native(), name.c_str(), family, &raw) != ARES_SUCCESS)
        return false;
    std::unique_ptr<hostent, HostentDeleter> host(raw);
    if (host->h_addrtype != family)
        return false;
    for (char** entry = host->h_addr_list; entry && *entry; ++entry) {
        if (family == AF_INET) {
            boost::asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), *entry, bytes.size());
            records.addresses.emplace_back(boost::asio::ip::address_v4(bytes));
        } else {
            boost::asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), *entry, bytes.size());
            records.addresses.emplace_back(boost::asio::ip::address_v6(bytes));
        }
    }
    return !records.addresses.empty();
}

void DnsClient::Query(RecordType type, const std::string& name, Handler handler) {
    Key key{type, Normalize(name)};
    RecordSet local;
    const RecordSet* cached = cache_.Find(type, key.second, DnsCache::Clock::now());
    if (!cached && FromHostsFile(type, key.second, local))
        cached = &local;
    if (cached) {
        boost::asio::post(io_, [alive = std::weak_ptr<int>(alive_), handler = std::move(handler), records = *cached] {
            if (!alive.expired())
                handler(records);
        });
        return;
    }
    auto& waiters = waiting_[key];
    waiters.push_back(std::move(handler));
    if (waiters.size() > 1)
        return;
    ZEL_LOG(Debug, "DNS: query {} {}", ToString(type), key.second);
    channel_->Query(key.second, detail::DnsTypeCode(type),
                    [this, key](int status, const std::vector<unsigned char>& answer) { OnAnswer(key, status, answer); });
}

void DnsClient::OnAnswer(const Key& key, int status, const std::vector<unsigned char>& answer) {
    const auto now = DnsCache::Clock::now();
    RecordSet records;
    std::chrono::seconds ttl{0};
    if (status == ARES_SUCCESS) {
        auto parsed = detail::ParseAnswer(key.first, answer.data(), answer.size());
        records = std::move(parsed.records);
        ttl = std::min(parsed.ttl, settings_.maxTtl);
        // Everything after this (ordering, the next step's questions, targets) is bounded by it.
        if (const std::size_t dropped = detail::KeepPreferred(records, settings_.maxRecordsPerAnswer))
            ZEL_LOG(Warning, "DNS: {} {} has {} records more than the {} kept (maxRecordsPerAnswer)",
                    ToString(key.first), key.second, dropped, settings_.maxRecordsPerAnswer);
        if (records.error == make_error_code(DnsError::NoRecords))
            ttl = settings_.negativeTtl;
    } else {
        records.error = FromAresStatus(status);
        if (status == ARES_ENOTFOUND || status == ARES_ENODATA) {
            const auto soa = detail::NegativeTtl(answer.data(), answer.size());
            ttl = soa ? std::min(std::chrono::seconds(*soa), settings_.negativeTtl) : settings_.negativeTtl;
        }
    }
    // Only definite negative answers are kept; a timeout or server failure is asked again next time.
    const bool negative = records.error == make_error_code(DnsError::NotFound) ||
                          records.error == make_error_code(DnsError::NoRecords);
    if (records.error && !negative)
        ttl = std::chrono::seconds{0};
    ZEL_LOG(Debug, "DNS: answer {} {}: {} ({} s)", ToString(key.first), key.second,
            records.error ? records.error.message() : std::string("ok"), ttl.count());
    cache_.Store(key.first, key.second, records, ttl, now);
    Deliver(key, records);
}

void DnsClient::Deliver(const Key& key, const RecordSet& records) {
    const auto it = waiting_.find(key);
    if (it == waiting_.end())
        return;
    std::vector<Handler> waiters = std::move(it->second);
    waiting_.erase(it);
    const std::weak_ptr<int> alive = alive_;
    for (auto& waiter : waiters) {
        // A handler may destroy this client; the remaining ones are then dropped.
        if (alive.expired())
            return;
        waiter(records);
    }
}

} // namespace zel::sip::stack

#pragma once

#include "stack/dns/DnsCache.h"
#include "stack/dns/DnsRecords.h"
#include "stack/dns/DnsSettings.h"

#include <boost/asio/io_context.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zel::sip::stack {

namespace detail {
class AresChannel;
}

/// Typed DNS questions (NAPTR, SRV, A, AAAA) over c-ares, with a cache by TTL and negative caching
/// of NXDOMAIN and NODATA. Questions already on the wire are not asked twice: later askers wait for the
/// same answer. A and AAAA questions look in the hosts file first when the settings say so.
///
/// Thread rules: construct, use and destroy on the thread that runs the io_context (or while it is not
/// running). Handlers run on the io_context, never inside Query(). Destroying the client drops every
/// outstanding question: its handler is never called.
class DnsClient {
public:
    using Handler = std::function<void(const RecordSet&)>;

    /// Raises std::invalid_argument for bad settings and std::runtime_error when c-ares cannot start.
    DnsClient(boost::asio::io_context& io, const DnsSettings& settings);
    ~DnsClient();

    DnsClient(const DnsClient&) = delete;
    DnsClient& operator=(const DnsClient&) = delete;

    /// Asks for the records of `type` at `name`; the answer (records or an error) reaches `handler`.
    void Query(RecordType type, const std::string& name, Handler handler);

    /// Drops every cached answer.
    void ClearCache() noexcept { cache_.Clear(); }

    const DnsCache& Cache() const noexcept { return cache_; }

private:
    using Key = std::pair<RecordType, std::string>;

    bool FromHostsFile(RecordType type, const std::string& name, RecordSet& records) const;
    void OnAnswer(const Key& key, int status, const std::vector<unsigned char>& answer);
    void Deliver(const Key& key, const RecordSet& records);

    boost::asio::io_context& io_;
    DnsSettings settings_;
    DnsCache cache_;
    std::unique_ptr<detail::AresChannel> channel_;
    /// Askers waiting for a question on the wire, by question.
    std::map<Key, std::vector<Handler>> waiting_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace zel::sip::stack

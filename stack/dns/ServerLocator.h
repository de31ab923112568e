#pragma once

#include "stack/dns/Blacklist.h"
#include "stack/dns/Destination.h"
#include "stack/dns/DnsClient.h"
#include "stack/dns/DnsSettings.h"
#include "stack/dns/Target.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <system_error>

namespace zel::sip::stack {

/// Locates SIP servers as RFC 3263 section 4 says: chooses the transport, follows NAPTR and SRV
/// records (RFC 3403, RFC 2782) and looks up A and AAAA records, and hands back the ordered targets
/// for failover (section 4.3). Numeric hosts and explicit ports skip the look-ups they make
/// pointless. Answers are cached by TTL (DnsClient). Targets reported as failed are tried last for
/// a while (DnsSettings::blacklistTime).
///
/// Thread rules: construct, use and destroy on the thread that runs the io_context (or while it is
/// not running); the stack's event thread in the stack. The io_context must outlive the locator. No thread is started: c-ares' sockets and
/// timeouts are driven by the io_context.
///
/// Handlers: each Locate() handler is called exactly once on the io_context, never inside Locate(),
/// unless the request is cancelled first. Cancel() and destroying the locator cancel requests; a
/// cancelled request's handler is never called. A handler may destroy the locator.
class ServerLocator {
public:
    /// On success `error` is empty and `targets` holds at least one target; on failure `error` is a
    /// DnsError (NotFound, NoRecords, Timeout, ServerFailure, UnsupportedTransport, BadName, ...) and
    /// `targets` is empty.
    using Handler = std::function<void(std::error_code error, TargetList targets)>;
    using RequestId = std::uint64_t;

    /// Raises std::invalid_argument for bad settings (DnsSettings::Validate, a server list c-ares
    /// rejects) and std::runtime_error when c-ares cannot start.
    ServerLocator(boost::asio::io_context& io, DnsSettings settings);
    ~ServerLocator();

    ServerLocator(const ServerLocator&) = delete;
    ServerLocator& operator=(const ServerLocator&) = delete;

    /// Starts locating `destination`; returns an id for Cancel(). Bad input reaches the handler as an
    /// error (an empty or overlong host gives BadName); only an empty handler raises
    /// std::invalid_argument.
    RequestId Locate(const Destination& destination, Handler handler);

    /// Cancels a request: its handler will not be called. Unknown or finished ids are ignored.
    void Cancel(RequestId id) noexcept;

    /// Reports that `tuple` failed (transport error, timeout, 503): later results list it after the
    /// others until `duration` (by default DnsSettings::blacklistTime) has passed.
    void ReportFailure(const Tuple& tuple, std::optional<std::chrono::seconds> duration = std::nullopt);
    /// Reports that `tuple` answered: it is no longer listed last.
    void ReportSuccess(const Tuple& tuple) noexcept { blacklist_.Remove(tuple); }

    /// The DNS client underneath, for questions of other kinds and for its cache.
    DnsClient& Client() noexcept { return client_; }

private:
    void Complete(RequestId id, std::error_code error, std::vector<Target> targets);

    boost::asio::io_context& io_;
    DnsSettings settings_;
    DnsClient client_;
    Blacklist blacklist_;
    /// Draws the RFC 2782 weighted order. Not a CSPRNG, and it need not be: the order only spreads
    /// load among servers the DNS answer itself names; predicting it reveals nothing and lets a peer
    /// do nothing it could not do by choosing the records. Seeded per locator from random_device.
    std::mt19937 random_;
    RequestId nextId_ = 1;
    std::map<RequestId, Handler> pending_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace zel::sip::stack

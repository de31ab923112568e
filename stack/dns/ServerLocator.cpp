#include "stack/dns/ServerLocator.h"

#include "stack/dns/DnsError.h"
#include "stack/dns/LocationRules.h"
#include "stack/dns/detail/LocateOperation.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace zel::sip::stack {

namespace {

/// The host without IPv6 brackets.
std::string_view Unbracket(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

/// Lower case, without a trailing dot; empty when the name cannot be a domain name (RFC 1035
/// section 2.3.4: 255 octets, labels of 1 to 63 octets).
std::string QueryName(std::string_view host) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty() || host.size() > 253)
        return {};
    std::string name;
    std::size_t label = 0;
    for (const char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '.') {
            if (label == 0)
                return {};
            label = 0;
        } else if (++label > 63 || u <= ' ' || u == 0x7f) {
            return {};
        }
        name += static_cast<char>(std::tolower(u));
    }
    return name;
}

} // namespace

ServerLocator::ServerLocator(boost::asio::io_context& io, DnsSettings settings)
    : io_(io), settings_(std::move(settings)), client_(io, settings_), random_(std::random_device{}()) {}

ServerLocator::~ServerLocator() = default;

ServerLocator::RequestId ServerLocator::Locate(const Destination& destination, Handler handler) {
    if (!handler)
        throw std::invalid_argument("ServerLocator::Locate needs a handler");
    const RequestId id = nextId_++;
    pending_.emplace(id, std::move(handler));
    const std::string_view host = Unbracket(destination.host);

    boost::system::error_code parseError;
    const auto address = boost::asio::ip::make_address(std::string(host), parseError);
    if (!parseError) {
        // RFC 3263 section 4.1: a numeric host uses the transport parameter, else UDP for sip and
        // TLS for sips; section 4.2: the URI's port, else the transport's default.
        std::optional<TransportType> transport = destination.transport
                                                     ? TransportFor(*destination.transport, destination.secure)
                                                     : DefaultTransport(destination.secure, settings_.transports);
        if (transport && std::find(settings_.transports.begin(), settings_.transports.end(), *transport) ==
                             settings_.transports.end())
            transport.reset();
        if (!transport) {
            Complete(id, DnsError::UnsupportedTransport, {});
        } else {
            const std::uint16_t port = destination.port.value_or(DefaultPort(*transport));
            Complete(id, {}, {Target{{address, port, *transport}, std::string(host), {}}});
        }
        return id;
    }

    std::string name = QueryName(host);
    if (name.empty()) {
        Complete(id, DnsError::BadName, {});
        return id;
    }
    Destination named = destination;
    named.host = std::string(host);
    if (!named.host.empty() && named.host.back() == '.')
        named.host.pop_back();
    auto operation = std::make_shared<detail::LocateOperation>(
        client_, settings_, random_, std::move(named), std::move(name),
        [this, id](std::error_code error, std::vector<Target> targets) { Complete(id, error, std::move(targets)); });
    operation->Start();
    return id;
}

void ServerLocator::Cancel(RequestId id) noexcept { pending_.erase(id); }

void ServerLocator::ReportFailure(const Tuple& tuple, std::optional<std::chrono::seconds> duration) {
    blacklist_.Add(tuple, Blacklist::Clock::now() + duration.value_or(settings_.blacklistTime));
}

void ServerLocator::Complete(RequestId id, std::error_code error, std::vector<Target> targets) {
    // Always from the top of the loop: the handler may start requests or destroy the locator.
    boost::asio::post(io_, [this, alive = std::weak_ptr<int>(alive_), id, error, targets = std::move(targets)]() mutable {
        if (alive.expired())
            return;
        const auto it = pending_.find(id);
        if (it == pending_.end())
            return;
        Handler handler = std::move(it->second);
        pending_.erase(it);
        const auto now = Blacklist::Clock::now();
        std::stable_partition(targets.begin(), targets.end(),
                              [&](const Target& target) { return !blacklist_.Contains(target.tuple, now); });
        handler(error, TargetList(std::move(targets)));
    });
}

} // namespace zel::sip::stack

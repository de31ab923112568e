#include "stack/transport/detail/Endpoints.h"

#include <atomic>
#include <stdexcept>

namespace zel::sip::stack::detail {

boost::asio::ip::address BindAddress(const TransportOptions& options, TransportType type) {
    if (options.bindAddress.empty()) {
        if (options.ipVersion == IpVersion::V6)
            return boost::asio::ip::address_v6::any();
        return boost::asio::ip::address_v4::any();
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(options.bindAddress, error);
    if (error)
        throw std::invalid_argument("bad " + std::string(ToString(type)) + " transport address \"" +
                                    options.bindAddress + "\": not an IP address literal");
    if (!SameVersion(address, options.ipVersion))
        throw std::invalid_argument("bad " + std::string(ToString(type)) + " transport address \"" +
                                    options.bindAddress + "\": not an " +
                                    (options.ipVersion == IpVersion::V6 ? "IPv6" : "IPv4") + " address");
    return address;
}

void ThrowBindError(const std::error_code& error, TransportType type, const boost::asio::ip::address& address,
                    std::uint16_t port) {
    std::string where = ToString(Tuple{address, port, type});
    where.resize(where.rfind(' ')); // "address:port" without the transport name
    throw std::system_error(error, "cannot bind " + std::string(ToString(type)) + " transport to " + where);
}

std::uint64_t NextConnectionId() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

bool SameVersion(const boost::asio::ip::address& address, IpVersion version) noexcept {
    return address.is_v6() == (version == IpVersion::V6);
}

} // namespace zel::sip::stack::detail

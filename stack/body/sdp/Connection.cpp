#include "stack/body/sdp/Bandwidth.h"
#include "stack/body/sdp/Connection.h"
#include "stack/body/sdp/Origin.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/ip/address.hpp>

namespace zel::sip::stack::sdp {

std::string_view ToString(AddrType type) noexcept {
    switch (type) {
    case AddrType::IP4:
        return "IP4";
    case AddrType::IP6:
        return "IP6";
    }
    return "IP4";
}

std::optional<AddrType> AddrTypeFromString(std::string_view text) noexcept {
    if (boost::algorithm::iequals(text, "IP4")) {
        return AddrType::IP4;
    }
    if (boost::algorithm::iequals(text, "IP6")) {
        return AddrType::IP6;
    }
    return std::nullopt;
}

bool Connection::IsUnspecified() const noexcept {
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address(address, ec);
    if (ec) {
        return false;
    }
    return parsed.is_unspecified() && parsed.is_v4() == (addrType == AddrType::IP4);
}

std::string Connection::Encode() const {
    std::string text = netType;
    text.append(1, ' ').append(ToString(addrType)).append(1, ' ').append(address);
    if (ttl) {
        text.append(1, '/').append(std::to_string(*ttl));
    }
    if (numberOfAddresses) {
        text.append(1, '/').append(std::to_string(*numberOfAddresses));
    }
    return text;
}

std::string Origin::Encode() const {
    std::string text = userName;
    text.append(1, ' ').append(std::to_string(sessionId));
    text.append(1, ' ').append(std::to_string(sessionVersion));
    text.append(1, ' ').append(netType);
    text.append(1, ' ').append(ToString(addrType));
    text.append(1, ' ').append(address);
    return text;
}

std::string Bandwidth::Encode() const { return type + ':' + std::to_string(value); }

} // namespace zel::sip::stack::sdp

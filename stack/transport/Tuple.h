#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel::sip::stack {

/// The transport protocols a SIP message can travel over.
enum class TransportType : std::uint8_t { UDP, TCP, TLS, DTLS, WS, WSS };

/// The transport's name as SIP writes it in Via and traces: "UDP", "TCP", "TLS", "DTLS", "WS", "WSS".
std::string_view ToString(TransportType type) noexcept;

/// Parses a transport name without regard to case ("udp", "TLS", ...).
std::optional<TransportType> ParseTransportType(std::string_view name) noexcept;

/// True for the transports that keep message boundaries themselves (UDP and DTLS datagrams).
constexpr bool IsDatagram(TransportType type) noexcept {
    return type == TransportType::UDP || type == TransportType::DTLS;
}

/// True for the transports with a TLS or DTLS layer.
constexpr bool IsSecure(TransportType type) noexcept {
    return type == TransportType::TLS || type == TransportType::DTLS || type == TransportType::WSS;
}

/// One end of a transport flow: address, port and transport.
///
/// `connectionId` names one connection of a stream transport (TCP, TLS, WS, WSS): a received
/// message's source carries the id of the connection it came over, so a response sent to that
/// Tuple leaves on the same connection (RFC 3261 section 18.2.2, RFC 5626 flows). 0 means "any
/// connection to this address and port, or a new one". Datagram transports leave it 0.
struct Tuple {
    boost::asio::ip::address address;
    std::uint16_t port = 0;
    TransportType transport = TransportType::UDP;
    std::uint64_t connectionId = 0;

    friend bool operator==(const Tuple&, const Tuple&) = default;
};

/// "address:port TRANSPORT", the address in brackets when it is IPv6 ("[2001:db8::1]:5060 UDP").
std::string ToString(const Tuple& tuple);

} // namespace zel::sip::stack

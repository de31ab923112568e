#pragma once

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::stack::stun {

/// The fixed value in every STUN header (RFC 5389 section 6).
constexpr std::uint32_t kMagicCookie = 0x2112A442;
constexpr std::size_t kHeaderSize = 20;
/// The Binding method, the only one SIP outbound keep-alives use (RFC 5626 section 4.4.2).
constexpr std::uint16_t kBindingMethod = 0x001;

using TransactionId = std::array<std::uint8_t, 12>;

enum class MessageClass : std::uint8_t { Request, Indication, SuccessResponse, ErrorResponse };

/// An address and port carried by a (XOR-)MAPPED-ADDRESS attribute.
struct TransportAddress {
    boost::asio::ip::address address;
    std::uint16_t port = 0;
    friend bool operator==(const TransportAddress&, const TransportAddress&) = default;
};

/// What we read from a STUN message; attributes we have no use for are skipped.
struct Message {
    MessageClass messageClass = MessageClass::Request;
    std::uint16_t method = 0;
    TransactionId transactionId{};
    /// XOR-MAPPED-ADDRESS, else the older MAPPED-ADDRESS (RFC 5389 section 15.1, 15.2).
    std::optional<TransportAddress> mappedAddress;
    /// ERROR-CODE of an error response: class * 100 + number.
    std::optional<std::uint16_t> errorCode;
    /// Comprehension-required attribute types (below 0x8000) we do not understand.
    std::vector<std::uint16_t> unknownRequired;
    bool hasFingerprint = false;
};

/// The outcome of `Parse`: a message, or the reason the bytes are not a valid STUN message.
struct ParseResult {
    std::optional<Message> message;
    std::string_view error;
};

/// True when `datagram` has the shape of a STUN message and so cannot be SIP: first two bits zero
/// (a first byte of 0x00 or 0x01), the magic cookie, a length that is a multiple of 4 and matches
/// the datagram (RFC 5389 section 6, RFC 5626 section 4.4.2). Cheap; reads only the header.
bool LooksLikeStun(std::string_view datagram) noexcept;

/// Parses a whole STUN message with every length checked against the bytes given. A FINGERPRINT,
/// when present, must be the last attribute and must match (RFC 5389 section 15.5). Never raises;
/// errors are values.
ParseResult Parse(std::string_view bytes);

/// A fresh random 96-bit transaction id (RFC 5389 section 6), from OpenSSL's generator.
TransactionId RandomTransactionId();

/// A Binding request with no attributes but, when `fingerprint` is set, FINGERPRINT.
std::string MakeBindingRequest(const TransactionId& id, bool fingerprint = true);

/// A Binding success response telling the client the address it was seen from, in
/// XOR-MAPPED-ADDRESS, followed by FINGERPRINT.
std::string MakeBindingSuccess(const TransactionId& id, const TransportAddress& mapped);

/// A Binding error response (e.g. 400, or 420 with the UNKNOWN-ATTRIBUTES listed), with FINGERPRINT.
std::string MakeBindingError(const TransactionId& id, std::uint16_t code, std::string_view reason,
                             const std::vector<std::uint16_t>& unknownAttributes = {});

/// The answer a Binding server gives to `request` received from `source` (RFC 5389 section 7.3.1):
/// a success response, or 420 when the request has comprehension-required attributes we do not
/// know. Empty for anything that is not a Binding request (which is then silently dropped).
std::string AnswerBindingRequest(const Message& request, const TransportAddress& source);

} // namespace zel::sip::stack::stun

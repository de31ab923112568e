// STUN messages (RFC 5389) as far as SIP outbound keep-alives need them (RFC 5626 section 4.4.2):
// Binding requests and responses with XOR-MAPPED-ADDRESS, ERROR-CODE and FINGERPRINT.

#include "stack/transport/Stun.h"

#include <boost/crc.hpp>

#include <openssl/rand.h>

#include <stdexcept>

namespace zel::sip::stack::stun {

namespace {

constexpr std::uint16_t kMappedAddress = 0x0001;
constexpr std::uint16_t kErrorCode = 0x0009;
constexpr std::uint16_t kUnknownAttributes = 0x000A;
constexpr std::uint16_t kXorMappedAddress = 0x0020;
constexpr std::uint16_t kFingerprint = 0x8028;
constexpr std::uint32_t kFingerprintXor = 0x5354554e;
constexpr std::uint16_t kAttributeHeaderSize = 4;

std::uint16_t Read16(std::string_view bytes, std::size_t at) noexcept {
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(bytes[at]) << 8) | static_cast<std::uint8_t>(bytes[at + 1]));
}

std::uint32_t Read32(std::string_view bytes, std::size_t at) noexcept {
    return (std::uint32_t{Read16(bytes, at)} << 16) | Read16(bytes, at + 2);
}

void Append16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
}

void Append32(std::string& out, std::uint32_t value) {
    Append16(out, static_cast<std::uint16_t>(value >> 16));
    Append16(out, static_cast<std::uint16_t>(value & 0xFFFF));
}

/// The 14-bit message type: method bits interleaved with the two class bits (RFC 5389 section 6).
std::uint16_t EncodeType(std::uint16_t method, MessageClass messageClass) noexcept {
    const auto c = static_cast<std::uint16_t>(messageClass);
    return static_cast<std::uint16_t>((method & 0x000F) | ((method & 0x0070) << 1) | ((method & 0x0F80) << 2) |
                                      ((c & 2) << 7) | ((c & 1) << 4));
}

std::uint32_t Crc32(std::string_view bytes) noexcept {
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return crc.checksum();
}

/// (XOR-)MAPPED-ADDRESS value: reserved, family, port, address (RFC 5389 sections 15.1, 15.2).
std::optional<TransportAddress> ParseAddress(std::string_view value, bool xored, const TransactionId& id) {
    if (value.size() < 4)
        return std::nullopt;
    const auto family = static_cast<std::uint8_t>(value[1]);
    std::uint16_t port = Read16(value, 2);
    if (xored)
        port ^= static_cast<std::uint16_t>(kMagicCookie >> 16);
    if (family == 0x01 && value.size() == 8) {
        std::uint32_t address = Read32(value, 4);
        if (xored)
            address ^= kMagicCookie;
        return TransportAddress{boost::asio::ip::address_v4(address), port};
    }
    if (family == 0x02 && value.size() == 20) {
        boost::asio::ip::address_v6::bytes_type address{};
        std::array<std::uint8_t, 16> mask{0x21, 0x12, 0xA4, 0x42};
        std::copy(id.begin(), id.end(), mask.begin() + 4);
        for (std::size_t i = 0; i < 16; ++i)
            address[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(value[4 + i]) ^ (xored ? mask[i] : 0));
        return TransportAddress{boost::asio::ip::address_v6(address), port};
    }
    return std::nullopt;
}

std::string Header(MessageClass messageClass, const TransactionId& id) {
    std::string out;
    out.reserve(64);
    Append16(out, EncodeType(kBindingMethod, messageClass));
    Append16(out, 0); // length, set by Finish
    Append32(out, kMagicCookie);
    out.append(reinterpret_cast<const char*>(id.data()), id.size());
    return out;
}

void AppendAttribute(std::string& out, std::uint16_t type, std::string_view value) {
    Append16(out, type);
    Append16(out, static_cast<std::uint16_t>(value.size()));
    out += value;
    out.append((4 - value.size() % 4) % 4, '\0');
}

void SetLength(std::string& out) {
    const auto length = static_cast<std::uint16_t>(out.size() - kHeaderSize);
    out[2] = static_cast<char>(length >> 8);
    out[3] = static_cast<char>(length & 0xFF);
}

/// Adds FINGERPRINT: the CRC-32 of everything before it, the length already counting it.
void Finish(std::string& out, bool fingerprint) {
    if (fingerprint) {
        out.resize(out.size() + 8);
        SetLength(out);
        out.resize(out.size() - 8);
        const std::uint32_t crc = Crc32(out) ^ kFingerprintXor;
        std::string value;
        Append32(value, crc);
        AppendAttribute(out, kFingerprint, value);
    }
    SetLength(out);
}

} // namespace

bool LooksLikeStun(std::string_view datagram) noexcept {
    if (datagram.size() < kHeaderSize || (static_cast<std::uint8_t>(datagram[0]) & 0xC0) != 0)
        return false;
    const std::uint16_t length = Read16(datagram, 2);
    return Read32(datagram, 4) == kMagicCookie && length % 4 == 0 && kHeaderSize + length == datagram.size();
}

ParseResult Parse(std::string_view bytes) {
    if (bytes.size() < kHeaderSize)
        return {std::nullopt, "shorter than a STUN header"};
    if (!LooksLikeStun(bytes))
        return {std::nullopt, "bad STUN header"};
    Message message;
    const std::uint16_t type = Read16(bytes, 0);
    message.method = static_cast<std::uint16_t>((type & 0x000F) | ((type & 0x00E0) >> 1) | ((type & 0x3E00) >> 2));
    message.messageClass = static_cast<MessageClass>(((type & 0x0100) >> 7) | ((type & 0x0010) >> 4));
    std::copy(bytes.begin() + 8, bytes.begin() + 20, message.transactionId.begin());

    std::optional<TransportAddress> plainMapped;
    std::size_t at = kHeaderSize;
    while (at < bytes.size()) {
        if (message.hasFingerprint)
            return {std::nullopt, "attribute after FINGERPRINT"};
        if (bytes.size() - at < kAttributeHeaderSize)
            return {std::nullopt, "truncated attribute header"};
        const std::uint16_t attribute = Read16(bytes, at);
        const std::uint16_t length = Read16(bytes, at + 2);
        const std::size_t padded = (std::size_t{length} + 3) & ~std::size_t{3};
        if (bytes.size() - at - kAttributeHeaderSize < padded)
            return {std::nullopt, "attribute longer than the message"};
        const std::string_view value = bytes.substr(at + kAttributeHeaderSize, length);
        switch (attribute) {
        case kXorMappedAddress:
            message.mappedAddress = ParseAddress(value, true, message.transactionId);
            if (!message.mappedAddress)
                return {std::nullopt, "bad XOR-MAPPED-ADDRESS"};
            break;
        case kMappedAddress:
            plainMapped = ParseAddress(value, false, message.transactionId);
            if (!plainMapped)
                return {std::nullopt, "bad MAPPED-ADDRESS"};
            break;
        case kErrorCode: {
            if (value.size() < 4)
                return {std::nullopt, "bad ERROR-CODE"};
            const int errorClass = static_cast<std::uint8_t>(value[2]) & 0x07;
            const int number = static_cast<std::uint8_t>(value[3]);
            if (errorClass < 3 || errorClass > 6 || number > 99)
                return {std::nullopt, "bad ERROR-CODE"};
            message.errorCode = static_cast<std::uint16_t>(errorClass * 100 + number);
            break;
        }
        case kFingerprint:
            if (length != 4)
                return {std::nullopt, "bad FINGERPRINT"};
            if ((Crc32(bytes.substr(0, at)) ^ kFingerprintXor) != Read32(value, 0))
                return {std::nullopt, "FINGERPRINT does not match"};
            message.hasFingerprint = true;
            break;
        default:
            if (attribute < 0x8000 && message.unknownRequired.size() < 16)
                message.unknownRequired.push_back(attribute);
            break;
        }
        at += kAttributeHeaderSize + padded;
    }
    if (!message.mappedAddress)
        message.mappedAddress = plainMapped;
    return {std::move(message), {}};
}

TransactionId RandomTransactionId() {
    TransactionId id{};
    if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1)
        throw std::runtime_error("no random data for a STUN transaction id");
    return id;
}

std::string MakeBindingRequest(const TransactionId& id, bool fingerprint) {
    std::string out = Header(MessageClass::Request, id);
    Finish(out, fingerprint);
    return out;
}

std::string MakeBindingSuccess(const TransactionId& id, const TransportAddress& mapped) {
    std::string out = Header(MessageClass::SuccessResponse, id);
    std::string value;
    value += '\0';
    value += static_cast<char>(mapped.address.is_v6() ? 0x02 : 0x01);
    Append16(value, static_cast<std::uint16_t>(mapped.port ^ (kMagicCookie >> 16)));
    if (mapped.address.is_v4()) {
        Append32(value, mapped.address.to_v4().to_uint() ^ kMagicCookie);
    } else {
        const auto address = mapped.address.to_v6().to_bytes();
        std::array<std::uint8_t, 16> mask{0x21, 0x12, 0xA4, 0x42};
        std::copy(id.begin(), id.end(), mask.begin() + 4);
        for (std::size_t i = 0; i < 16; ++i)
            value += static_cast<char>(address[i] ^ mask[i]);
    }
    AppendAttribute(out, kXorMappedAddress, value);
    Finish(out, true);
    return out;
}

std::string MakeBindingError(const TransactionId& id, std::uint16_t code, std::string_view reason,
                             const std::vector<std::uint16_t>& unknownAttributes) {
    std::string out = Header(MessageClass::ErrorResponse, id);
    std::string value(2, '\0');
    value += static_cast<char>(code / 100);
    value += static_cast<char>(code % 100);
    value += reason.substr(0, 127);
    AppendAttribute(out, kErrorCode, value);
    if (!unknownAttributes.empty()) {
        std::string types;
        for (const auto type : unknownAttributes)
            Append16(types, type);
        AppendAttribute(out, kUnknownAttributes, types);
    }
    Finish(out, true);
    return out;
}

std::string AnswerBindingRequest(const Message& request, const TransportAddress& source) {
    if (request.messageClass != MessageClass::Request || request.method != kBindingMethod)
        return {};
    if (!request.unknownRequired.empty())
        return MakeBindingError(request.transactionId, 420, "Unknown Attribute", request.unknownRequired);
    return MakeBindingSuccess(request.transactionId, source);
}

} // namespace zel::sip::stack::stun

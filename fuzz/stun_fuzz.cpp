// libFuzzer target: the STUN parser that sees every STUN-shaped datagram reaching a UDP transport.
// Whatever parses must be answerable, and every message we build from it must parse back to the
// same transaction and mapped address.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "stack/transport/Stun.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace stun = zel::sip::stack::stun;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto result = stun::Parse(bytes);
    if (!result.message) {
        if (result.error.empty())
            __builtin_trap();
        return 0;
    }
    if (!stun::LooksLikeStun(bytes))
        __builtin_trap();
    const auto& message = *result.message;
    const stun::TransportAddress source =
        message.mappedAddress.value_or(stun::TransportAddress{boost::asio::ip::address_v4::loopback(), 5060});
    const auto answer = stun::AnswerBindingRequest(message, source);
    if (!answer.empty()) {
        const auto parsed = stun::Parse(answer);
        if (!parsed.message || parsed.message->transactionId != message.transactionId)
            __builtin_trap();
        if (message.unknownRequired.empty() && parsed.message->mappedAddress != source)
            __builtin_trap();
    }
    return 0;
}

#include "stack/transport/Tuple.h"

#include <boost/algorithm/string/predicate.hpp>

#include <array>
#include <utility>

namespace zel::sip::stack {

namespace {

constexpr std::array<std::pair<TransportType, std::string_view>, 6> kNames{{
    {TransportType::UDP, "UDP"},
    {TransportType::TCP, "TCP"},
    {TransportType::TLS, "TLS"},
    {TransportType::DTLS, "DTLS"},
    {TransportType::WS, "WS"},
    {TransportType::WSS, "WSS"},
}};

} // namespace

std::string_view ToString(TransportType type) noexcept {
    for (const auto& [value, name] : kNames)
        if (value == type)
            return name;
    return "UNKNOWN";
}

std::optional<TransportType> ParseTransportType(std::string_view name) noexcept {
    for (const auto& [value, text] : kNames)
        if (boost::algorithm::iequals(text, name))
            return value;
    return std::nullopt;
}

std::string ToString(const Tuple& tuple) {
    std::string text;
    const bool v6 = tuple.address.is_v6();
    if (v6)
        text += '[';
    text += tuple.address.to_string();
    if (v6)
        text += ']';
    text += ':';
    text += std::to_string(tuple.port);
    text += ' ';
    text += ToString(tuple.transport);
    return text;
}

} // namespace zel::sip::stack

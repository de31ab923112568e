#pragma once

// Small helpers shared by the transaction layer's source files.

#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include "stack/transaction/TransactionAction.h"
#include "stack/transaction/TransactionUserMessage.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack::detail {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

template <class T>
constexpr bool kIsCore = !std::is_same_v<std::decay_t<T>, std::monostate>;

inline TransactionUserMessage::Kind ToMessageKind(TuEventKind kind) noexcept {
    switch (kind) {
    case TuEventKind::ResponseReceived:
        return TransactionUserMessage::Kind::Response;
    case TuEventKind::RequestReceived:
        return TransactionUserMessage::Kind::Request;
    case TuEventKind::Timeout:
        return TransactionUserMessage::Kind::Timeout;
    case TuEventKind::TransportError:
        return TransactionUserMessage::Kind::TransportError;
    case TuEventKind::Terminated:
        return TransactionUserMessage::Kind::Terminated;
    }
    return TransactionUserMessage::Kind::Terminated;
}

/// Same address, port and transport; the connection id is left out (a client transaction sends with
/// 0 and the transport may name the connection it picked).
inline bool SamePeer(const Tuple& a, const Tuple& b) noexcept {
    return a.address == b.address && a.port == b.port && a.transport == b.transport;
}

inline std::string_view Unbracketed(std::string_view host) noexcept {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

inline TransactionUserMessage EventFor(TransactionId id, TransactionUserMessage::Kind kind, std::error_code error = {}) {
    TransactionUserMessage message;
    message.kind = kind;
    message.transaction = id;
    message.error = error;
    return message;
}


} // namespace zel::sip::stack::detail

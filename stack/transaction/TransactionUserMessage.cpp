#include "stack/transaction/TransactionUserMessage.h"

namespace zel::sip::stack {

std::string_view ToString(TransactionUserMessage::Kind kind) noexcept {
    switch (kind) {
    case TransactionUserMessage::Kind::Request:
        return "Request";
    case TransactionUserMessage::Kind::Response:
        return "Response";
    case TransactionUserMessage::Kind::Timeout:
        return "Timeout";
    case TransactionUserMessage::Kind::TransportError:
        return "TransportError";
    case TransactionUserMessage::Kind::Terminated:
        return "Terminated";
    case TransactionUserMessage::Kind::ResponseRefused:
        return "ResponseRefused";
    case TransactionUserMessage::Kind::FlowFailed:
        return "FlowFailed";
    case TransactionUserMessage::Kind::ConnectionClosed:
        return "ConnectionClosed";
    }
    return "?";
}

} // namespace zel::sip::stack

#include "stack/transaction/TransactionEvent.h"

namespace zel::sip::stack {

std::string_view ToString(TransactionEvent::Kind kind) noexcept {
    switch (kind) {
    case TransactionEvent::Kind::RequestFromTransport: return "RequestFromTransport";
    case TransactionEvent::Kind::ResponseFromTransport: return "ResponseFromTransport";
    case TransactionEvent::Kind::ResponseFromTu: return "ResponseFromTu";
    case TransactionEvent::Kind::TimerFired: return "TimerFired";
    case TransactionEvent::Kind::TransportError: return "TransportError";
    }
    return "?";
}

} // namespace zel::sip::stack

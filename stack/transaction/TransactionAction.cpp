#include "stack/transaction/TransactionAction.h"

namespace zel::sip::stack {

std::string_view ToString(TuEventKind kind) noexcept {
    switch (kind) {
    case TuEventKind::ResponseReceived: return "ResponseReceived";
    case TuEventKind::RequestReceived: return "RequestReceived";
    case TuEventKind::Timeout: return "Timeout";
    case TuEventKind::TransportError: return "TransportError";
    case TuEventKind::Terminated: return "Terminated";
    }
    return "?";
}

} // namespace zel::sip::stack

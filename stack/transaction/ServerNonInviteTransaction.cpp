// The non-INVITE server transaction, RFC 3261 section 17.2.2 (figure 8).
//
//                                   |Request received
//                                   |pass to TU
//                                   V
//                             +-----------+
//                             |           |
//                             | Trying    |-------------+
//                             |           |             |
//                             +-----------+             |200-699 from TU
//                                   |                   |send response
//                                   |1xx from TU        |
//                                   |send response      |
//                                   |                   |
//                Request            V      1xx from TU  |
//                send response+-----------+send response|
//                    +--------|           |--------+    |
//                    |        | Proceeding|        |    |
//                    +------->|           |<-------+    |
//             +<--------------|           |             |
//             |Trnsprt Err    +-----------+             |
//             |Inform TU            |                   |
//             |                     |                   |
//             |                     |200-699 from TU    |
//             |                     |send response      |
//             |  Request            V                   |
//             |  send response+-----------+             |
//             |      +--------|           |             |
//             |      |        | Completed |<------------+
//             |      +------->|           |
//             +<--------------|           |
//             |Trnsprt Err    +-----------+
//             |Inform TU            |
//             |                     |Timer J fires
//             |                     |-
//             |                     |
//             |                     V
//             |               +-----------+
//             |               |           |
//             +-------------->| Terminated|
//                             |           |
//                             +-----------+
//
// Retransmissions in Trying are absorbed. Reliable transports: Completed ends at once (timer J is
// zero).

#include "stack/transaction/ServerNonInviteTransaction.h"

#include <stdexcept>
#include <utility>

namespace zel::sip::stack {

std::string_view ToString(ServerNonInviteTransaction::State state) noexcept {
    switch (state) {
    case ServerNonInviteTransaction::State::Trying: return "Trying";
    case ServerNonInviteTransaction::State::Proceeding: return "Proceeding";
    case ServerNonInviteTransaction::State::Completed: return "Completed";
    case ServerNonInviteTransaction::State::Terminated: return "Terminated";
    }
    return "?";
}

ServerNonInviteTransaction::ServerNonInviteTransaction(SipMessage request, TransportType transport,
                                                       const TransactionClock& clock, const TimerValues& timers)
    : context_(clock, timers, transport), key_(detail::CheckedServerKey(request, false)), request_(std::move(request)) {}

TransactionActions ServerNonInviteTransaction::Start() {
    if (started_) {
        return {};
    }
    started_ = true;
    context_.Report(TuEventKind::RequestReceived, std::make_shared<SipMessage>(std::move(request_)));
    return context_.Take();
}

TransactionActions ServerNonInviteTransaction::Handle(TransactionEvent event) {
    if (event.kind == TransactionEvent::Kind::ResponseFromTu && !event.message.IsResponse()) {
        throw std::invalid_argument("a server transaction sends responses only");
    }
    if (!started_) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::TimerFired && !context_.ConsumeFiring(event.timer)) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::RequestFromTransport && ServerTransactionKey(event.message) != key_) {
        return {};
    }
    switch (state_) {
    case State::Trying: OnTrying(event); break;
    case State::Proceeding: OnProceeding(event); break;
    case State::Completed: OnCompleted(event); break;
    case State::Terminated: break;
    }
    return context_.Take();
}

void ServerNonInviteTransaction::OnTrying(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::ResponseFromTu: OnResponseFromTu(std::move(event.message)); return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::RequestFromTransport: // absorbed until the TU answers
    case TransactionEvent::Kind::TimerFired:
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerNonInviteTransaction::OnProceeding(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::RequestFromTransport: context_.Send(lastResponse_, true); return;
    case TransactionEvent::Kind::ResponseFromTu: OnResponseFromTu(std::move(event.message)); return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::TimerFired:
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerNonInviteTransaction::OnResponseFromTu(SipMessage response) {
    const int code = response.StatusCode();
    // A final response over an unreliable transport stays for timer J.
    lastResponse_ = code >= 200 && !context_.IsReliable() ? detail::KeptForRetransmission(std::move(response))
                                                          : std::make_shared<const SipMessage>(std::move(response));
    context_.Send(lastResponse_, false);
    if (code < 200) {
        state_ = State::Proceeding;
        return;
    }
    state_ = State::Completed;
    if (context_.IsReliable()) {
        Terminate();
    } else {
        context_.StartTimer(TransactionTimer::J, context_.Timers().Timeout());
    }
}

void ServerNonInviteTransaction::OnCompleted(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::RequestFromTransport: context_.Send(lastResponse_, true); return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::J) {
            Terminate();
        }
        return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::ResponseFromTu:
        throw std::logic_error("the server transaction has sent its final response already");
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerNonInviteTransaction::Terminate() {
    state_ = State::Terminated;
    context_.Terminate();
}

bool ServerNonInviteTransaction::AllowsResponse(const SipMessage& response) const noexcept {
    if (!response.IsResponse()) {
        return false;
    }
    switch (state_) {
    case State::Trying:
    case State::Proceeding: return true;
    case State::Completed:
    case State::Terminated: return false;
    }
    return false;
}

} // namespace zel::sip::stack

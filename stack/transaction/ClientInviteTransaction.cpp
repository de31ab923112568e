// The INVITE client transaction, RFC 3261 section 17.1.1.2 (figure 5) as corrected by RFC 6026
// section 7.2: a 2xx moves the transaction to Accepted, where further 2xx are passed to the TU
// until timer M fires, instead of the transaction ending at the first 2xx.
//
//                                  |INVITE from TU
//                Timer A fires     |INVITE sent      Timer B fires
//                Reset A,          V                 or Transport Err.
//                INVITE sent +-----------+           inform TU
//                  +---------|           |--------------------------+
//                  |         |  Calling  |                          |
//                  +-------->|           |-----------+              |
// 300-699                    +-----------+ 2xx       |              |
// ACK sent                      |  |       2xx to TU |              |
// resp. to TU                   |  |1xx              |              |
// +-----------------------------+  |1xx to TU        |              |
// |                                |                 |              |
// |                1xx           V                   |              |
// |                1xx to TU +-----------+           |              |
// |                +---------|           |           |              |
// |                |         |Proceeding |           |              |
// |                +-------->|           |           |              |
// |                          +-----------+ 2xx       |              |
// |         300-699             |          2xx to TU |              |
// |         ACK sent,  +--------+                    +---+          |
// |         resp. to TU|                                 |          |
// |                    |                                 V          |
// |                    V                           +-----------+    |
// |              +-----------+                     |           |    |
// |              |           |                     | Accepted  |<-+ 2xx
// +------------->| Completed |<-+ 300-699          |           |--+ 2xx to TU
//                |           |--+ ACK sent         +-----------+    |
//                +-----------+    (not to TU)            |          |
//                  |  ^                                  |Timer M   |
//                  |  |Transport Err.: inform TU         |fires     |
//  Timer D fires   |                                     V          |
//  -               |                               +-----------+    |
//                  +------------------------------>|Terminated |<---+
//                                                  +-----------+
//
// Reliable transports: no timer A, and Completed ends at once (timer D is zero).

#include "stack/transaction/ClientInviteTransaction.h"

#include <stdexcept>
#include <utility>

#include "stack/transaction/TransactionMessages.h"

namespace zel::sip::stack {

std::string_view ToString(ClientInviteTransaction::State state) noexcept {
    switch (state) {
    case ClientInviteTransaction::State::Calling: return "Calling";
    case ClientInviteTransaction::State::Proceeding: return "Proceeding";
    case ClientInviteTransaction::State::Accepted: return "Accepted";
    case ClientInviteTransaction::State::Completed: return "Completed";
    case ClientInviteTransaction::State::Terminated: return "Terminated";
    }
    return "?";
}

ClientInviteTransaction::ClientInviteTransaction(SipMessage invite, TransportType transport,
                                                 const TransactionClock& clock, const TimerValues& timers)
    : context_(clock, timers, transport), key_(detail::CheckedClientKey(invite, true)) {
    invite_ = std::make_shared<const SipMessage>(std::move(invite));
}

TransactionActions ClientInviteTransaction::Start() {
    if (started_) {
        return {};
    }
    started_ = true;
    context_.Send(invite_, false);
    if (!context_.IsReliable()) {
        timerA_ = context_.Timers().t1;
        context_.StartTimer(TransactionTimer::A, timerA_);
    }
    context_.StartTimer(TransactionTimer::B, context_.Timers().Timeout());
    return context_.Take();
}

TransactionActions ClientInviteTransaction::Handle(TransactionEvent event) {
    if (!started_) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::TimerFired && !context_.ConsumeFiring(event.timer)) {
        return {}; // cancelled or re-armed meanwhile
    }
    if (event.kind == TransactionEvent::Kind::ResponseFromTransport &&
        (ClientTransactionKey(event.message) != key_ || event.message.Peek<NameAddr>(HeaderType::To) == nullptr)) {
        return {}; // not ours, or without the To an ACK needs: malformed, dropped (RFC 3261 section 18.1.2)
    }
    switch (state_) {
    case State::Calling: OnCalling(event); break;
    case State::Proceeding: OnProceeding(event); break;
    case State::Accepted: OnAccepted(event); break;
    case State::Completed: OnCompleted(event); break;
    case State::Terminated: break;
    }
    return context_.Take();
}

void ClientInviteTransaction::OnCalling(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::ResponseFromTransport: OnResponse(std::move(event.message)); return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::A) {
            // RFC 3261 section 17.1.1.2: A doubles without a cap; timer B bounds the attempts.
            context_.Send(invite_, true);
            timerA_ *= 2;
            context_.StartTimer(TransactionTimer::A, timerA_);
        } else if (event.timer == TransactionTimer::B) {
            context_.Report(TuEventKind::Timeout);
            Terminate();
        }
        return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::RequestFromTransport:
    case TransactionEvent::Kind::ResponseFromTu: return;
    }
}

void ClientInviteTransaction::OnProceeding(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::ResponseFromTransport: OnResponse(std::move(event.message)); return;
    case TransactionEvent::Kind::TransportError:
        // Nothing is being sent in Proceeding; a late report about the INVITE changes nothing.
    case TransactionEvent::Kind::TimerFired:
    case TransactionEvent::Kind::RequestFromTransport:
    case TransactionEvent::Kind::ResponseFromTu: return;
    }
}

void ClientInviteTransaction::OnResponse(SipMessage response) {
    const int code = response.StatusCode();
    if (code < 200) {
        if (state_ == State::Calling) {
            // RFC 3261 section 17.1.1.2: no retransmissions in Proceeding; timer B is for Calling only.
            context_.CancelTimer(TransactionTimer::A);
            context_.CancelTimer(TransactionTimer::B);
            state_ = State::Proceeding;
        }
        context_.Report(TuEventKind::ResponseReceived, std::make_shared<SipMessage>(std::move(response)));
        return;
    }
    context_.CancelTimer(TransactionTimer::A);
    context_.CancelTimer(TransactionTimer::B);
    if (code < 300) {
        state_ = State::Accepted;
        context_.StartTimer(TransactionTimer::M, context_.Timers().Timeout());
        context_.Report(TuEventKind::ResponseReceived, std::make_shared<SipMessage>(std::move(response)));
        return;
    }
    state_ = State::Completed;
    ack_ = std::make_shared<const SipMessage>(MakeAckForFailure(*invite_, response));
    context_.Send(ack_, false);
    context_.Report(TuEventKind::ResponseReceived, std::make_shared<SipMessage>(std::move(response)));
    if (context_.IsReliable()) {
        Terminate();
    } else {
        context_.StartTimer(TransactionTimer::D, context_.Timers().TimerD());
    }
}

void ClientInviteTransaction::OnAccepted(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::ResponseFromTransport:
        // RFC 6026 section 7.2: every 2xx goes to the TU (forked 2xx, retransmissions); other
        // responses have no meaning after a 2xx and are absorbed.
        if (event.message.StatusCode() >= 200 && event.message.StatusCode() < 300) {
            context_.Report(TuEventKind::ResponseReceived, std::make_shared<SipMessage>(std::move(event.message)));
        }
        return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::M) {
            Terminate();
        }
        return;
    case TransactionEvent::Kind::TransportError:
    case TransactionEvent::Kind::RequestFromTransport:
    case TransactionEvent::Kind::ResponseFromTu: return;
    }
}

void ClientInviteTransaction::OnCompleted(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::ResponseFromTransport:
        // RFC 3261 section 17.1.1.2: a retransmitted final response is answered with the ACK
        // again and not passed up.
        if (event.message.StatusCode() >= 300) {
            context_.Send(ack_, true);
        }
        return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::D) {
            Terminate();
        }
        return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::RequestFromTransport:
    case TransactionEvent::Kind::ResponseFromTu: return;
    }
}

void ClientInviteTransaction::Terminate() {
    state_ = State::Terminated;
    context_.Terminate();
}

} // namespace zel::sip::stack

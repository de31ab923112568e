// The non-INVITE client transaction, RFC 3261 section 17.1.2.2 (figure 6).
//
//                                    |Request from TU
//                                    |send request
//                Timer E             V
//                send request  +-----------+
//                    +---------|           |-------------------+
//                    |         |  Trying   |  Timer F          |
//                    +-------->|           |  or Transport Err.|
//                              +-----------+  inform TU        |
//                 200-699         |  |                         |
//                 resp. to TU     |  |1xx                      |
//                 +---------------+  |resp. to TU              |
//                 |                  |                         |
//                 |   Timer E        V       Timer F           |
//                 |   send req +-----------+ or Transport Err. |
//                 |  +---------|           | inform TU         |
//                 |  |         |Proceeding |------------------>|
//                 |  +-------->|           |-----+             |
//                 |            +-----------+     |1xx          |
//                 |              |      ^        |resp to TU   |
//                 | 200-699      |      +--------+             |
//                 | resp. to TU  |                             |
//                 |              |                             |
//                 |              V                             |
//                 |            +-----------+                   |
//                 |            |           |                   |
//                 |            | Completed |                   |
//                 |            |           |                   |
//                 |            +-----------+                   |
//                 |              ^   |                         |
//                 |              |   | Timer K                 |
//                 +--------------+   | -                       |
//                                    |                         |
//                                    V                         |
//                              +-----------+                   |
//                              |           |                   |
//                              | Terminated|<------------------+
//                              |           |
//                              +-----------+
//
// Timer E starts at T1 and doubles up to T2 in Trying; in Proceeding it is T2. Reliable
// transports: no timer E, and Completed ends at once (timer K is zero).

#include "stack/transaction/ClientNonInviteTransaction.h"

#include <algorithm>
#include <utility>

namespace zel::sip::stack {

std::string_view ToString(ClientNonInviteTransaction::State state) noexcept {
    switch (state) {
    case ClientNonInviteTransaction::State::Trying: return "Trying";
    case ClientNonInviteTransaction::State::Proceeding: return "Proceeding";
    case ClientNonInviteTransaction::State::Completed: return "Completed";
    case ClientNonInviteTransaction::State::Terminated: return "Terminated";
    }
    return "?";
}

ClientNonInviteTransaction::ClientNonInviteTransaction(SipMessage request, TransportType transport,
                                                       const TransactionClock& clock, const TimerValues& timers)
    : context_(clock, timers, transport), key_(detail::CheckedClientKey(request, false)) {
    request_ = std::make_shared<const SipMessage>(std::move(request));
}

TransactionActions ClientNonInviteTransaction::Start() {
    if (started_) {
        return {};
    }
    started_ = true;
    context_.Send(request_, false);
    if (!context_.IsReliable()) {
        timerE_ = context_.Timers().t1;
        context_.StartTimer(TransactionTimer::E, timerE_);
    }
    context_.StartTimer(TransactionTimer::F, context_.Timers().Timeout());
    return context_.Take();
}

TransactionActions ClientNonInviteTransaction::Handle(TransactionEvent event) {
    if (!started_) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::TimerFired && !context_.ConsumeFiring(event.timer)) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::ResponseFromTransport && ClientTransactionKey(event.message) != key_) {
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

void ClientNonInviteTransaction::OnTrying(TransactionEvent& event) { OnActive(event); }

void ClientNonInviteTransaction::OnProceeding(TransactionEvent& event) { OnActive(event); }

// Trying and Proceeding differ only in the interval of timer E and in the state a provisional
// response leads to.
void ClientNonInviteTransaction::OnActive(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::ResponseFromTransport: {
        const bool isFinal = event.message.StatusCode() >= 200;
        if (isFinal) {
            context_.CancelTimer(TransactionTimer::E);
            context_.CancelTimer(TransactionTimer::F);
            state_ = State::Completed;
        } else {
            state_ = State::Proceeding;
        }
        context_.Report(TuEventKind::ResponseReceived, std::make_shared<SipMessage>(std::move(event.message)));
        if (isFinal) {
            if (context_.IsReliable()) {
                Terminate();
            } else {
                context_.StartTimer(TransactionTimer::K, context_.Timers().t4);
            }
        }
        return;
    }
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::E) {
            context_.Send(request_, true);
            timerE_ = state_ == State::Proceeding ? context_.Timers().t2 : std::min(2 * timerE_, context_.Timers().t2);
            context_.StartTimer(TransactionTimer::E, timerE_);
        } else if (event.timer == TransactionTimer::F) {
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

void ClientNonInviteTransaction::OnCompleted(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::K) {
            Terminate();
        }
        return;
    case TransactionEvent::Kind::ResponseFromTransport: // retransmissions are absorbed
    case TransactionEvent::Kind::TransportError:        // nothing is being sent
    case TransactionEvent::Kind::RequestFromTransport:
    case TransactionEvent::Kind::ResponseFromTu: return;
    }
}

void ClientNonInviteTransaction::Terminate() {
    state_ = State::Terminated;
    context_.Terminate();
}

} // namespace zel::sip::stack

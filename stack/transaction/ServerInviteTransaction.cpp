// The INVITE server transaction, RFC 3261 section 17.2.1 (figure 7) as corrected by RFC 6026
// section 7.1: a 2xx from the TU moves the transaction to Accepted, which absorbs INVITE
// retransmissions and passes the TU's 2xx retransmissions on until timer L fires, instead of the
// transaction ending at once.
//
//                               |INVITE
//                               |pass INV to TU
//            INVITE             V 100 Trying after 200 ms unless the TU answers first
//            send last resp. +-----------+
//               +------------|           |--------+ 101-199 from TU
//               |            | Proceeding|        | send response
//               +----------->|           |<-------+
//                            |           |          Transport Err.
//                            |           |          Inform TU
//                            |           |--------------------------------->+
//                            +-----------+                                  |
//               300-699 from TU |     |2xx from TU                          |
//               send response   |     |send response                        |
//                               |     +------------------+                  |
//            INVITE             V          Timer G fires |                  |
//            send response +-----------+   send response |                  |
//               +----------|           |----------+      |                  |
//               |          | Completed |          |      |                  |
//               +--------->|           |<---------+      V                  |
//                          +-----------+         +-------------+           |
//                            |    ^   |          |             |<-+ INVITE: -
//                 ACK        |    |   |Timer H   |  Accepted   |--+ 2xx from TU: send
//                 -          |    |   |or Tr.Err |             |<-+ ACK: pass to TU
//                            |    |   |inform TU +-------------+
//                            V    |   |                 |Timer L fires
//                   +-----------+ |   |                 |-
//                   | Confirmed |-+   |                 |
//                   +-----------+ ACK:-                 |
//                         |           |                 |
//                         |Timer I    |                 |
//                         V           V                 V
//                   +--------------------------------------------+
//                   |                 Terminated                 |
//                   +--------------------------------------------+
//
// Reliable transports: no timer G, and Confirmed ends at once (timer I is zero).

#include "stack/transaction/ServerInviteTransaction.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "stack/transaction/TransactionMessages.h"

namespace zel::sip::stack {

std::string_view ToString(ServerInviteTransaction::State state) noexcept {
    switch (state) {
    case ServerInviteTransaction::State::Proceeding: return "Proceeding";
    case ServerInviteTransaction::State::Completed: return "Completed";
    case ServerInviteTransaction::State::Confirmed: return "Confirmed";
    case ServerInviteTransaction::State::Accepted: return "Accepted";
    case ServerInviteTransaction::State::Terminated: return "Terminated";
    }
    return "?";
}

ServerInviteTransaction::ServerInviteTransaction(SipMessage invite, TransportType transport,
                                                 const TransactionClock& clock, const TimerValues& timers)
    : context_(clock, timers, transport),
      key_(detail::CheckedServerKey(invite, true)),
      inviteToTag_(detail::ToTagOf(invite)),
      invite_(std::move(invite)) {
    trying_ = std::make_shared<const SipMessage>(MakeTrying(invite_));
}

TransactionActions ServerInviteTransaction::Start() {
    if (started_) {
        return {};
    }
    started_ = true;
    context_.StartTimer(TransactionTimer::Trying, kTryingDelay);
    context_.Report(TuEventKind::RequestReceived, std::make_shared<SipMessage>(std::move(invite_)));
    return context_.Take();
}

TransactionActions ServerInviteTransaction::Handle(TransactionEvent event) {
    if (event.kind == TransactionEvent::Kind::ResponseFromTu && !event.message.IsResponse()) {
        throw std::invalid_argument("a server transaction sends responses only");
    }
    if (!started_) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::TimerFired && !context_.ConsumeFiring(event.timer)) {
        return {};
    }
    if (event.kind == TransactionEvent::Kind::RequestFromTransport && !IsOurs(event.message)) {
        return {};
    }
    switch (state_) {
    case State::Proceeding: OnProceeding(event); break;
    case State::Completed: OnCompleted(event); break;
    case State::Confirmed: OnConfirmed(event); break;
    case State::Accepted: OnAccepted(event); break;
    case State::Terminated: break;
    }
    return context_.Take();
}

// RFC 3261 section 17.2.3. With the magic cookie the key says it all. An RFC 2543 INVITE
// retransmission carries the INVITE's To tag, and its ACK the tag of our final response.
bool ServerInviteTransaction::IsOurs(const SipMessage& request) const {
    if (request.Method() != "INVITE" && request.Method() != "ACK") {
        return false;
    }
    if (ServerTransactionKey(request) != key_) {
        return false;
    }
    if (key_.IsRfc3261()) {
        return true;
    }
    const std::string toTag = detail::ToTagOf(request);
    return request.Method() == "INVITE" ? toTag == inviteToTag_ : toTag == responseToTag_;
}

void ServerInviteTransaction::OnProceeding(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::RequestFromTransport:
        if (event.message.Method() == "INVITE") {
            if (lastResponse_) {
                context_.Send(lastResponse_, true);
            } else {
                // The peer is retransmitting before our 200 ms have run out (a late timer): quench
                // it now rather than stay silent.
                SendTrying();
            }
        }
        return;
    case TransactionEvent::Kind::ResponseFromTu: OnResponseFromTu(std::move(event.message)); return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::Trying && !lastResponse_) {
            SendTrying();
        }
        return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerInviteTransaction::SendTrying() {
    context_.CancelTimer(TransactionTimer::Trying);
    lastResponse_ = trying_;
    context_.Send(trying_, false);
}

void ServerInviteTransaction::OnResponseFromTu(SipMessage response) {
    const int code = response.StatusCode();
    context_.CancelTimer(TransactionTimer::Trying);
    if (code >= 200) {
        // Read from the message as built: reading it from the kept text would parse the To there.
        responseToTag_ = detail::ToTagOf(response);
    }
    // A 3xx-6xx stays until the ACK comes or timer H fires.
    lastResponse_ = code >= 300 ? detail::KeptForRetransmission(std::move(response))
                                : std::make_shared<const SipMessage>(std::move(response));
    context_.Send(lastResponse_, false);
    // The TU has answered: a 100 of our own is never sent again.
    trying_.reset();
    if (code < 200) {
        return;
    }
    if (code < 300) {
        // In Accepted the TU retransmits its 2xx itself (RFC 6026 section 7.1), so the transaction
        // needs none of it for the 64*T1 it stays.
        lastResponse_.reset();
        state_ = State::Accepted;
        context_.StartTimer(TransactionTimer::L, context_.Timers().Timeout());
        return;
    }
    state_ = State::Completed;
    if (!context_.IsReliable()) {
        timerG_ = context_.Timers().t1;
        context_.StartTimer(TransactionTimer::G, timerG_);
    }
    context_.StartTimer(TransactionTimer::H, context_.Timers().Timeout());
}

void ServerInviteTransaction::OnCompleted(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::RequestFromTransport:
        if (event.message.Method() == "INVITE") {
            context_.Send(lastResponse_, true);
            return;
        }
        context_.CancelTimer(TransactionTimer::G);
        context_.CancelTimer(TransactionTimer::H);
        state_ = State::Confirmed;
        if (context_.IsReliable()) {
            Terminate();
        } else {
            context_.StartTimer(TransactionTimer::I, context_.Timers().t4);
        }
        return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::G) {
            context_.Send(lastResponse_, true);
            timerG_ = std::min(2 * timerG_, context_.Timers().t2);
            context_.StartTimer(TransactionTimer::G, timerG_);
        } else if (event.timer == TransactionTimer::H) {
            context_.Report(TuEventKind::Timeout);
            Terminate();
        }
        return;
    case TransactionEvent::Kind::TransportError:
        context_.Report(TuEventKind::TransportError);
        Terminate();
        return;
    case TransactionEvent::Kind::ResponseFromTu:
        throw std::logic_error("the INVITE server transaction has sent its final response already");
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerInviteTransaction::OnConfirmed(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::I) {
            Terminate();
        }
        return;
    case TransactionEvent::Kind::ResponseFromTu:
        throw std::logic_error("the INVITE server transaction has sent its final response already");
    case TransactionEvent::Kind::RequestFromTransport: // ACK and INVITE retransmissions are absorbed
    case TransactionEvent::Kind::TransportError:
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerInviteTransaction::OnAccepted(TransactionEvent& event) {
    switch (event.kind) {
    case TransactionEvent::Kind::RequestFromTransport:
        // RFC 6026 section 7.1: INVITE retransmissions are absorbed (the TU retransmits its 2xx);
        // an ACK that matches belongs to the TU.
        if (event.message.Method() == "ACK") {
            context_.Report(TuEventKind::RequestReceived, std::make_shared<SipMessage>(std::move(event.message)));
        }
        return;
    case TransactionEvent::Kind::ResponseFromTu:
        if (event.message.StatusCode() < 200 || event.message.StatusCode() >= 300) {
            throw std::logic_error("the INVITE server transaction has sent a 2xx; only 2xx may follow");
        }
        context_.Send(std::make_shared<const SipMessage>(std::move(event.message)), true);
        return;
    case TransactionEvent::Kind::TimerFired:
        if (event.timer == TransactionTimer::L) {
            Terminate();
        }
        return;
    case TransactionEvent::Kind::TransportError:
        // The TU's 2xx did not leave. The transaction stays to absorb INVITE retransmissions
        // (which would otherwise start a second transaction); the TU decides about the call.
        context_.Report(TuEventKind::TransportError);
        return;
    case TransactionEvent::Kind::ResponseFromTransport: return;
    }
}

void ServerInviteTransaction::Terminate() {
    state_ = State::Terminated;
    context_.Terminate();
}

bool ServerInviteTransaction::AllowsResponse(const SipMessage& response) const noexcept {
    if (!response.IsResponse()) {
        return false;
    }
    switch (state_) {
    case State::Proceeding: return true;
    case State::Accepted: return response.StatusCode() >= 200 && response.StatusCode() < 300;
    case State::Completed:
    case State::Confirmed:
    case State::Terminated: return false;
    }
    return false;
}

} // namespace zel::sip::stack

#include "stack/transaction/detail/TransactionContext.h"

#include <stdexcept>
#include <utility>

namespace zel::sip::stack::detail {

namespace {
std::size_t Index(TransactionTimer timer) noexcept { return static_cast<std::size_t>(timer); }
} // namespace

TransactionContext::TransactionContext(const TransactionClock& clock, const TimerValues& timers,
                                       TransportType transport)
    : clock_(clock), timers_(timers), reliable_(!IsDatagram(transport)) {
    timers_.Validate();
}

void TransactionContext::Send(std::shared_ptr<const SipMessage> message, bool isRetransmission) {
    actions_.emplace_back(SendAction{std::move(message), isRetransmission});
}

void TransactionContext::StartTimer(TransactionTimer timer, std::chrono::milliseconds duration) {
    deadlines_[Index(timer)] = clock_.Now() + duration;
    actions_.emplace_back(StartTimerAction{timer, duration});
}

void TransactionContext::CancelTimer(TransactionTimer timer) {
    if (deadlines_[Index(timer)]) {
        deadlines_[Index(timer)].reset();
        actions_.emplace_back(CancelTimerAction{timer});
    }
}

void TransactionContext::Report(TuEventKind kind, std::shared_ptr<SipMessage> message) {
    actions_.emplace_back(TuAction{kind, std::move(message)});
}

void TransactionContext::Terminate() {
    for (std::size_t i = 0; i < deadlines_.size(); ++i) {
        CancelTimer(static_cast<TransactionTimer>(i));
    }
    Report(TuEventKind::Terminated);
}

bool TransactionContext::ConsumeFiring(TransactionTimer timer) {
    auto& deadline = deadlines_[Index(timer)];
    if (!deadline || clock_.Now() < *deadline) {
        return false;
    }
    deadline.reset();
    return true;
}

TransactionActions TransactionContext::Take() {
    TransactionActions out;
    out.swap(actions_);
    return out;
}

std::shared_ptr<const SipMessage> KeptForRetransmission(SipMessage response) {
    SipMessage compact;
    if (SipMessage::TryParse(response.Encode(), compact).Ok()) {
        return std::make_shared<const SipMessage>(std::move(compact));
    }
    return std::make_shared<const SipMessage>(std::move(response));
}

std::string ToTagOf(const SipMessage& message) {
    const NameAddr* to = message.Peek<NameAddr>(HeaderType::To);
    const Parameter* tag = to != nullptr ? to->Params().Find("tag") : nullptr;
    return tag != nullptr ? tag->value : std::string();
}

TransactionKey CheckedClientKey(const SipMessage& request, bool invite) {
    if (!request.IsRequest()) {
        throw std::invalid_argument("a client transaction needs a request");
    }
    if (invite && request.Method() != "INVITE") {
        throw std::invalid_argument("an INVITE client transaction needs an INVITE");
    }
    if (!invite && (request.Method() == "INVITE" || request.Method() == "ACK")) {
        throw std::invalid_argument("a non-INVITE client transaction cannot send an INVITE or an ACK");
    }
    if (request.RequestUri() == nullptr) {
        throw std::invalid_argument("the request of a client transaction needs a valid Request-URI");
    }
    const CSeq* cseq = request.Peek<CSeq>(HeaderType::CSeq);
    if (cseq == nullptr || cseq->Method() != request.Method()) {
        throw std::invalid_argument("the request of a client transaction needs a CSeq with its method");
    }
    std::optional<TransactionKey> key = ClientTransactionKey(request);
    if (!key) {
        throw std::invalid_argument("the request of a client transaction needs a top Via with a z9hG4bK branch");
    }
    return *key;
}

TransactionKey CheckedServerKey(const SipMessage& request, bool invite) {
    if (!request.IsRequest()) {
        throw std::invalid_argument("a server transaction needs a request");
    }
    if (invite != (request.Method() == "INVITE")) {
        throw std::invalid_argument(invite ? "an INVITE server transaction needs an INVITE"
                                           : "a non-INVITE server transaction cannot take an INVITE");
    }
    if (request.Method() == "ACK") {
        throw std::invalid_argument("an ACK creates no server transaction");
    }
    std::optional<TransactionKey> key = ServerTransactionKey(request);
    if (!key) {
        throw std::invalid_argument("the request of a server transaction needs a valid top Via and CSeq");
    }
    return *key;
}

} // namespace zel::sip::stack::detail

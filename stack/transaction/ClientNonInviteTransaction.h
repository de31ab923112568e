#pragma once

#include <memory>
#include <string_view>

#include "stack/message/SipMessage.h"
#include "stack/transaction/TransactionAction.h"
#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/TransactionEvent.h"
#include "stack/transaction/TransactionKey.h"
#include "stack/transaction/TransactionTimer.h"
#include "stack/transaction/detail/TransactionContext.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack {

/// The non-INVITE client transaction of RFC 3261 section 17.1.2. A pure core: it returns actions
/// (see TransactionAction) and does no I/O.
///
/// It sends the request (retransmitted with timer E on unreliable transports, the interval
/// doubling up to T2, and T2 once a provisional response came), passes the first final response
/// and every provisional response to the TU, and absorbs final response retransmissions in
/// Completed.
///
/// Thread rules: not thread-safe; one thread drives it. The clock must outlive the transaction.
class ClientNonInviteTransaction {
public:
    enum class State { Trying, Proceeding, Completed, Terminated };

    /// `request` is any request but INVITE and ACK, with a valid Request-URI, a top Via whose
    /// branch has the magic cookie and a CSeq with its method. Raises std::invalid_argument for
    /// any other request or invalid timer values.
    ClientNonInviteTransaction(SipMessage request, TransportType transport, const TransactionClock& clock,
                               const TimerValues& timers = {});

    /// Sends the request and starts timers E (unreliable transports) and F. Call once.
    TransactionActions Start();
    /// Handles one event; events that do not apply to this transaction or its state are ignored.
    TransactionActions Handle(TransactionEvent event);

    State GetState() const noexcept { return state_; }
    const TransactionKey& Key() const noexcept { return key_; }
    const SipMessage& Request() const noexcept { return *request_; }

private:
    void OnTrying(TransactionEvent& event);
    void OnProceeding(TransactionEvent& event);
    void OnCompleted(TransactionEvent& event);
    void OnActive(TransactionEvent& event);
    void Terminate();

    detail::TransactionContext context_;
    std::shared_ptr<const SipMessage> request_;
    TransactionKey key_;
    State state_ = State::Trying;
    bool started_ = false;
    std::chrono::milliseconds timerE_{};
};

/// "Trying", "Proceeding", ...: for logs.
std::string_view ToString(ClientNonInviteTransaction::State state) noexcept;

} // namespace zel::sip::stack

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

/// The INVITE client transaction of RFC 3261 section 17.1.1 with the Accepted state of RFC 6026
/// section 7.2. A pure core: it sends nothing itself but returns actions (see TransactionAction).
///
/// It sends the INVITE (retransmitted with timer A on unreliable transports), passes provisional
/// and final responses to the TU, ACKs 300-699 responses itself (and re-sends that ACK for their
/// retransmissions), and in Accepted passes every 2xx to the TU, whose dialog layer ACKs them.
///
/// Thread rules: not thread-safe; one thread (the stack's event thread) drives it. The clock must
/// outlive the transaction.
class ClientInviteTransaction {
public:
    enum class State { Calling, Proceeding, Accepted, Completed, Terminated };

    /// `invite` is the request as the TU built it: an INVITE with a valid Request-URI, a top Via
    /// whose branch has the magic cookie, and a CSeq with method INVITE. `transport` is the
    /// transport it will leave on (reliable ones get no retransmissions and no wait states).
    /// Raises std::invalid_argument for any other request or invalid timer values.
    ClientInviteTransaction(SipMessage invite, TransportType transport, const TransactionClock& clock,
                            const TimerValues& timers = {});

    /// Sends the INVITE and starts timers A (unreliable transports) and B. Call once.
    TransactionActions Start();
    /// Handles one event; events that do not apply to this transaction or its state are ignored.
    TransactionActions Handle(TransactionEvent event);

    State GetState() const noexcept { return state_; }
    const TransactionKey& Key() const noexcept { return key_; }
    const SipMessage& Request() const noexcept { return *invite_; }

private:
    void OnCalling(TransactionEvent& event);
    void OnProceeding(TransactionEvent& event);
    void OnAccepted(TransactionEvent& event);
    void OnCompleted(TransactionEvent& event);
    void OnResponse(SipMessage response);
    void Terminate();

    detail::TransactionContext context_;
    std::shared_ptr<const SipMessage> invite_;
    TransactionKey key_;
    State state_ = State::Calling;
    bool started_ = false;
    std::chrono::milliseconds timerA_{};
    std::shared_ptr<const SipMessage> ack_;
};

/// "Calling", "Proceeding", ...: for logs.
std::string_view ToString(ClientInviteTransaction::State state) noexcept;

} // namespace zel::sip::stack

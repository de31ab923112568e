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

/// The non-INVITE server transaction of RFC 3261 section 17.2.2. A pure core: it returns actions
/// (see TransactionAction) and does no I/O.
///
/// It passes the request to the TU, sends the TU's responses, absorbs request retransmissions
/// until the TU has answered and afterwards answers them with the last response, and waits out
/// retransmissions (timer J) after the final response on unreliable transports.
///
/// Thread rules: not thread-safe; one thread drives it. The clock must outlive the transaction.
class ServerNonInviteTransaction {
public:
    enum class State { Trying, Proceeding, Completed, Terminated };

    /// `request` is the received request (neither INVITE nor ACK); its server key must be
    /// computable. Raises std::invalid_argument otherwise or for invalid timer values.
    ServerNonInviteTransaction(SipMessage request, TransportType transport, const TransactionClock& clock,
                               const TimerValues& timers = {});

    /// Passes the request to the TU. Call once.
    TransactionActions Start();
    /// Handles one event; requests that do not match and events that do not apply to the state are
    /// ignored, and so are TU responses once the transaction has terminated. Raises
    /// std::invalid_argument when the TU passes a request and std::logic_error when it sends a
    /// response after the final one.
    TransactionActions Handle(TransactionEvent event);

    /// True when the transaction user may send `response` now: Handle takes it without raising and
    /// sends it (false for a request, or for a response the state does not allow, see Handle).
    bool AllowsResponse(const SipMessage& response) const noexcept;

    State GetState() const noexcept { return state_; }
    const TransactionKey& Key() const noexcept { return key_; }

private:
    void OnTrying(TransactionEvent& event);
    void OnProceeding(TransactionEvent& event);
    void OnCompleted(TransactionEvent& event);
    void OnResponseFromTu(SipMessage response);
    void Terminate();

    detail::TransactionContext context_;
    TransactionKey key_;
    SipMessage request_; // handed to the TU by Start
    std::shared_ptr<const SipMessage> lastResponse_;
    State state_ = State::Trying;
    bool started_ = false;
};

/// "Trying", "Proceeding", ...: for logs.
std::string_view ToString(ServerNonInviteTransaction::State state) noexcept;

} // namespace zel::sip::stack

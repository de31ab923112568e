#pragma once

#include <memory>
#include <string>
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

/// The INVITE server transaction of RFC 3261 section 17.2.1 with the Accepted state of RFC 6026
/// section 7.1. A pure core: it returns actions (see TransactionAction) and does no I/O.
///
/// It passes the INVITE to the TU, sends 100 Trying after 200 ms unless the TU answered first,
/// sends the TU's responses, answers INVITE retransmissions with the last response, retransmits
/// a 300-699 response with timer G on unreliable transports until the ACK comes (timer H gives
/// up), absorbs ACK retransmissions in Confirmed, and after a 2xx (Accepted) absorbs INVITE
/// retransmissions, sends the TU's 2xx retransmissions and passes matching ACKs to the TU.
///
/// Thread rules: not thread-safe; one thread drives it. The clock must outlive the transaction.
class ServerInviteTransaction {
public:
    enum class State { Proceeding, Completed, Confirmed, Accepted, Terminated };

    /// `invite` is the received INVITE; its server key must be computable (the driver computes it
    /// first to look the transaction up). Raises std::invalid_argument otherwise or for invalid
    /// timer values.
    ServerInviteTransaction(SipMessage invite, TransportType transport, const TransactionClock& clock,
                            const TimerValues& timers = {});

    /// Passes the INVITE to the TU and starts the 100 Trying timer. Call once.
    TransactionActions Start();
    /// Handles one event; requests that do not match this transaction and events that do not
    /// apply to its state are ignored, and so are TU responses once it has terminated (the TU may
    /// not have learnt that yet). Raises std::invalid_argument when the TU passes a request, and
    /// std::logic_error when it sends a response its state does not allow (anything after a
    /// 300-699 response, anything but a 2xx after a 2xx).
    TransactionActions Handle(TransactionEvent event);

    /// True when the transaction user may send `response` now: Handle takes it without raising and
    /// sends it (false for a request, or for a response the state does not allow, see Handle).
    bool AllowsResponse(const SipMessage& response) const noexcept;

    State GetState() const noexcept { return state_; }
    const TransactionKey& Key() const noexcept { return key_; }

private:
    void OnProceeding(TransactionEvent& event);
    void OnCompleted(TransactionEvent& event);
    void OnConfirmed(TransactionEvent& event);
    void OnAccepted(TransactionEvent& event);
    void OnResponseFromTu(SipMessage response);
    bool IsOurs(const SipMessage& request) const;
    void SendTrying();
    void Terminate();

    detail::TransactionContext context_;
    TransactionKey key_;
    std::string inviteToTag_;
    std::string responseToTag_;
    SipMessage invite_; // handed to the TU by Start
    std::shared_ptr<const SipMessage> trying_;
    std::shared_ptr<const SipMessage> lastResponse_;
    State state_ = State::Proceeding;
    bool started_ = false;
    std::chrono::milliseconds timerG_{};
};

/// "Proceeding", "Completed", ...: for logs.
std::string_view ToString(ServerInviteTransaction::State state) noexcept;

} // namespace zel::sip::stack

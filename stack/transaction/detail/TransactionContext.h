#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "stack/transaction/TransactionAction.h"
#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/TransactionKey.h"
#include "stack/transaction/TransactionTimer.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack::detail {

/// What the four transaction cores share: the clock, the timer values, whether the transport is
/// reliable, the armed timers and the actions produced by the event being handled.
///
/// Armed timers are kept with their deadline so that a firing the driver delivers after the
/// timer was cancelled or re-armed is recognised as stale and ignored.
class TransactionContext {
public:
    /// Raises std::invalid_argument for invalid timer values.
    TransactionContext(const TransactionClock& clock, const TimerValues& timers, TransportType transport);

    bool IsReliable() const noexcept { return reliable_; }
    const TimerValues& Timers() const noexcept { return timers_; }

    void Send(std::shared_ptr<const SipMessage> message, bool isRetransmission);
    void StartTimer(TransactionTimer timer, std::chrono::milliseconds duration);
    /// Emits a cancel only for an armed timer.
    void CancelTimer(TransactionTimer timer);
    void Report(TuEventKind kind, std::shared_ptr<SipMessage> message = {});
    /// Cancels every armed timer and reports Terminated.
    void Terminate();

    /// True when `timer` is armed and its deadline has passed; the timer is then disarmed.
    bool ConsumeFiring(TransactionTimer timer);

    /// The actions produced since the last call.
    TransactionActions Take();

private:
    const TransactionClock& clock_;
    TimerValues timers_;
    bool reliable_;
    std::array<std::optional<TransactionClock::TimePoint>, static_cast<std::size_t>(TransactionTimer::Trying) + 1>
        deadlines_{};
    TransactionActions actions_;
};

/// A final response a server transaction keeps to answer retransmitted requests (up to 64*T1):
/// the message parsed back from its own encoding, which holds the text and an index of its lines
/// rather than the typed values the TU built it from (a 200 without a body keeps about 400 bytes
/// instead of 2 KB), and is encoded again as one copy. `response` itself when its encoding does not
/// parse back; it is then sent as built.
std::shared_ptr<const SipMessage> KeptForRetransmission(SipMessage response);

/// The tag parameter of the To header; empty when absent or unparsable.
std::string ToTagOf(const SipMessage& message);

/// The key of the request a client transaction is created with, after checking what the
/// transaction relies on: a request, INVITE for an INVITE transaction and neither INVITE nor ACK
/// otherwise, a valid Request-URI, a CSeq with the request's method and a top Via whose branch has
/// the magic cookie. Raises std::invalid_argument naming what is missing.
TransactionKey CheckedClientKey(const SipMessage& request, bool invite);

/// The key of the request a server transaction is created with; raises std::invalid_argument when
/// it has none (the driver computes the key first, so a peer cannot reach this).
TransactionKey CheckedServerKey(const SipMessage& request, bool invite);

} // namespace zel::sip::stack::detail

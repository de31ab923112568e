#pragma once

// Reliable provisional responses (RFC 3262): the two sides an invite session attaches to each INVITE
// it sends or answers. Pure cores: no sockets, threads or timers of their own; the session sends
// what a step carries and runs the one timer of the UAS side.
//
// UAS side (one INVITE server transaction; `ReliableProvisionalUas`):
//
//   session                 core                                      peer (UAC)
//     | SendProvisional(183 + SDP) -> AwaitingPrack -- 183 Require: 100rel, RSeq: n ---->|
//     |   wake at +T1                                                                     |
//     | OnTimer -----------> AwaitingPrack -- 183 (again), wake at +2*T1 ... capped at T2 ->|
//     | SendProvisional(180) -> Queued (one reliable 1xx unacknowledged at a time)        |
//     | MaySendSuccess() == false: the 183 carried an answer, the 2xx is held             |
//     |                                   <-- PRACK RAck: n <CSeq> INVITE ---------------|
//     |<- PrackMatched, 200 for the PRACK, successReleased                               |
//     |                      AwaitingPrack -- 180 Require: 100rel, RSeq: n+1 ------------>|
//     |                                   <-- PRACK RAck: 7 ... (nothing matches) ------- |
//     |<- PrackUnmatched, 481 for the PRACK                                               |
//     | OnTimer at 64*T1 after a 1xx was first sent, no PRACK: GaveUp (answer the INVITE 5xx)
//     | OnFinalResponseSent ---> Finished (no more retransmissions; PRACKs still answered)
//
// UAC side (one early dialog; forks have RSeq spaces of their own; `ReliableProvisionalUac`):
//
//   session                 core                                      peer (UAS)
//     | AddOptionTags(INVITE): Supported: 100rel (Require: 100rel when the mode is Required)
//     |                                   <-- 180 Require: 100rel, RSeq: 41 -------------|
//     |<- New, RAck "41 1 INVITE" (send PRACK)   Receiving                               |
//     |                                   <-- 180 RSeq: 41 (retransmission) -------------|
//     |<- Duplicate (discard, no PRACK)                                                   |
//     |                                   <-- 183 RSeq: 43 (42 was lost) ----------------|
//     |<- OutOfOrder (discard; the UAS retransmits 42 and then 43)                        |

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "stack/dum/Profile.h"
#include "stack/message/Number.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// The retransmission timers of a reliable provisional response (RFC 3262 section 3, RFC 3261
/// section 17.1.1.1): the interval starts at T1 and doubles up to T2; the UAS gives up at 64*T1.
struct ReliableProvisionalTimers {
    std::chrono::milliseconds t1{500};
    std::chrono::milliseconds t2{4000};
};

/// Whether a message carries a session description (an offer or an answer): a non-empty body of
/// type application/sdp or multipart/* (which may hold one). Used to hold the 2xx back while a
/// reliable 1xx with such a body is unacknowledged (RFC 3262 section 3).
bool CarriesSessionDescription(const SipMessage& message);

/// What the UAS side made of one input.
struct ReliableProvisionalStep {
    enum class Event {
        None,
        SentUnreliably, ///< `send` is the 1xx as given: it goes without RSeq and is not retransmitted
        SentReliably,   ///< `send` carries Require: 100rel and RSeq; arm the timer at `wakeAt`
        Queued,         ///< a reliable 1xx is unacknowledged: this one goes when that one is PRACKed
        Refused,        ///< nothing is sent; `reason` says why (a final response was sent, the queue is full)
        Retransmit,     ///< `send` is the unacknowledged 1xx again; re-arm at `wakeAt`
        GaveUp,         ///< no PRACK within 64*T1: answer the INVITE with a 5xx (RFC 3262 section 3)
        PrackMatched,   ///< `response` is the 200 to the PRACK; `send` may hold the next queued 1xx
        PrackUnmatched, ///< `response` is the 481 to the PRACK (RFC 3262 section 3)
        Stopped,        ///< the final response was sent: no further retransmissions
    };
    using TimePoint = std::chrono::steady_clock::time_point;

    Event event = Event::None;
    /// A provisional response to send now (first time or retransmission).
    std::optional<SipMessage> send;
    /// The response to a PRACK (200 or 481). Absent when the PRACK cannot be answered (it lacks
    /// the headers a response copies): drop it.
    std::optional<SipMessage> response;
    /// Arm the one timer of this core at this time (replacing an earlier one).
    std::optional<TimePoint> wakeAt;
    /// Disarm the timer.
    bool stopTimer = false;
    /// A 2xx that was held (MaySendSuccess() was false) may go now.
    bool successReleased = false;
    /// For logs: why a 1xx was refused or the core gave up.
    std::string reason;
};

/// The UAS side of RFC 3262 for one INVITE (initial or re-INVITE) we answer: decides which 1xx go
/// reliably, numbers them (RSeq), retransmits the unacknowledged one, matches PRACKs and says when
/// a 2xx may go.
///
/// Errors: a peer's bytes (PRACKs) never make it throw; what cannot be read does not match (481).
/// Public operations used wrongly raise std::invalid_argument or std::logic_error.
///
/// Thread rules: not thread-safe; the dialog thread drives it. A value type.
class ReliableProvisionalUas {
public:
    /// Idle: no reliable 1xx unacknowledged. AwaitingPrack: one is, and is being retransmitted.
    /// Finished: a final response went (or the core gave up); only PRACKs are still answered.
    enum class State { Idle, AwaitingPrack, Finished };
    using TimePoint = std::chrono::steady_clock::time_point;

    /// At most this many 1xx wait behind an unacknowledged one; more are refused.
    static constexpr std::size_t kMaxQueued = 8;

    /// `mode`: the profile's UAS mode. `invite`: the request we answer (its Supported, Require and
    /// CSeq are read). `firstRSeq`: the RSeq of the first reliable 1xx, 1 to 2**31-1; by default a
    /// random one (RFC 3262 section 3). Raises std::invalid_argument for a `firstRSeq` out of range.
    /// A malformed CSeq in `invite` makes every PRACK fail to match rather than raising.
    ReliableProvisionalUas(ReliableProvisionalMode mode, const SipMessage& invite, ReliableProvisionalTimers timers = {},
                           std::optional<std::uint32_t> firstRSeq = std::nullopt);

    /// The answer `invite` gets before anything else when our `mode` and the peer's disagree: 420
    /// with Unsupported: 100rel when the peer requires 100rel and our mode is Never; 421 with Require:
    /// 100rel when our mode is Required and the peer neither supports nor requires it (RFC 3262
    /// section 3, RFC 3261 section 21.4.16). nullopt when the INVITE may proceed, or when it cannot
    /// be answered. `toTag` goes into the To of the response when not empty. Never raises.
    static std::optional<SipMessage> Rejection(ReliableProvisionalMode mode, const SipMessage& invite,
                                               std::string_view toTag) noexcept;

    /// Whether `provisional` (101-199) would be sent reliably: never in mode Never or for 100;
    /// always when the peer requires 100rel or our mode is Required; in mode Supported when the peer
    /// supports 100rel; in mode SupportedEssential when it supports 100rel and the 1xx carries a
    /// session description.
    bool IsReliable(const SipMessage& provisional) const;

    /// Hands over a provisional response (100-199) to send. A reliable one gets Require: 100rel and
    /// RSeq and is retransmitted until PRACKed; while another is unacknowledged it is queued.
    /// Raises std::invalid_argument for a request or a status outside 100-199.
    ReliableProvisionalStep SendProvisional(SipMessage provisional, TimePoint now);

    /// The timer armed by a step fired: retransmit, or give up at 64*T1. Early or stale calls are
    /// ignored (event None).
    ReliableProvisionalStep OnTimer(TimePoint now);

    /// A PRACK received in this dialog. It matches the unacknowledged reliable 1xx when its RAck
    /// names that 1xx's RSeq and the INVITE's CSeq number and method (RFC 3262 section 7.2): 200,
    /// and the next queued 1xx goes. Anything else, an unreadable RAck included, gets 481.
    ReliableProvisionalStep OnPrack(const SipMessage& prack, TimePoint now);

    /// Whether a 2xx to the INVITE may be sent now: not while a reliable 1xx that carried a session
    /// description is unacknowledged or queued (RFC 3262 section 3). Other final responses may
    /// always go.
    bool MaySendSuccess() const noexcept;

    /// The session sent a final response (`statusCode` 200-699) to the INVITE: retransmissions stop
    /// and queued 1xx are dropped; a PRACK for the outstanding 1xx is still answered 200. Raises
    /// std::logic_error for a 2xx while MaySendSuccess() is false, std::invalid_argument for a status
    /// outside 200-699.
    ReliableProvisionalStep OnFinalResponseSent(int statusCode);

    State GetState() const noexcept { return state_; }
    /// The RSeq the next reliable 1xx will carry.
    std::uint32_t NextRSeq() const noexcept { return nextRSeq_; }
    /// Whether the peer's INVITE listed 100rel in Supported or Require.
    bool PeerSupports() const noexcept { return peerSupports_; }
    bool PeerRequires() const noexcept { return peerRequires_; }
    std::size_t QueuedCount() const noexcept { return queue_.size(); }

private:
    ReliableProvisionalStep SendReliably(SipMessage provisional, TimePoint now);

    ReliableProvisionalMode mode_;
    ReliableProvisionalTimers timers_;
    bool peerSupports_ = false;
    bool peerRequires_ = false;
    std::uint32_t inviteCSeq_ = 0;
    std::string inviteMethod_;
    bool inviteReadable_ = false;
    State state_ = State::Idle;
    std::uint32_t nextRSeq_;
    // The unacknowledged reliable 1xx.
    std::optional<SipMessage> outstanding_;
    std::uint32_t outstandingRSeq_ = 0;
    bool outstandingHasDescription_ = false;
    TimePoint firstSent_{};
    TimePoint due_{};
    std::chrono::milliseconds interval_{0};
    std::deque<SipMessage> queue_;
};

/// What a provisional response means on the UAC side.
struct ProvisionalReceipt {
    enum class Kind {
        Unreliable, ///< no Require: 100rel (or a 100): process it, send no PRACK
        New,        ///< the next reliable 1xx in order: process it and send a PRACK with `rack`
        Duplicate,  ///< a retransmission of one already PRACKed: discard it, no new PRACK
        OutOfOrder, ///< an RSeq beyond the next one: discard it (the UAS retransmits in order)
        Malformed,  ///< Require: 100rel without a readable RSeq (or not our INVITE's CSeq): discard it
    };
    Kind kind = Kind::Unreliable;
    /// New: the RAck of the PRACK (RFC 3262 section 7.2).
    std::optional<RAck> rack;
    /// The RSeq read, 0 when there is none.
    std::uint32_t rseq = 0;
};

/// The UAC side of RFC 3262 for one early dialog of an INVITE we sent: takes reliable 1xx in RSeq
/// order and says which to PRACK. Forks are separate dialogs with separate RSeq spaces: the session
/// keeps one core per dialog.
///
/// Errors: a peer's bytes never make it throw. Thread rules: not thread-safe; a value type.
class ReliableProvisionalUac {
public:
    /// Idle: no reliable 1xx taken yet. Receiving: the first one set the base of the RSeq order.
    enum class State { Idle, Receiving };

    /// Adds what the mode asks to an INVITE we send (RFC 3262 section 4): Supported: 100rel for
    /// SupportedEssential and Supported, Require: 100rel for Required, nothing for Never. A tag
    /// already listed is not added again.
    static void AddOptionTags(SipMessage& invite, ReliableProvisionalMode mode);

    /// `invite`: the INVITE (or re-INVITE) this dialog's 1xx answer; its CSeq goes into RAck.
    /// A malformed CSeq makes every reliable 1xx Malformed rather than raising.
    explicit ReliableProvisionalUac(const SipMessage& invite);

    /// A provisional response of this dialog (RFC 3262 section 4).
    ProvisionalReceipt OnProvisional(const SipMessage& response);

    State GetState() const noexcept { return lastRSeq_ ? State::Receiving : State::Idle; }
    /// The RSeq of the last 1xx taken, if any.
    std::optional<std::uint32_t> LastRSeq() const noexcept { return lastRSeq_; }

private:
    std::uint32_t inviteCSeq_ = 0;
    std::string inviteMethod_;
    bool inviteReadable_ = false;
    std::optional<std::uint32_t> lastRSeq_;
};

/// "Idle", "AwaitingPrack", "Finished".
std::string_view ToString(ReliableProvisionalUas::State state) noexcept;
/// "Idle", "Receiving".
std::string_view ToString(ReliableProvisionalUac::State state) noexcept;
/// "None", "SentUnreliably", ...
std::string_view ToString(ReliableProvisionalStep::Event event) noexcept;
/// "Unreliable", "New", ...
std::string_view ToString(ProvisionalReceipt::Kind kind) noexcept;

} // namespace zel::sip::stack

#pragma once

// Session timers (RFC 4028) for one dialog of an invite session. A pure core: the session adds what
// it says to the INVITEs and UPDATEs it sends and to the 2xx it answers with, feeds it the peer's
// requests and the responses to ours, runs its one timer, and sends the refresh or the BYE it asks
// for. "uac" and "uas" in a refresher parameter name the sides of the transaction that carries it,
// so each call says which side of that transaction we are.
//
//   session                   core                                   peer
//     | AddToRequest(INVITE) -- Session-Expires: 1800, Min-SE: 90, Supported: timer -->|
//     |                          <-- 422 Min-SE: 3600 ----------------------------------|
//     |<- Retry (once per larger Min-SE)                                                 |
//     | AddToRequest(INVITE) -- Session-Expires: 3600, Min-SE: 3600 ------------------->|
//     |                          <-- 200 Session-Expires: 3600;refresher=uac ----------|
//     |<- Started, we refresh:   Refreshing, wake at 1800 s                            |
//     | OnTimer ---------------> RefreshDue: Refresh by UPDATE (peer allows it) or re-INVITE,
//     |                          wake at the expiry deadline                            |
//     | AddToRequest(UPDATE) -- Session-Expires: 3600;refresher=uac ------------------->|
//     |                          <-- 200 Session-Expires: 3600;refresher=uac ----------|
//     |<- Started (restarted)    Refreshing                                             |
//
//   When the peer refreshes (Watching), no refresh by interval - min(32 s, interval/3) is Expired:
//   the session sends BYE. A refresh that gets no 2xx by that time expires the session too.
//   As UAS: OnRequest checks the peer's Session-Expires against our Min-SE (422 when too small, 400
//   when unreadable); AddToSuccess puts the negotiated Session-Expires (and Require: timer when the
//   peer supports it) into our 2xx and starts the timer.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "stack/dum/Profile.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// Which side of a transaction refreshes (the refresher parameter, RFC 4028 section 4).
enum class SessionRefresher { Uac, Uas };

/// How a refresh is sent (RFC 4028 section 7.4 and 9: UPDATE when the peer allows it, as it needs no
/// new offer; else a re-INVITE).
enum class RefreshMethod { Update, Invite };

/// What a session asks of session timers. A value type.
struct SessionTimerSettings {
    /// Whether we support the "timer" option tag at all. Off: every call is a no-op and the peer's
    /// headers are ignored (RFC 4028 section 9: a UAS without the extension ignores them).
    bool enabled = true;
    /// The session interval we ask for (Session-Expires), RFC 4028 recommends 1800 s.
    std::chrono::seconds sessionExpires{1800};
    /// The smallest interval we accept (Min-SE); never below 90 s (RFC 4028 section 5).
    std::chrono::seconds minSE{90};
    /// As UAC, the refresher parameter we ask for; none leaves the choice to the UAS (recommended
    /// by RFC 4028 section 7.1). Asking for Uac also means we refresh on our own when the 2xx
    /// carries no Session-Expires (section 7.2).
    std::optional<SessionRefresher> requestRefresher;
    /// As UAS, the refresher we choose when the UAC supports "timer" but names none; none keeps the
    /// UAC when it asked for the timer (it has shown it wants one) and us when it did not.
    std::optional<SessionRefresher> answerRefresher;
};

/// The settings of a profile snapshot: enabled when it supports "timer" (the session timer switch
/// or the option tag listed), its Session-Expires and Min-SE (Session-Expires raised to Min-SE when
/// set below it, so the pair is always usable) and its refresher preference.
SessionTimerSettings MakeSessionTimerSettings(const ProfileSettings& profile);

/// What the session does after one input of the core.
struct SessionTimerStep {
    enum class Event {
        None,
        Started, ///< a timer is in effect (first time or after a refresh): see interval, weRefresh
        Stopped, ///< no timer is in effect any more (the negotiation left none)
        Retry,   ///< a 422 with a larger Min-SE: send the request again (AddToRequest gives new values)
        Failed,  ///< a 422 we cannot satisfy: the request failed (`reason` says why)
        Reject,  ///< answer the peer's request with `response` (422 or 400) instead of processing it
        Refresh, ///< send a refresh now, by `method`
        Expired, ///< the session expired without a refresh: send BYE (RFC 4028 section 10)
    };
    using TimePoint = std::chrono::steady_clock::time_point;

    Event event = Event::None;
    /// Arm the one timer of this core at this time (replacing an earlier one).
    std::optional<TimePoint> wakeAt;
    /// Disarm the timer.
    bool stopTimer = false;
    /// Reject: the response to send (nullopt when the request cannot be answered: drop it).
    std::optional<SipMessage> response;
    /// Refresh: UPDATE when the peer allows it, else re-INVITE.
    RefreshMethod method = RefreshMethod::Invite;
    /// Started: the session interval in effect and whether we are the refresher.
    std::chrono::seconds interval{0};
    bool weRefresh = false;
    /// Started, Stopped: the peer's Session-Expires was unreadable, below our Min-SE or above the
    /// interval we asked for, and was ignored or brought within bounds (a peer fault worth logging).
    bool peerValueIgnored = false;
    /// For logs.
    std::string reason;
};

/// The session timer of one dialog (RFC 4028 sections 7 to 10).
///
/// Errors: what a peer sends never makes it throw; unreadable values are judged as the RFC allows
/// (a 400, a failed 422, or no timer). The constructor raises std::invalid_argument for settings
/// below the RFC's floor.
///
/// Thread rules: not thread-safe; the dialog thread drives it. A value type.
class SessionTimer {
public:
    /// Inactive: no timer in effect. Refreshing: we refresh, waiting for half the interval.
    /// RefreshDue: our refresh is due or under way, waiting for its 2xx until the expiry deadline.
    /// Watching: the peer refreshes, waiting for its refresh until the expiry deadline.
    /// Expired: the deadline passed; the session is to end.
    enum class State { Inactive, Refreshing, RefreshDue, Watching, Expired };
    using TimePoint = std::chrono::steady_clock::time_point;

    /// At most this many 422 retries for one request, however the peer raises its Min-SE.
    static constexpr int kMaxRetries = 3;

    /// Raises std::invalid_argument when Min-SE is below 90 s or Session-Expires below Min-SE.
    explicit SessionTimer(SessionTimerSettings settings);

    // ---- as UAC of an INVITE, re-INVITE or UPDATE ----------------------------------------------

    /// Adds Supported: timer, Session-Expires (with the refresher parameter when one is asked for
    /// or, during a session, the current refresher is kept, section 7.4) and Min-SE to a request we
    /// send. Requests other than INVITE and UPDATE only get Supported: timer (section 7.1).
    void AddToRequest(SipMessage& request) const;
    /// A final response to our INVITE or UPDATE. 2xx: starts or restarts the timer as it says
    /// (section 7.2). 422: Retry with a larger Min-SE, or Failed (section 7.3). Other failures
    /// change nothing (a running timer keeps running toward its deadline).
    SessionTimerStep OnResponse(const SipMessage& response, TimePoint now);

    // ---- as UAS of an INVITE, re-INVITE or UPDATE ----------------------------------------------

    /// A request from the peer (section 9): Reject with 422 (and our Min-SE) when its
    /// Session-Expires is below our Min-SE, with 400 when its Session-Expires or Min-SE is
    /// unreadable; else the negotiated values wait for AddToSuccess. `toTag` goes into the To of a
    /// rejection when the request has none.
    SessionTimerStep OnRequest(const SipMessage& request, std::string_view toTag, TimePoint now);
    /// Adds what the last OnRequest negotiated to our 2xx (Session-Expires with refresher, Require:
    /// timer when the peer supports it, Supported: timer) and starts the timer. Without a
    /// negotiation (a 2xx to a request not given to OnRequest) it adds nothing and changes nothing.
    SessionTimerStep AddToSuccess(SipMessage& response, TimePoint now);

    // ---- timer and end ---------------------------------------------------------------------------

    /// The timer armed by a step fired: Refresh when we refresh, Expired at the deadline. Early or
    /// stale calls are ignored.
    SessionTimerStep OnTimer(TimePoint now);
    /// The session ended: no timer any more.
    SessionTimerStep Stop();

    State GetState() const noexcept { return state_; }
    /// The session interval in effect, 0 when Inactive.
    std::chrono::seconds Interval() const noexcept { return interval_; }
    bool WeRefresh() const noexcept { return state_ == State::Refreshing || state_ == State::RefreshDue; }
    /// The Min-SE we send (raised by 422s).
    std::chrono::seconds MinSE() const noexcept { return minSE_; }
    /// When the session expires without a refresh, if a timer is in effect.
    std::optional<TimePoint> Deadline() const noexcept { return deadline_; }
    /// Whether the peer allows UPDATE (its last Allow said so).
    bool PeerAllowsUpdate() const noexcept { return peerAllowsUpdate_; }

    /// How long before the end of the interval the side that does not refresh gives up: the
    /// smaller of 32 s and a third of the interval (section 10).
    static std::chrono::seconds ExpiryMargin(std::chrono::seconds interval) noexcept;

private:
    SessionTimerStep Start(std::chrono::seconds interval, bool weRefresh, TimePoint now);
    SessionTimerStep StopTimer(std::string reason);
    void NoteAllow(const SipMessage& message);

    SessionTimerSettings settings_;
    State state_ = State::Inactive;
    std::chrono::seconds minSE_;
    std::chrono::seconds requestInterval_; // what AddToRequest asks for
    std::chrono::seconds interval_{0};
    int retries_ = 0;
    bool peerAllowsUpdate_ = false;
    std::optional<TimePoint> due_;
    std::optional<TimePoint> deadline_;
    // Negotiated by OnRequest for AddToSuccess.
    struct Pending {
        std::chrono::seconds interval{0};
        SessionRefresher refresher = SessionRefresher::Uas;
        bool peerSupports = false;
    };
    std::optional<Pending> pending_;
    bool pendingIgnoredPeerValue_ = false;
};

/// "Uac", "Uas" as written in the refresher parameter: "uac", "uas".
std::string_view ToString(SessionRefresher refresher) noexcept;
/// "UPDATE", "INVITE".
std::string_view ToString(RefreshMethod method) noexcept;
/// "Inactive", "Refreshing", ...
std::string_view ToString(SessionTimer::State state) noexcept;
/// "None", "Started", ...
std::string_view ToString(SessionTimerStep::Event event) noexcept;

} // namespace zel::sip::stack

// Session timers (RFC 4028) in an invite session: the I/O around the SessionTimer core. The core
// says what our requests and 2xx carry and when to refresh or give up; here its one wake-up runs
// on the dialog thread, refreshes go out through the session core (which keeps them apart from the
// application's offers), 422s are answered by sending the request again, and an expired session
// is handed to the handler's onSessionExpired (whose default ends it with BYE, as Timeout).
//
//   we refresh:   2xx (Started) --interval/2--> Refresh: UPDATE (the peer allows it) or re-INVITE
//                 with our SDP unchanged --2xx--> Started again ... no 2xx by the deadline: Expired
//   peer refreshes: 2xx (Started) --its INVITE/UPDATE answered 2xx--> Started again ...
//                 nothing by interval - min(32 s, interval/3): Expired -> onSessionExpired

#include <algorithm>

#include "stack/base/Log.h"
#include "stack/body/BodyFactory.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/InviteSession.h"
#include "stack/message/CSeq.h"
#include "stack/message/Number.h"

namespace zel::sip::stack {

namespace {

using TimerEvent = SessionTimerStep::Event;

/// How long a refresh that cannot go now (an exchange under way) waits before it tries again, in
/// the session timer's time. Short against any session interval (90 s at least).
constexpr std::chrono::seconds kRefreshRetry{2};

bool NegotiatesSession(std::string_view method) noexcept { return method == "INVITE" || method == "UPDATE"; }

/// The body of a request of ours, to send it again; null when it has none.
std::unique_ptr<Body> BodyToResend(const SipMessage& request) {
    const Mime* type = request.Peek<Mime>(HeaderType::ContentType);
    if (request.Body().empty() || type == nullptr) {
        return nullptr;
    }
    auto parsed = ParseBody(*type, request.Body());
    return parsed ? std::move(parsed.Value()) : nullptr;
}

} // namespace

InviteSession::TimerPoint InviteSession::SessionTimerNow() const {
    const TimerPoint real = std::chrono::steady_clock::now();
    return sessionTimerEpoch_ + (real - sessionTimerEpoch_) * sessionTimerSpeedup_;
}

void InviteSession::ArmSessionTimer(TimerPoint at) {
    // Back to real time, rounded up: a wake-up a few nanoseconds early would find the core not
    // due yet, and nothing would wake it again.
    const auto span = std::max(at - sessionTimerEpoch_, TimerPoint::duration::zero());
    const auto real = TimerPoint::duration((span.count() + sessionTimerSpeedup_ - 1) / sessionTimerSpeedup_);
    if (sessionTimerWake_ == nullptr) {
        sessionTimerWake_ = std::make_unique<boost::asio::steady_timer>(manager_.Thread().Executor());
    }
    sessionTimerWake_->expires_at(sessionTimerEpoch_ + real);
    sessionTimerWake_->async_wait([this, id = GetId(), &manager = manager_](const boost::system::error_code& error) {
        if (error || !manager.Handles().IsLive(id) || finished_) {
            return;
        }
        OnSessionTimerWake();
        manager.Reap();
    });
}

void InviteSession::StopSessionTimer() {
    sessionTimerWake_.reset();
    (void)sessionTimer_.Stop();
    refreshWanted_.reset();
}

void InviteSession::ApplySessionTimer(const SessionTimerStep& step) {
    if (step.stopTimer) {
        sessionTimerWake_.reset();
    }
    if (step.wakeAt) {
        ArmSessionTimer(*step.wakeAt);
    }
    if (step.peerValueIgnored) {
        ZEL_LOG(Info, "session {}: the peer's Session-Expires was out of bounds and is not taken as sent", GetId());
    }
    switch (step.event) {
    case TimerEvent::None:
    case TimerEvent::Retry:
    case TimerEvent::Failed:
    case TimerEvent::Reject:
        return; // the callers act on these themselves
    case TimerEvent::Started:
        refreshWanted_.reset();
        ZEL_LOG(Debug, "session {}: session interval {} s, refreshed by {}", GetId(), step.interval.count(),
                step.weRefresh ? "us" : "the peer");
        return;
    case TimerEvent::Stopped:
        refreshWanted_.reset();
        ZEL_LOG(Debug, "session {}: no session timer: {}", GetId(), step.reason);
        return;
    case TimerEvent::Refresh:
        refreshWanted_ = step.method;
        TryRefresh();
        return;
    case TimerEvent::Expired:
        refreshWanted_.reset();
        ZEL_LOG(Info, "session {}: the session expired: {}", GetId(), step.reason);
        if (InviteSessionHandler* handler = Handler()) {
            handler->onSessionExpired(SessionHandle()); // may end, even destroy, this session
        } else {
            End(EndReason::SessionExpired);
        }
        return;
    }
}

void InviteSession::OnSessionTimerWake() {
    if (core_.GetState() != InviteSessionCore::State::Connected) {
        return; // ending or ended: nothing left to refresh or expire
    }
    const SessionTimerStep step = sessionTimer_.OnTimer(SessionTimerNow());
    if (step.event != TimerEvent::None) {
        ApplySessionTimer(step);
        return;
    }
    TryRefresh(); // a refresh that could not go at its time
}

void InviteSession::TryRefresh() {
    if (!refreshWanted_ || finished_) {
        return;
    }
    // A re-INVITE carries our SDP as it stands (RFC 4028 section 7.4: the refresh changes nothing
    // else); without one of ours there is nothing to send again, so an UPDATE it is.
    const bool update = *refreshWanted_ == RefreshMethod::Update || localBody_ == nullptr;
    InviteStep step = core_.Refresh(update);
    if (step.send.empty()) {
        // An exchange of ours (it refreshes the session itself when it succeeds) or, for a
        // re-INVITE, of the peer's is under way: look again shortly, at the latest at the deadline.
        TimerPoint retry = SessionTimerNow() + kRefreshRetry;
        if (const std::optional<TimerPoint> deadline = sessionTimer_.Deadline(); deadline && *deadline < retry) {
            retry = *deadline;
        }
        ArmSessionTimer(retry);
        return;
    }
    refreshWanted_.reset();
    ZEL_LOG(Debug, "session {}: session refresh by {}", GetId(), update ? "UPDATE" : "re-INVITE");
    Apply(std::move(step), nullptr);
}

bool InviteSession::RefusedBySessionTimer(Received& received) {
    const SipMessage& request = *received.request;
    if (!NegotiatesSession(request.Method())) {
        return false;
    }
    const bool initial = &received == Initial();
    // In a dialog only what can refresh the session is looked at: an early UPDATE, or a request
    // the core refuses anyway (one at a time, or the session ending), negotiates no interval.
    const InviteSessionCore::State state = core_.GetState();
    if (!initial && (core_.RemoteRequestPending() ||
                     (state != InviteSessionCore::State::Connected && state != InviteSessionCore::State::Accepted))) {
        return false;
    }
    const SessionTimerStep step =
        sessionTimer_.OnRequest(request, dialog_ != nullptr ? dialog_->Id().localTag : "", SessionTimerNow());
    if (step.event != TimerEvent::Reject) {
        const CSeq* sequence = request.Peek<CSeq>(HeaderType::CSeq);
        sessionTimerRequest_ = sequence != nullptr ? std::optional(sequence->Sequence()) : std::nullopt;
        return false;
    }
    ZEL_LOG(Info, "session {}: {} refused: {}", GetId(), request.Method(), step.reason);
    const int code = step.response ? step.response->StatusCode() : 400;
    if (initial) {
        Apply(core_.Reject(code), nullptr); // the application never hears of this call
    } else {
        Respond(received, code, false);
    }
    return true;
}

void InviteSession::AddSessionTimerHeaders(const Received& to, int code, SipMessage& response) {
    if (code == 422) {
        // RFC 4028 section 6: a 422 names the smallest interval we take.
        SessionExpires min;
        min.SetValue(static_cast<std::uint32_t>(sessionTimer_.MinSE().count()));
        response.Set(HeaderType::MinSE, std::move(min));
        return;
    }
    if (code < 200 || code > 299 || !sessionTimerRequest_) {
        return;
    }
    const CSeq* sequence = to.request->Peek<CSeq>(HeaderType::CSeq);
    if (sequence == nullptr || sequence->Sequence() != *sessionTimerRequest_ || !NegotiatesSession(to.request->Method())) {
        return; // a 2xx to another request (an early UPDATE) carries no session interval
    }
    sessionTimerRequest_.reset();
    ApplySessionTimer(sessionTimer_.AddToSuccess(response, SessionTimerNow()));
}

bool InviteSession::OnSessionTimerResponse(TransactionId transaction, const SipMessage& response) {
    const auto found = inDialog_.find(transaction);
    if (found == inDialog_.end() || !NegotiatesSession(found->second.Method()) || response.StatusCode() < 200) {
        return false;
    }
    const SessionTimerStep step = sessionTimer_.OnResponse(response, SessionTimerNow());
    switch (step.event) {
    case TimerEvent::Retry: {
        // RFC 4028 section 7.3 (in a dialog as for the INVITE): the same request again, next CSeq,
        // with the Min-SE of the 422; the session core still waits for its final answer.
        ZEL_LOG(Info, "session {}: {} sent again: {}", GetId(), found->second.Method(), step.reason);
        const std::string method(found->second.Method());
        const std::unique_ptr<Body> body = BodyToResend(found->second);
        inDialog_.erase(found);
        SendInDialog(method, false, body.get());
        return true;
    }
    case TimerEvent::Failed:
        ZEL_LOG(Info, "session {}: {}", GetId(), step.reason);
        return false;
    case TimerEvent::None:
    case TimerEvent::Started:
    case TimerEvent::Stopped:
    case TimerEvent::Reject:
    case TimerEvent::Refresh:
    case TimerEvent::Expired:
        ApplySessionTimer(step);
        return false;
    }
    return false;
}

bool ClientInviteSession::RetriedForSessionTimer(const SipMessage& response) {
    const InviteSessionCore::State state = core_.GetState();
    if (state != InviteSessionCore::State::Calling && state != InviteSessionCore::State::Early) {
        return false; // cancelled or answered: a retry would start a call nobody wants
    }
    const SessionTimerStep step = sessionTimer_.OnResponse(response, SessionTimerNow());
    if (step.event != TimerEvent::Retry) {
        ZEL_LOG(Info, "session {}: 422 to our INVITE: {}", GetId(), step.reason);
        return false;
    }
    ZEL_LOG(Info, "session {}: INVITE sent again: {}", GetId(), step.reason);
    sessionTimer_.AddToRequest(invite_);
    SendInviteAgain();
    return true;
}

} // namespace zel::sip::stack

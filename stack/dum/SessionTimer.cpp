#include "stack/dum/SessionTimer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/message/CSeq.h"
#include "stack/message/Number.h"
#include "stack/message/Token.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

using std::chrono::seconds;
using TimerEvent = SessionTimerStep::Event;

constexpr std::string_view kTag = "timer";
constexpr seconds kFloor{90}; // RFC 4028 section 5: no Min-SE below 90 s

bool ListsTag(const SipMessage& message, HeaderType type, std::string_view tag) {
    const std::size_t count = message.Count(type);
    for (std::size_t i = 0; i < count; ++i) {
        const Token* value = message.Peek<Token>(type, i);
        if (value != nullptr && value->Matches(tag)) {
            return true;
        }
    }
    return false;
}

/// INVITE and UPDATE are the requests that negotiate and refresh a session (RFC 4028 section 1).
bool IsRefreshMethod(std::string_view method) noexcept { return method == "INVITE" || method == "UPDATE"; }

std::optional<SessionRefresher> ReadRefresher(std::string_view text) noexcept {
    if (IEquals(text, "uac")) {
        return SessionRefresher::Uac;
    }
    if (IEquals(text, "uas")) {
        return SessionRefresher::Uas;
    }
    return std::nullopt;
}

} // namespace

SessionTimerSettings MakeSessionTimerSettings(const ProfileSettings& profile) {
    SessionTimerSettings settings;
    settings.enabled = profile.IsOptionTagSupported(kTag);
    settings.minSE = std::max(kFloor, seconds(profile.defaultMinSE));
    settings.sessionExpires = std::max(settings.minSE, seconds(profile.defaultSessionExpires));
    switch (profile.sessionRefresher) {
    case SessionRefresherPreference::Unspecified:
        break;
    case SessionRefresherPreference::Local:
        settings.requestRefresher = SessionRefresher::Uac;
        settings.answerRefresher = SessionRefresher::Uas;
        break;
    case SessionRefresherPreference::Remote:
        settings.requestRefresher = SessionRefresher::Uas;
        settings.answerRefresher = SessionRefresher::Uac;
        break;
    }
    return settings;
}

SessionTimer::SessionTimer(SessionTimerSettings settings)
    : settings_(std::move(settings)), minSE_(settings_.minSE), requestInterval_(settings_.sessionExpires) {
    if (settings_.minSE < kFloor) {
        throw std::invalid_argument("SessionTimer: Min-SE must be at least 90 seconds (RFC 4028 section 5)");
    }
    if (settings_.sessionExpires < settings_.minSE) {
        throw std::invalid_argument("SessionTimer: Session-Expires must not be below Min-SE");
    }
}

seconds SessionTimer::ExpiryMargin(seconds interval) noexcept { return std::min(seconds(32), interval / 3); }

// ---- UAC ------------------------------------------------------------------------------------------

void SessionTimer::AddToRequest(SipMessage& request) const {
    if (!settings_.enabled || request.Method() == "ACK") {
        return;
    }
    // Section 7.1: Supported: timer on every request but ACK, whether or not we ask for a timer.
    if (!ListsTag(request, HeaderType::Supported, kTag)) {
        request.Add(HeaderType::Supported, kTag);
    }
    if (!IsRefreshMethod(request.Method())) {
        return;
    }
    SessionExpires expires;
    expires.SetValue(static_cast<std::uint32_t>(requestInterval_.count()));
    std::optional<SessionRefresher> refresher = settings_.requestRefresher;
    if (state_ == State::Refreshing || state_ == State::RefreshDue) {
        refresher = SessionRefresher::Uac; // section 7.4: a refresh keeps the refresher as it is
    } else if (state_ == State::Watching) {
        refresher = SessionRefresher::Uas;
    }
    if (refresher) {
        expires.SetRefresher(ToString(*refresher));
    }
    request.Set(HeaderType::SessionExpires, std::move(expires));
    SessionExpires min;
    min.SetValue(static_cast<std::uint32_t>(minSE_.count()));
    request.Set(HeaderType::MinSE, std::move(min));
}

SessionTimerStep SessionTimer::OnResponse(const SipMessage& response, TimePoint now) {
    SessionTimerStep step;
    const CSeq* cseq = response.Peek<CSeq>(HeaderType::CSeq);
    if (!settings_.enabled || cseq == nullptr || !IsRefreshMethod(cseq->Method())) {
        return step;
    }
    const int status = response.StatusCode();
    if (status == 422) {
        // Section 7.3: retry with the larger Min-SE, raising Session-Expires to it. A Min-SE that is
        // missing, unreadable or not larger than ours would make the retry fail the same way.
        const SessionExpires* min = response.Peek<SessionExpires>(HeaderType::MinSE);
        step.event = TimerEvent::Failed;
        if (min == nullptr) {
            step.reason = "422 without a readable Min-SE";
        } else if (seconds(min->Value()) <= minSE_) {
            step.reason = "422 with a Min-SE of " + std::to_string(min->Value()) + " s, not above ours";
        } else if (retries_ >= kMaxRetries) {
            step.reason = "422 again after " + std::to_string(kMaxRetries) + " retries";
        } else {
            ++retries_;
            minSE_ = seconds(min->Value());
            requestInterval_ = std::max(requestInterval_, minSE_);
            step.event = TimerEvent::Retry;
            step.reason = "Min-SE raised to " + std::to_string(min->Value()) + " s";
        }
        return step;
    }
    if (status < 200 || status > 299) {
        return step;
    }
    retries_ = 0;
    NoteAllow(response);
    ParseFailure failure;
    const SessionExpires* expires = response.Peek<SessionExpires>(HeaderType::SessionExpires, 0, &failure);
    if (expires == nullptr) {
        const bool unreadable = response.Has(HeaderType::SessionExpires);
        // Section 7.2: no Session-Expires, no session timer; unless we asked to refresh, which we
        // then do on our own with the interval we asked for.
        if (settings_.requestRefresher == SessionRefresher::Uac) {
            step = Start(requestInterval_, true, now);
        } else {
            step = StopTimer("the 2xx carries no Session-Expires");
        }
        step.peerValueIgnored = unreadable;
        return step;
    }
    seconds interval(expires->Value());
    bool raised = false;
    if (interval < minSE_) {
        // The UAS may not go below our Min-SE (section 9); a shorter interval would have us refresh
        // faster than we agreed to, so ours holds.
        interval = minSE_;
        raised = true;
    } else if (interval > requestInterval_) {
        // Nor may it lengthen the interval (section 9): a peer that did could keep a dead session
        // alive for years. What we asked for holds.
        interval = requestInterval_;
        raised = true;
    }
    // Section 7.2: "uac" names us. A 2xx without a (readable) refresher breaks section 9; we then
    // refresh ourselves, the choice that keeps the session alive whatever the peer does.
    const std::optional<SessionRefresher> refresher = ReadRefresher(expires->Refresher());
    step = Start(interval, refresher != SessionRefresher::Uas, now);
    step.peerValueIgnored = raised;
    return step;
}

// ---- UAS ------------------------------------------------------------------------------------------

SessionTimerStep SessionTimer::OnRequest(const SipMessage& request, std::string_view toTag, TimePoint /*now*/) {
    SessionTimerStep step;
    pending_.reset();
    if (!settings_.enabled || !IsRefreshMethod(request.Method())) {
        return step;
    }
    const auto reject = [&](int status, std::string_view phrase, bool withMinSE) {
        step.event = TimerEvent::Reject;
        step.reason = std::string(phrase);
        try {
            step.response = detail::MakeResponseTo(request, status, phrase, toTag);
            if (step.response && withMinSE) {
                SessionExpires min;
                min.SetValue(static_cast<std::uint32_t>(minSE_.count()));
                step.response->Set(HeaderType::MinSE, std::move(min));
            }
        } catch (const std::exception&) {
            step.response.reset(); // allocation only; the request is then dropped
        }
        return step;
    };
    NoteAllow(request);
    const bool peerSupports = ListsTag(request, HeaderType::Supported, kTag) || ListsTag(request, HeaderType::Require, kTag);
    seconds requestMin{0};
    if (request.Has(HeaderType::MinSE)) {
        const SessionExpires* min = request.Peek<SessionExpires>(HeaderType::MinSE);
        if (min == nullptr) {
            return reject(400, "Malformed Min-SE", false);
        }
        requestMin = seconds(min->Value());
    }
    Pending pending;
    pending.peerSupports = peerSupports;
    const seconds floor = std::max(requestMin, minSE_);
    if (request.Has(HeaderType::SessionExpires)) {
        const SessionExpires* expires = request.Peek<SessionExpires>(HeaderType::SessionExpires);
        if (expires == nullptr) {
            return reject(400, "Malformed Session-Expires", false);
        }
        const seconds asked(expires->Value());
        if (asked < minSE_) {
            if (peerSupports) {
                return reject(422, "Session Interval Too Small", true);
            }
            // A UAC without the extension cannot act on a 422 (the header came from a proxy):
            // raise the interval instead, as section 8 has proxies do.
            pendingIgnoredPeerValue_ = true;
        } else {
            pendingIgnoredPeerValue_ = false;
        }
        // Section 9: the UAS may shorten the interval, never below either Min-SE.
        pending.interval = std::max(std::min(asked, settings_.sessionExpires), floor);
        // The refresher the UAC named, else our choice (section 9 leaves it to the UAS), by default
        // the UAC itself: it asked for the timer. A UAC without the extension cannot refresh, so
        // then we do.
        const std::optional<SessionRefresher> named = ReadRefresher(expires->Refresher());
        pending.refresher = !peerSupports
                                ? SessionRefresher::Uas
                                : named.value_or(settings_.answerRefresher.value_or(SessionRefresher::Uac));
    } else {
        // No timer asked for: we may still run one (section 9), and as the side that wants it we
        // refresh, unless told to leave it to a UAC that can.
        pendingIgnoredPeerValue_ = false;
        pending.interval = std::max(settings_.sessionExpires, floor);
        pending.refresher = peerSupports ? settings_.answerRefresher.value_or(SessionRefresher::Uas)
                                         : SessionRefresher::Uas;
    }
    pending_ = pending;
    return step;
}

SessionTimerStep SessionTimer::AddToSuccess(SipMessage& response, TimePoint now) {
    if (!settings_.enabled || !pending_) {
        return {};
    }
    const Pending pending = *pending_;
    pending_.reset();
    SessionExpires expires;
    expires.SetValue(static_cast<std::uint32_t>(pending.interval.count()));
    expires.SetRefresher(ToString(pending.refresher));
    response.Set(HeaderType::SessionExpires, std::move(expires));
    if (!ListsTag(response, HeaderType::Supported, kTag)) {
        response.Add(HeaderType::Supported, kTag);
    }
    // Section 9: Require: timer only towards a UAC that supports it; another would refuse the 2xx.
    if (pending.peerSupports && !ListsTag(response, HeaderType::Require, kTag)) {
        response.Add(HeaderType::Require, kTag);
    }
    SessionTimerStep step = Start(pending.interval, pending.refresher == SessionRefresher::Uas, now);
    step.peerValueIgnored = pendingIgnoredPeerValue_;
    return step;
}

// ---- timer ----------------------------------------------------------------------------------------

SessionTimerStep SessionTimer::OnTimer(TimePoint now) {
    SessionTimerStep step;
    if (!due_ || now < *due_) {
        return step;
    }
    switch (state_) {
    case State::Inactive:
    case State::Expired:
        return step;
    case State::Refreshing:
        state_ = State::RefreshDue;
        due_ = deadline_;
        step.event = TimerEvent::Refresh;
        step.method = peerAllowsUpdate_ ? RefreshMethod::Update : RefreshMethod::Invite;
        step.wakeAt = deadline_;
        return step;
    case State::RefreshDue:
    case State::Watching:
        step.reason = state_ == State::Watching ? "the peer did not refresh the session"
                                                 : "our refresh got no 2xx in time";
        state_ = State::Expired;
        due_.reset();
        step.event = TimerEvent::Expired;
        step.stopTimer = true;
        return step;
    }
    return step;
}

SessionTimerStep SessionTimer::Stop() {
    pending_.reset();
    return StopTimer("the session ended");
}

SessionTimerStep SessionTimer::Start(seconds interval, bool weRefresh, TimePoint now) {
    interval_ = interval;
    requestInterval_ = interval; // section 7.4: refreshes ask for the interval in effect
    deadline_ = now + interval - ExpiryMargin(interval);
    state_ = weRefresh ? State::Refreshing : State::Watching;
    due_ = weRefresh ? now + interval / 2 : *deadline_;
    SessionTimerStep step;
    step.event = TimerEvent::Started;
    step.wakeAt = due_;
    step.interval = interval;
    step.weRefresh = weRefresh;
    return step;
}

SessionTimerStep SessionTimer::StopTimer(std::string reason) {
    SessionTimerStep step;
    const bool wasRunning = state_ != State::Inactive && state_ != State::Expired;
    state_ = State::Inactive;
    interval_ = seconds(0);
    due_.reset();
    deadline_.reset();
    if (wasRunning) {
        step.event = TimerEvent::Stopped;
        step.stopTimer = true;
        step.reason = std::move(reason);
    }
    return step;
}

void SessionTimer::NoteAllow(const SipMessage& message) {
    if (!message.Has(HeaderType::Allow)) {
        return; // no Allow says nothing new about the peer
    }
    bool update = false;
    const std::size_t count = message.Count(HeaderType::Allow);
    for (std::size_t i = 0; i < count && !update; ++i) {
        const Token* method = message.Peek<Token>(HeaderType::Allow, i);
        update = method != nullptr && method->Value() == "UPDATE"; // methods are case-sensitive
    }
    peerAllowsUpdate_ = update;
}

// ---- names ----------------------------------------------------------------------------------------

std::string_view ToString(SessionRefresher refresher) noexcept {
    switch (refresher) {
    case SessionRefresher::Uac:
        return "uac";
    case SessionRefresher::Uas:
        return "uas";
    }
    return "unknown";
}

std::string_view ToString(RefreshMethod method) noexcept {
    switch (method) {
    case RefreshMethod::Update:
        return "UPDATE";
    case RefreshMethod::Invite:
        return "INVITE";
    }
    return "unknown";
}

std::string_view ToString(SessionTimer::State state) noexcept {
    switch (state) {
    case SessionTimer::State::Inactive:
        return "Inactive";
    case SessionTimer::State::Refreshing:
        return "Refreshing";
    case SessionTimer::State::RefreshDue:
        return "RefreshDue";
    case SessionTimer::State::Watching:
        return "Watching";
    case SessionTimer::State::Expired:
        return "Expired";
    }
    return "unknown";
}

std::string_view ToString(SessionTimerStep::Event event) noexcept {
    switch (event) {
    case TimerEvent::None:
        return "None";
    case TimerEvent::Started:
        return "Started";
    case TimerEvent::Stopped:
        return "Stopped";
    case TimerEvent::Retry:
        return "Retry";
    case TimerEvent::Failed:
        return "Failed";
    case TimerEvent::Reject:
        return "Reject";
    case TimerEvent::Refresh:
        return "Refresh";
    case TimerEvent::Expired:
        return "Expired";
    }
    return "unknown";
}

} // namespace zel::sip::stack

#include "stack/dum/InviteSessionCore.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>

namespace zel::sip::stack {

namespace {

using Kind = InviteSend::Kind;

double DefaultUniform() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

InviteSend Respond(int code, std::string_view method, bool withBody = false) {
    return InviteSend{Kind::Response, code, method, withBody};
}

InviteSend Send(Kind kind, bool withBody = false) { return InviteSend{kind, 0, {}, withBody}; }

/// The method names the core keeps views of must outlive the caller's message.
std::string_view Interned(std::string_view method) noexcept {
    if (method == "INVITE") {
        return "INVITE";
    }
    if (method == "UPDATE") {
        return "UPDATE";
    }
    if (method == "BYE") {
        return "BYE";
    }
    if (method == "INFO") {
        return "INFO";
    }
    if (method == "MESSAGE") {
        return "MESSAGE";
    }
    if (method == "OPTIONS") {
        return "OPTIONS";
    }
    if (method == "PRACK") {
        return "PRACK";
    }
    if (method == "REFER") {
        return "REFER";
    }
    if (method == "NOTIFY") {
        return "NOTIFY";
    }
    return "";
}

} // namespace

bool InviteStep::Sends(InviteSend::Kind kind) const noexcept {
    return std::any_of(send.begin(), send.end(), [kind](const InviteSend& s) { return s.kind == kind; });
}

bool InviteStep::Has(InviteEvent event) const noexcept {
    return std::find(events.begin(), events.end(), event) != events.end();
}

InviteSessionCore::InviteSessionCore(Role role, InviteTimings timings)
    : role_(role), timings_(std::move(timings)), state_(role == Role::Uac ? State::Calling : State::Proceeding) {
    if (!timings_.uniform) {
        timings_.uniform = &DefaultUniform;
    }
}

InviteSessionCore InviteSessionCore::Client(bool offerInInvite, InviteTimings timings) {
    InviteSessionCore core(Role::Uac, std::move(timings));
    core.offerInInvite_ = offerInInvite;
    if (offerInInvite) {
        core.offerAnswer_.OfferSent();
    }
    return core;
}

InviteSessionCore InviteSessionCore::Server(InviteTimings timings) { return InviteSessionCore(Role::Uas, std::move(timings)); }

InviteStep InviteSessionCore::Terminate(InviteStep step, TerminatedReason reason) {
    state_ = State::Terminated;
    // Whatever ends the session, a request of the peer still waiting for the application (an
    // UPDATE in the early dialog, a re-INVITE) gets its final response: its transaction would
    // otherwise wait for a response that never comes.
    AnswerRemotePending(step);
    localPending_.reset();
    glareRetry_.reset();
    ackPending_ = false;
    prackAwaitsAnswer_ = false;
    step.stop = {InviteTimer::Retransmit2xx, InviteTimer::AckWait, InviteTimer::GlareRetry,
                 InviteTimer::StaleCall,     InviteTimer::StaleReInvite, InviteTimer::AnswerDue};
    step.arm.clear();
    // The application hears only of sessions it was told about.
    if (newSessionReported_) {
        step.events.push_back(InviteEvent::Terminated);
    }
    step.terminated = reason;
    return step;
}

void InviteSessionCore::AnswerRemotePending(InviteStep& step) {
    // The peer's UPDATE (or re-INVITE) still waiting for the application ends with the session.
    if (remotePending_ && !remotePending_->answered) {
        step.send.push_back(Respond(487, remotePending_->method));
    }
    remotePending_.reset();
}

void InviteSessionCore::Arm2xxTimers(InviteStep& step, TimePoint now) {
    // RFC 3261 section 13.3.1.4: T1, doubling to T2, until the ACK; give up after 64*T1.
    retransmitInterval_ = timings_.t1;
    step.arm.emplace_back(InviteTimer::Retransmit2xx, now + retransmitInterval_);
    step.arm.emplace_back(InviteTimer::AckWait, now + 64 * timings_.t1);
}

// ---- UAC ---------------------------------------------------------------------------------------------

InviteStep InviteSessionCore::OnInviteResponse(int code, bool hasBody, bool reliable, TimePoint now) {
    InviteStep step;
    if (state_ != State::Calling && state_ != State::Early && state_ != State::Cancelling) {
        return step; // answered already: retransmissions and late forks are the caller's
    }
    if (code <= 100) {
        return step;
    }
    if (code < 200) {
        if (!newSessionReported_ && !cancelWanted_) {
            newSessionReported_ = true;
            step.events.push_back(InviteEvent::NewSession);
        }
        if (state_ == State::Calling) {
            state_ = State::Early;
        }
        bool deferPrack = false;
        // RFC 3261 section 13.2.1: once the exchange of the INVITE is complete, no response to it
        // carries a new offer; a description repeated in a later reliable 1xx is no offer.
        const bool repeated = reliable && offerAnswer_.HasNegotiated() && offerAnswer_.GetState() == OfferAnswer::State::Idle;
        if (hasBody && !cancelWanted_ && !repeated) {
            switch (offerAnswer_.OnReceived(reliable ? OfferAnswer::Carrier::Reliable : OfferAnswer::Carrier::Unreliable1xx)) {
            case OfferAnswer::Verdict::Answer:
                step.events.push_back(InviteEvent::Answer);
                break;
            case OfferAnswer::Verdict::EarlyMedia:
                step.events.push_back(InviteEvent::EarlyMedia);
                break;
            case OfferAnswer::Verdict::Offer:
                step.bodyIsOffer = true;
                step.events.push_back(InviteEvent::Offer);
                // RFC 3262 section 5: the PRACK of a 1xx with an offer carries the answer.
                deferPrack = reliable;
                break;
            case OfferAnswer::Verdict::Illegal:
                step.events.push_back(InviteEvent::IllegalNegotiation);
                break;
            case OfferAnswer::Verdict::Ignored:
            case OfferAnswer::Verdict::Glare:
            case OfferAnswer::Verdict::Pending:
                break;
            }
        }
        if (deferPrack) {
            prackAwaitsAnswer_ = true;
        } else if (reliable) {
            step.send.push_back(Send(Kind::Prack));
        }
        if (!cancelWanted_) {
            step.events.push_back(InviteEvent::Provisional);
        }
        return step;
    }
    if (code < 300) {
        return OnAnswerToInvite(code, hasBody, now);
    }
    if (cancelWanted_) {
        // 487 (or whatever came first): the call we cancelled is over.
        return Terminate(std::move(step), TerminatedReason::LocalCancel);
    }
    if (!newSessionReported_) {
        newSessionReported_ = true;
        step.events.push_back(InviteEvent::NewSession);
    }
    if (code < 400) {
        step.events.push_back(InviteEvent::Redirected);
    }
    step.events.push_back(InviteEvent::Failure);
    return Terminate(std::move(step), TerminatedReason::Rejected);
}

InviteStep InviteSessionCore::OnAnswerToInvite(int /*code*/, bool hasBody, TimePoint now) {
    InviteStep step;
    if (cancelWanted_) {
        // Our CANCEL crossed the 2xx (RFC 3261 section 15): the call is up, so ACK and BYE it.
        step.send.push_back(Send(Kind::Ack));
        step.send.push_back(Send(Kind::Bye));
        return Terminate(std::move(step), TerminatedReason::LocalCancel);
    }
    if (!newSessionReported_) {
        newSessionReported_ = true;
        step.events.push_back(InviteEvent::NewSession);
    }
    state_ = State::Connected;
    accepted_ = true;
    step.stop.push_back(InviteTimer::StaleCall);
    bool illegal = false;
    if (prackAwaitsAnswer_) {
        // The 2xx overtook our answer to the offer of a reliable 1xx: it goes in the ACK instead.
        prackAwaitsAnswer_ = false;
        ackPending_ = true;
        step.arm.emplace_back(InviteTimer::AnswerDue, now + 32 * timings_.t1);
    } else if (offerAnswer_.GetState() == OfferAnswer::State::LocalOffer) {
        if (hasBody) {
            offerAnswer_.OnReceived(OfferAnswer::Carrier::Reliable);
            step.events.push_back(InviteEvent::Answer);
        } else {
            offerAnswer_.OnMissing();
            illegal = true;
        }
    } else if (hasBody && !offerAnswer_.HasNegotiated() && offerAnswer_.GetState() == OfferAnswer::State::Idle) {
        // Our INVITE had no offer: the 2xx has it and our answer goes in the ACK.
        offerAnswer_.OnReceived(OfferAnswer::Carrier::Reliable);
        step.bodyIsOffer = true;
        step.events.push_back(InviteEvent::Offer);
        ackPending_ = true;
        step.arm.emplace_back(InviteTimer::AnswerDue, now + 32 * timings_.t1);
    } else if (!hasBody && !offerAnswer_.HasNegotiated()) {
        illegal = true; // an INVITE without offer needs the offer in the 2xx
    } else if (hasBody && offerAnswer_.GetState() == OfferAnswer::State::Idle) {
        // A reliable 1xx brought the answer; the 2xx may repeat it (RFC 3262 section 5 wants the
        // same session description), and the caller reports one that differs.
        step.events.push_back(InviteEvent::RemoteAnswerChanged);
    }
    if (!ackPending_) {
        step.send.insert(step.send.begin(), Send(Kind::Ack));
    }
    if (illegal) {
        step.events.push_back(InviteEvent::IllegalNegotiation);
    }
    step.events.push_back(InviteEvent::Connected);
    connectedReported_ = true;
    return step;
}

InviteStep InviteSessionCore::OnInviteSent(TimePoint now) {
    InviteStep step;
    if (role_ == Role::Uac && (state_ == State::Calling || state_ == State::Early) && timings_.staleCall.count() > 0) {
        step.arm.emplace_back(InviteTimer::StaleCall, now + timings_.staleCall);
    }
    return step;
}

InviteStep InviteSessionCore::On2xxRetransmission() {
    InviteStep step;
    if (role_ == Role::Uac && (state_ == State::Connected || state_ == State::Ending) && !ackPending_) {
        step.send.push_back(Send(Kind::RetransmitAck));
    }
    return step;
}

InviteStep InviteSessionCore::OnInviteFailure(bool timeout) {
    InviteStep step;
    if (state_ != State::Calling && state_ != State::Early && state_ != State::Cancelling) {
        return step;
    }
    if (cancelWanted_) {
        return Terminate(std::move(step), TerminatedReason::LocalCancel);
    }
    if (!newSessionReported_) {
        newSessionReported_ = true;
        step.events.push_back(InviteEvent::NewSession);
    }
    step.events.push_back(InviteEvent::Failure);
    return Terminate(std::move(step), timeout ? TerminatedReason::Timeout : TerminatedReason::Error);
}

// ---- UAS ---------------------------------------------------------------------------------------------

InviteStep InviteSessionCore::Start(bool hasBody) {
    InviteStep step;
    if (role_ != Role::Uas || newSessionReported_) {
        throw std::logic_error("InviteSessionCore::Start: only once, on a server session");
    }
    newSessionReported_ = true;
    offerInInvite_ = hasBody;
    step.events.push_back(InviteEvent::NewSession);
    if (hasBody) {
        offerAnswer_.OnReceived(OfferAnswer::Carrier::Request);
        step.bodyIsOffer = true;
        step.events.push_back(InviteEvent::Offer);
    } else {
        step.events.push_back(InviteEvent::OfferRequired);
    }
    return step;
}

InviteStep InviteSessionCore::Accept(int code, TimePoint now) {
    if (role_ != Role::Uas || state_ != State::Proceeding) {
        throw std::logic_error("Accept: the INVITE is answered already or the session has ended");
    }
    if (code < 200 || code > 299) {
        throw std::logic_error("Accept: a 2xx status code is needed, not " + std::to_string(code));
    }
    if (!localReady_) {
        throw std::logic_error(offerInInvite_ ? "Accept: provide an answer to the offer first"
                                              : "Accept: provide an offer first (the INVITE had none)");
    }
    InviteStep step;
    state_ = State::Accepted;
    accepted_ = true;
    step.send.push_back(Respond(code, "INVITE", !bodySentReliably_));
    Arm2xxTimers(step, now);
    return step;
}

InviteStep InviteSessionCore::OnCancel() {
    InviteStep step;
    if (state_ != State::Proceeding) {
        return step; // answered already: the CANCEL changes nothing (RFC 3261 section 9.2)
    }
    AnswerRemotePending(step);
    step.send.push_back(Respond(487, "INVITE"));
    return Terminate(std::move(step), TerminatedReason::RemoteCancel);
}

InviteStep InviteSessionCore::OnAck(bool hasBody) {
    InviteStep step;
    const bool initial = state_ == State::Accepted;
    const bool reInvite = remotePending_ && remotePending_->method == "INVITE" && remotePending_->answered;
    if (!initial && !reInvite) {
        return step; // a retransmitted ACK, or one for nothing we sent
    }
    step.stop = {InviteTimer::Retransmit2xx, InviteTimer::AckWait};
    if (reInvite) {
        remotePending_.reset();
    }
    if (offerAnswer_.GetState() == OfferAnswer::State::LocalOffer) {
        // Our offer went in the 2xx: the ACK has the answer (RFC 3261 section 13.2.1).
        if (hasBody) {
            offerAnswer_.OnReceived(OfferAnswer::Carrier::Ack);
            step.events.push_back(InviteEvent::Answer);
        } else {
            offerAnswer_.OnMissing();
            step.events.push_back(InviteEvent::IllegalNegotiation);
        }
    }
    step.events.push_back(InviteEvent::AckReceived);
    if (initial) {
        state_ = State::Connected;
        connectedReported_ = true;
        step.events.push_back(InviteEvent::Connected);
        step.events.push_back(InviteEvent::ConnectedConfirmed);
        if (endAfterAck_) {
            step.send.push_back(Send(Kind::Bye));
            state_ = State::Ending;
        }
    }
    return step;
}

void InviteSessionCore::OnProvisionalSent(bool withBody, bool reliable) noexcept {
    if (role_ == Role::Uas && state_ == State::Proceeding && withBody && reliable && localReady_) {
        bodySentReliably_ = true;
    }
}

InviteStep InviteSessionCore::OnPrack(bool hasBody) {
    InviteStep step;
    if (role_ != Role::Uas || state_ == State::Terminated) {
        return step;
    }
    if (bodySentReliably_ && offerAnswer_.GetState() == OfferAnswer::State::LocalOffer) {
        // Our offer went in a reliable 1xx: its PRACK answers it as an ACK answers an offer in a
        // 2xx (RFC 3262 section 5).
        if (hasBody) {
            offerAnswer_.OnReceived(OfferAnswer::Carrier::Ack);
            step.events.push_back(InviteEvent::Answer);
        } else {
            offerAnswer_.OnMissing();
            step.events.push_back(InviteEvent::IllegalNegotiation);
        }
    }
    step.events.push_back(InviteEvent::Prack);
    return step;
}

InviteStep InviteSessionCore::OnReliableProvisionalTimeout() {
    InviteStep step;
    if (role_ != Role::Uas || state_ != State::Proceeding) {
        return step;
    }
    AnswerRemotePending(step);
    step.send.push_back(Respond(504, "INVITE"));
    return Terminate(std::move(step), TerminatedReason::Timeout);
}

// ---- both --------------------------------------------------------------------------------------------

InviteStep InviteSessionCore::ProvideOffer(TimePoint now, bool useUpdate) {
    InviteStep step;
    if (state_ == State::Proceeding && role_ == Role::Uas && !offerInInvite_ && !useUpdate) {
        if (!offerAnswer_.OfferSent()) {
            throw std::logic_error("ProvideOffer: an offer is outstanding already");
        }
        localReady_ = true; // it goes in the 2xx
        return step;
    }
    if (remotePending_ && remotePending_->method == "INVITE" && !remotePending_->offerReceived &&
        !remotePending_->answered) {
        // A re-INVITE without offer: our offer goes in the 2xx, the answer comes in the ACK.
        if (!offerAnswer_.OfferSent()) {
            throw std::logic_error("ProvideOffer: an offer is outstanding already");
        }
        remotePending_->answered = true;
        step.send.push_back(Respond(200, "INVITE", true));
        Arm2xxTimers(step, now);
        return step;
    }
    const bool earlyUpdate = useUpdate && (state_ == State::Early || state_ == State::Proceeding) &&
                             offerAnswer_.HasNegotiated();
    if (state_ != State::Connected && !earlyUpdate) {
        throw std::logic_error(std::string("ProvideOffer: not possible in state ") + std::string(ToString(state_)));
    }
    if (localPending_ || glareRetry_ || remotePending_) {
        throw std::logic_error("ProvideOffer: a re-INVITE or UPDATE is in progress");
    }
    if (!offerAnswer_.OfferSent()) {
        throw std::logic_error("ProvideOffer: an offer/answer exchange is in progress");
    }
    localPending_ = Local{useUpdate ? "UPDATE" : "INVITE", true};
    step.send.push_back(Send(useUpdate ? Kind::Update : Kind::ReInvite, true));
    ArmStaleReInvite(step, now);
    return step;
}

InviteStep InviteSessionCore::ProvideAnswer(TimePoint now) {
    InviteStep step;
    if (prackAwaitsAnswer_) {
        if (!offerAnswer_.AnswerSent()) {
            throw std::logic_error("ProvideAnswer: there is no offer to answer");
        }
        prackAwaitsAnswer_ = false;
        step.send.push_back(Send(Kind::Prack, true));
        return step;
    }
    if (ackPending_) {
        offerAnswer_.AnswerSent();
        ackPending_ = false;
        step.send.push_back(Send(Kind::Ack, true));
        step.stop.push_back(InviteTimer::AnswerDue);
        return step;
    }
    if (state_ == State::Proceeding && role_ == Role::Uas && offerInInvite_ && !localReady_) {
        if (!offerAnswer_.AnswerSent()) {
            throw std::logic_error("ProvideAnswer: there is no offer to answer");
        }
        localReady_ = true; // it goes in the 2xx
        return step;
    }
    if (remotePending_ && remotePending_->offerReceived && !remotePending_->answered) {
        if (!offerAnswer_.AnswerSent()) {
            throw std::logic_error("ProvideAnswer: there is no offer to answer");
        }
        step.send.push_back(Respond(200, remotePending_->method, true));
        if (remotePending_->method == "INVITE") {
            remotePending_->answered = true;
            Arm2xxTimers(step, now);
        } else {
            remotePending_.reset();
        }
        return step;
    }
    throw std::logic_error("ProvideAnswer: there is no offer to answer");
}

InviteStep InviteSessionCore::Reject(int code) {
    if (code < 300 || code > 699) {
        throw std::logic_error("Reject: a status code from 300 to 699 is needed, not " + std::to_string(code));
    }
    InviteStep step;
    if (state_ == State::Proceeding) {
        AnswerRemotePending(step);
        step.send.push_back(Respond(code, "INVITE"));
        offerAnswer_.RollBack();
        return Terminate(std::move(step), TerminatedReason::Rejected);
    }
    if (remotePending_ && !remotePending_->answered) {
        step.send.push_back(Respond(code, remotePending_->method));
        if (remotePending_->offerReceived) {
            offerAnswer_.RollBack();
        }
        remotePending_.reset();
        return step;
    }
    throw std::logic_error(std::string("Reject: nothing to refuse in state ") + std::string(ToString(state_)));
}

InviteStep InviteSessionCore::End(EndReason reason) {
    InviteStep step;
    // The session timer expired (RFC 4028 section 10): the session timed out, whoever sends the BYE.
    const TerminatedReason byeReason =
        reason == EndReason::SessionExpired ? TerminatedReason::Timeout : TerminatedReason::LocalBye;
    switch (state_) {
    case State::Calling:
    case State::Early:
        // RFC 3261 section 9.1: CANCEL; the stack holds it until a provisional has arrived.
        cancelWanted_ = true;
        prackAwaitsAnswer_ = false;
        state_ = State::Cancelling;
        step.send.push_back(Send(Kind::Cancel));
        return step;
    case State::Cancelling:
    case State::Ending:
    case State::Terminated:
        return step;
    case State::Proceeding:
        AnswerRemotePending(step);
        step.send.push_back(Respond(480, "INVITE"));
        return Terminate(std::move(step), TerminatedReason::Rejected);
    case State::Accepted:
        // RFC 3261 section 15: no BYE before the ACK of our 2xx (or its time-out).
        endAfterAck_ = true;
        byeReason_ = byeReason;
        return step;
    case State::Connected:
        if (ackPending_) {
            ackPending_ = false;
            step.send.push_back(Send(Kind::Ack));
        }
        if (remotePending_ && !remotePending_->answered) {
            step.send.push_back(Respond(487, remotePending_->method));
        }
        remotePending_.reset();
        localPending_.reset();
        glareRetry_.reset();
        step.send.push_back(Send(Kind::Bye));
        step.stop = {InviteTimer::Retransmit2xx, InviteTimer::AckWait, InviteTimer::GlareRetry,
                     InviteTimer::StaleReInvite, InviteTimer::AnswerDue};
        state_ = State::Ending;
        byeReason_ = byeReason;
        return step;
    }
    return step;
}

InviteStep InviteSessionCore::Refresh(bool useUpdate) {
    InviteStep step;
    if (state_ != State::Connected || localPending_ || glareRetry_ || ackPending_) {
        return step;
    }
    if (useUpdate) {
        // RFC 3311 section 5.1: an UPDATE without offer may go whatever exchange is under way.
        localPending_ = Local{"UPDATE", false, true};
        step.send.push_back(Send(Kind::Update, false));
        return step;
    }
    if (remotePending_ || !offerAnswer_.OfferSent()) {
        return step;
    }
    localPending_ = Local{"INVITE", true, true};
    step.send.push_back(Send(Kind::ReInvite, true));
    return step;
}

InviteStep InviteSessionCore::OnRemoteOfferRequest(std::string_view method, bool hasBody) {
    InviteStep step;
    method = Interned(method);
    if (remotePending_) {
        // RFC 3261 section 14.2 / RFC 3311 section 5.2: one at a time, ask to retry.
        step.send.push_back(Respond(500, method));
        return step;
    }
    if (method == "INVITE" && localPending_ && localPending_->method == "INVITE") {
        step.send.push_back(Respond(491, method));
        return step;
    }
    if (!hasBody) {
        if (method == "UPDATE") {
            step.send.push_back(Respond(200, method)); // a target refresh only
            return step;
        }
        if (!offerAnswer_.CanSendOffer()) {
            step.send.push_back(Respond(offerAnswer_.GetState() == OfferAnswer::State::LocalOffer ? 491 : 500, method));
            return step;
        }
        remotePending_ = Remote{method, false, false};
        step.events.push_back(InviteEvent::OfferRequired);
        return step;
    }
    switch (offerAnswer_.OnReceived(OfferAnswer::Carrier::Request)) {
    case OfferAnswer::Verdict::Offer:
        remotePending_ = Remote{method, true, false};
        step.bodyIsOffer = true;
        step.events.push_back(InviteEvent::Offer);
        return step;
    case OfferAnswer::Verdict::Glare:
        step.send.push_back(Respond(491, method));
        return step;
    case OfferAnswer::Verdict::Pending:
    case OfferAnswer::Verdict::Answer:
    case OfferAnswer::Verdict::EarlyMedia:
    case OfferAnswer::Verdict::Ignored:
    case OfferAnswer::Verdict::Illegal:
        step.send.push_back(Respond(500, method));
        return step;
    }
    return step;
}

InviteStep InviteSessionCore::OnRequest(std::string_view method, bool hasBody, TimePoint /*now*/) {
    InviteStep step;
    // The caller finds the request to answer by its method: a method the core keeps no name of
    // is answered under the caller's own view of it (valid while the step is applied).
    const std::string_view received = method;
    method = Interned(method);
    if (state_ == State::Terminated) {
        step.send.push_back(Respond(481, method.empty() ? received : method));
        return step;
    }
    if (method == "BYE") {
        step.send.push_back(Respond(200, method));
        if (state_ == State::Proceeding) {
            step.send.push_back(Respond(487, "INVITE"));
        }
        if (remotePending_ && !remotePending_->answered) {
            step.send.push_back(Respond(487, remotePending_->method));
        }
        return Terminate(std::move(step), TerminatedReason::RemoteBye);
    }
    if (method == "INVITE") {
        const bool initialAwaitsAck = state_ == State::Accepted && !endAfterAck_;
        const bool reInviteAwaitsAck =
            state_ == State::Connected && remotePending_ && remotePending_->method == "INVITE" && remotePending_->answered;
        if ((initialAwaitsAck || reInviteAwaitsAck) && offerAnswer_.GetState() == OfferAnswer::State::Idle) {
            // Our 2xx has gone and the peer, sending in the dialog, has it: its ACK was lost or is
            // late. RFC 3261 section 14.2 asks for 500 only before the final response, and the
            // exchange is complete, so the new INVITE stands for the ACK (a late ACK then finds
            // nothing to acknowledge) and is taken as in Connected (RFC 5407 section 3.1.4).
            state_ = State::Connected;
            connectedReported_ = true;
            remotePending_.reset();
            InviteStep confirmed = OnRemoteOfferRequest(method, hasBody);
            confirmed.stop.push_back(InviteTimer::Retransmit2xx);
            confirmed.stop.push_back(InviteTimer::AckWait);
            if (initialAwaitsAck) {
                confirmed.events.insert(confirmed.events.begin(),
                                        {InviteEvent::Connected, InviteEvent::ConnectedConfirmed});
            }
            return confirmed;
        }
        if (state_ != State::Connected) {
            // An INVITE before the last one completed (RFC 3261 section 14.2), or while our offer
            // in the 2xx waits for its answer in the ACK.
            step.send.push_back(Respond(state_ == State::Ending ? 481 : 500, method));
            return step;
        }
        return OnRemoteOfferRequest(method, hasBody);
    }
    if (method == "UPDATE") {
        if (state_ == State::Ending || state_ == State::Cancelling) {
            step.send.push_back(Respond(481, method));
            return step;
        }
        return OnRemoteOfferRequest(method, hasBody);
    }
    if (method == "INFO" || method == "MESSAGE") {
        step.send.push_back(Respond(200, method));
        step.events.push_back(method == "INFO" ? InviteEvent::Info : InviteEvent::Message);
        return step;
    }
    if (method == "REFER") {
        step.events.push_back(InviteEvent::Refer);
        return step;
    }
    if (method == "OPTIONS" || (method == "NOTIFY" && referSent_)) {
        // NOTIFY: the progress of a REFER of ours (RFC 3515 section 2.4.4), taken and dropped.
        step.send.push_back(Respond(200, method));
        return step;
    }
    if (method == "PRACK") {
        // No reliable provisional of ours is outstanding (RFC 3262 section 3).
        step.send.push_back(Respond(481, method));
        return step;
    }
    step.send.push_back(Respond(501, method.empty() ? received : method));
    return step;
}

InviteStep InviteSessionCore::OnInDialogResponse(std::string_view method, int code, bool hasBody, TimePoint now) {
    InviteStep step;
    if (code < 200) {
        return step;
    }
    const bool success = code < 300;
    if (method == "BYE") {
        if (state_ == State::Ending) {
            return Terminate(std::move(step), byeReason_);
        }
        return step;
    }
    if (method == "INFO") {
        step.events.push_back(success ? InviteEvent::InfoSuccess : InviteEvent::InfoFailure);
        return step;
    }
    if (method == "MESSAGE") {
        step.events.push_back(success ? InviteEvent::MessageSuccess : InviteEvent::MessageFailure);
        return step;
    }
    if (method == "REFER") {
        step.events.push_back(success ? InviteEvent::ReferAccepted : InviteEvent::ReferRejected);
        return step;
    }
    if ((method != "INVITE" && method != "UPDATE") || !localPending_ || localPending_->method != method) {
        return step;
    }
    const Local sent = *localPending_;
    localPending_.reset();
    if (method == "INVITE") {
        step.stop.push_back(InviteTimer::StaleReInvite);
    }
    if (success && !sent.offer && !sent.refresh && method == "INVITE") {
        return OnOfferIn2xx(std::move(step), hasBody, now);
    }
    if (success) {
        if (method == "INVITE") {
            step.send.push_back(Send(Kind::Ack));
        }
        // A refresh without offer answers nothing, whatever exchange is under way beside it.
        if (sent.offer && offerAnswer_.GetState() == OfferAnswer::State::LocalOffer) {
            if (hasBody) {
                offerAnswer_.OnReceived(OfferAnswer::Carrier::Reliable);
                if (!sent.refresh) {
                    step.events.push_back(InviteEvent::Answer);
                }
            } else {
                offerAnswer_.OnMissing();
                step.events.push_back(InviteEvent::IllegalNegotiation);
            }
        }
        return step;
    }
    if (sent.offer && offerAnswer_.GetState() == OfferAnswer::State::LocalOffer) {
        offerAnswer_.RollBack();
    }
    if (state_ != State::Connected && state_ != State::Early && state_ != State::Proceeding) {
        return step;
    }
    if (code == 491) {
        const std::chrono::milliseconds delay = GlareDelay();
        glareRetry_ = sent;
        step.arm.emplace_back(InviteTimer::GlareRetry, now + delay);
        return step;
    }
    if (sent.refresh && code != 481 && code != 408) {
        // RFC 4028 section 10: a session that cannot be refreshed is over.
        step.send.push_back(Send(Kind::Bye));
        return Terminate(std::move(step), TerminatedReason::Error);
    }
    if (code == 481 || code == 408) {
        // RFC 5057 section 5.1: the dialog is gone (481), or the peer is unreachable (408).
        if (!sent.refresh) {
            step.events.push_back(sent.offer ? InviteEvent::OfferRejected : InviteEvent::OfferRequestRejected);
        }
        if (state_ == State::Early) {
            // Our INVITE is still in progress: CANCEL it; its final response ends the session.
            InviteStep cancel = End();
            step.send.insert(step.send.end(), cancel.send.begin(), cancel.send.end());
            return step;
        }
        if (state_ == State::Proceeding) {
            // The callee sends no BYE on an early dialog (RFC 3261 section 15): the INVITE still
            // waits for its final response, which ends the call as End does.
            AnswerRemotePending(step);
            step.send.push_back(Respond(480, "INVITE"));
        } else if (code == 408) {
            step.send.push_back(Send(Kind::Bye));
        }
        return Terminate(std::move(step), code == 408 ? TerminatedReason::Timeout : TerminatedReason::Error);
    }
    step.events.push_back(sent.offer ? InviteEvent::OfferRejected : InviteEvent::OfferRequestRejected);
    return step;
}

std::chrono::milliseconds InviteSessionCore::GlareDelay() const {
    // RFC 3261 section 14.1: the owner of the Call-ID (the UAC of the dialog) waits 2.1-4 s, the
    // other side 0-2 s, in units of 10 ms.
    const double u = std::clamp(timings_.uniform(), 0.0, 0.999999);
    return role_ == Role::Uac ? std::chrono::milliseconds(2100 + static_cast<int>(u * 191.0) * 10)
                              : std::chrono::milliseconds(static_cast<int>(u * 201.0) * 10);
}

InviteStep InviteSessionCore::OnTimer(InviteTimer timer, TimePoint now) {
    InviteStep step;
    const bool waitingForAck =
        state_ == State::Accepted || (remotePending_ && remotePending_->method == "INVITE" && remotePending_->answered);
    switch (timer) {
    case InviteTimer::Retransmit2xx:
        if (waitingForAck) {
            step.send.push_back(Send(Kind::Retransmit2xx));
            retransmitInterval_ = std::min(retransmitInterval_ * 2, timings_.t2);
            step.arm.emplace_back(InviteTimer::Retransmit2xx, now + retransmitInterval_);
        }
        return step;
    case InviteTimer::AckWait:
        if (!waitingForAck) {
            return step;
        }
        step.stop.push_back(InviteTimer::Retransmit2xx);
        if (offerAnswer_.GetState() == OfferAnswer::State::LocalOffer) {
            offerAnswer_.RollBack();
        }
        remotePending_.reset();
        if (state_ == State::Accepted) {
            // The dialog is confirmed all the same; the application decides (the default: BYE).
            state_ = State::Connected;
            if (endAfterAck_) {
                step.send.push_back(Send(Kind::Bye));
                state_ = State::Ending;
                return step;
            }
        }
        step.events.push_back(InviteEvent::AckNotReceived);
        return step;
    case InviteTimer::GlareRetry:
        if (!glareRetry_ || state_ == State::Terminated || state_ == State::Ending) {
            return step;
        }
        if (localPending_ || (glareRetry_->offer && (remotePending_ || !offerAnswer_.CanSendOffer()))) {
            // An exchange of the peer's is under way: try again after another wait of our kind.
            step.arm.emplace_back(InviteTimer::GlareRetry, now + GlareDelay());
            return step;
        }
        if (glareRetry_->offer) {
            offerAnswer_.OfferSent();
        }
        localPending_ = glareRetry_;
        glareRetry_.reset();
        step.send.push_back(Send(localPending_->method == "UPDATE" ? Kind::Update : Kind::ReInvite, localPending_->offer));
        if (localPending_->method == "INVITE") {
            ArmStaleReInvite(step, now);
        }
        return step;
    case InviteTimer::StaleCall:
    case InviteTimer::StaleReInvite:
    case InviteTimer::AnswerDue:
        return OnCallTimer(timer, now);
    }
    return step;
}

std::string_view ToString(InviteSessionCore::State state) noexcept {
    switch (state) {
    case InviteSessionCore::State::Calling:
        return "Calling";
    case InviteSessionCore::State::Early:
        return "Early";
    case InviteSessionCore::State::Cancelling:
        return "Cancelling";
    case InviteSessionCore::State::Proceeding:
        return "Proceeding";
    case InviteSessionCore::State::Accepted:
        return "Accepted";
    case InviteSessionCore::State::Connected:
        return "Connected";
    case InviteSessionCore::State::Ending:
        return "Ending";
    case InviteSessionCore::State::Terminated:
        return "Terminated";
    }
    return "?";
}

std::string_view ToString(InviteEvent event) noexcept {
    switch (event) {
    case InviteEvent::NewSession: return "NewSession";
    case InviteEvent::Provisional: return "Provisional";
    case InviteEvent::EarlyMedia: return "EarlyMedia";
    case InviteEvent::Answer: return "Answer";
    case InviteEvent::Offer: return "Offer";
    case InviteEvent::OfferRequired: return "OfferRequired";
    case InviteEvent::Connected: return "Connected";
    case InviteEvent::AckReceived: return "AckReceived";
    case InviteEvent::AckNotReceived: return "AckNotReceived";
    case InviteEvent::Failure: return "Failure";
    case InviteEvent::Redirected: return "Redirected";
    case InviteEvent::OfferRejected: return "OfferRejected";
    case InviteEvent::IllegalNegotiation: return "IllegalNegotiation";
    case InviteEvent::Info: return "Info";
    case InviteEvent::Message: return "Message";
    case InviteEvent::Refer: return "Refer";
    case InviteEvent::InfoSuccess: return "InfoSuccess";
    case InviteEvent::InfoFailure: return "InfoFailure";
    case InviteEvent::MessageSuccess: return "MessageSuccess";
    case InviteEvent::MessageFailure: return "MessageFailure";
    case InviteEvent::ConnectedConfirmed: return "ConnectedConfirmed";
    case InviteEvent::StaleCallTimeout: return "StaleCallTimeout";
    case InviteEvent::StaleReInviteTimeout: return "StaleReInviteTimeout";
    case InviteEvent::RemoteAnswerChanged: return "RemoteAnswerChanged";
    case InviteEvent::OfferRequestRejected: return "OfferRequestRejected";
    case InviteEvent::ReferAccepted: return "ReferAccepted";
    case InviteEvent::ReferRejected: return "ReferRejected";
    case InviteEvent::Prack: return "Prack";
    case InviteEvent::Terminated: return "Terminated";
    }
    return "?";
}

std::string_view ToString(TerminatedReason reason) noexcept {
    switch (reason) {
    case TerminatedReason::Error: return "Error";
    case TerminatedReason::Timeout: return "Timeout";
    case TerminatedReason::Replaced: return "Replaced";
    case TerminatedReason::LocalBye: return "LocalBye";
    case TerminatedReason::RemoteBye: return "RemoteBye";
    case TerminatedReason::LocalCancel: return "LocalCancel";
    case TerminatedReason::RemoteCancel: return "RemoteCancel";
    case TerminatedReason::Rejected: return "Rejected";
    case TerminatedReason::Referred: return "Referred";
    }
    return "?";
}

} // namespace zel::sip::stack

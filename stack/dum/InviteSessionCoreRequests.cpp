// The session core's requests beyond offers (asking the peer for an offer, REFER) and the timers
// that watch our INVITEs: the stale call and re-INVITE, and an offer in a 2xx the application
// leaves unanswered.

#include <stdexcept>
#include <string>

#include "stack/dum/InviteSessionCore.h"

namespace zel::sip::stack {

InviteStep InviteSessionCore::RequestOffer(TimePoint now) {
    if (state_ != State::Connected) {
        throw std::logic_error(std::string("RequestOffer: not possible in state ") + std::string(ToString(state_)));
    }
    if (localPending_ || glareRetry_ || remotePending_ || ackPending_) {
        throw std::logic_error("RequestOffer: a re-INVITE or UPDATE is in progress");
    }
    if (!offerAnswer_.CanSendOffer()) {
        throw std::logic_error("RequestOffer: an offer/answer exchange is in progress");
    }
    InviteStep step;
    localPending_ = Local{"INVITE", false};
    step.send.push_back(InviteSend{InviteSend::Kind::ReInvite, 0, {}, false});
    ArmStaleReInvite(step, now);
    return step;
}

void InviteSessionCore::ReferSent() {
    if (state_ != State::Connected) {
        throw std::logic_error(std::string("Refer: not possible in state ") + std::string(ToString(state_)));
    }
    referSent_ = true;
}

InviteStep InviteSessionCore::OnOfferIn2xx(InviteStep step, bool hasBody, TimePoint now) {
    // RFC 3261 section 14.1: a re-INVITE without offer gets the offer in its 2xx, and the answer
    // goes in the ACK, as for an initial INVITE without offer.
    if (hasBody && offerAnswer_.OnReceived(OfferAnswer::Carrier::Reliable) == OfferAnswer::Verdict::Offer) {
        ackPending_ = true;
        step.bodyIsOffer = true;
        step.events.push_back(InviteEvent::Offer);
        step.arm.emplace_back(InviteTimer::AnswerDue, now + 32 * timings_.t1);
        return step;
    }
    step.send.push_back(InviteSend{InviteSend::Kind::Ack, 0, {}, false});
    step.events.push_back(InviteEvent::IllegalNegotiation);
    return step;
}

void InviteSessionCore::ArmStaleReInvite(InviteStep& step, TimePoint now) const {
    // A session refresh (RFC 4028) is the session timer's to watch, not the application's.
    if (timings_.staleReInvite.count() > 0 && localPending_ && localPending_->method == "INVITE" &&
        !localPending_->refresh) {
        step.arm.emplace_back(InviteTimer::StaleReInvite, now + timings_.staleReInvite);
    }
}

InviteStep InviteSessionCore::OnCallTimer(InviteTimer timer, TimePoint /*now*/) {
    InviteStep step;
    switch (timer) {
    case InviteTimer::StaleCall:
        // A cancelled INVITE is already on its way out; one answered is no longer stale.
        if (role_ == Role::Uac && (state_ == State::Calling || state_ == State::Early)) {
            step.events.push_back(InviteEvent::StaleCallTimeout);
        }
        return step;
    case InviteTimer::StaleReInvite:
        if (state_ == State::Connected && localPending_ && localPending_->method == "INVITE") {
            step.events.push_back(InviteEvent::StaleReInviteTimeout);
        }
        return step;
    case InviteTimer::AnswerDue:
        if (!ackPending_ || state_ != State::Connected) {
            return step;
        }
        // RFC 3261 section 13.2.2.4: every 2xx is ACKed. Without an answer from the application
        // the ACK goes without one and the call ends at once (End sends the ACK, then BYE).
        offerAnswer_.RollBack();
        return End();
    case InviteTimer::Retransmit2xx:
    case InviteTimer::AckWait:
    case InviteTimer::GlareRetry:
        return step;
    }
    return step;
}

} // namespace zel::sip::stack

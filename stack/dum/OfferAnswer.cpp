#include "stack/dum/OfferAnswer.h"

namespace zel::sip::stack {

OfferAnswer::Verdict OfferAnswer::OnReceived(Carrier carrier) noexcept {
    switch (state_) {
    case State::Idle:
        switch (carrier) {
        case Carrier::Request:
        case Carrier::Reliable:
            state_ = State::RemoteOffer;
            return Verdict::Offer;
        case Carrier::Unreliable1xx:
        case Carrier::Ack:
            return Verdict::Ignored;
        }
        return Verdict::Ignored;
    case State::LocalOffer:
        switch (carrier) {
        case Carrier::Request:
            return Verdict::Glare;
        case Carrier::Reliable:
        case Carrier::Ack:
            state_ = State::Idle;
            negotiated_ = true;
            return Verdict::Answer;
        case Carrier::Unreliable1xx:
            return Verdict::EarlyMedia;
        }
        return Verdict::Ignored;
    case State::RemoteOffer:
        switch (carrier) {
        case Carrier::Request:
            return Verdict::Pending;
        case Carrier::Reliable:
        case Carrier::Ack:
            return Verdict::Illegal;
        case Carrier::Unreliable1xx:
            return Verdict::Ignored;
        }
        return Verdict::Ignored;
    }
    return Verdict::Ignored;
}

OfferAnswer::Verdict OfferAnswer::OnMissing() noexcept {
    state_ = State::Idle;
    return Verdict::Illegal;
}

bool OfferAnswer::OfferSent() noexcept {
    if (state_ != State::Idle) {
        return false;
    }
    state_ = State::LocalOffer;
    return true;
}

bool OfferAnswer::AnswerSent() noexcept {
    if (state_ != State::RemoteOffer) {
        return false;
    }
    state_ = State::Idle;
    negotiated_ = true;
    return true;
}

std::string_view ToString(OfferAnswer::State state) noexcept {
    switch (state) {
    case OfferAnswer::State::Idle:
        return "Idle";
    case OfferAnswer::State::LocalOffer:
        return "LocalOffer";
    case OfferAnswer::State::RemoteOffer:
        return "RemoteOffer";
    }
    return "?";
}

std::string_view ToString(OfferAnswer::Verdict verdict) noexcept {
    switch (verdict) {
    case OfferAnswer::Verdict::Offer:
        return "Offer";
    case OfferAnswer::Verdict::Answer:
        return "Answer";
    case OfferAnswer::Verdict::EarlyMedia:
        return "EarlyMedia";
    case OfferAnswer::Verdict::Ignored:
        return "Ignored";
    case OfferAnswer::Verdict::Glare:
        return "Glare";
    case OfferAnswer::Verdict::Pending:
        return "Pending";
    case OfferAnswer::Verdict::Illegal:
        return "Illegal";
    }
    return "?";
}

} // namespace zel::sip::stack

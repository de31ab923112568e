#pragma once

// The offer/answer exchange of one session (RFC 3264 with the SIP rules of RFC 3261 section 13.2.1,
// RFC 3311 and RFC 6337). Only one exchange is in progress at a time; which message may carry
// which part:
//
//   carrier                  in Idle            in LocalOffer          in RemoteOffer
//   INVITE / UPDATE (recv)   Offer              Glare (491)            Pending (500 + Retry-After)
//   2xx / reliable 1xx       Offer              Answer                 Illegal
//   ACK                      Ignored            Answer                 Illegal
//   unreliable 1xx           Ignored            EarlyMedia             Ignored
//
// Sending: an offer needs Idle (-> LocalOffer), an answer needs RemoteOffer (-> Idle). A refused
// offer (a failure response, or our refusal of the peer's) rolls back to Idle and keeps the last
// negotiated session.

#include <string_view>

namespace zel::sip::stack {

class OfferAnswer {
public:
    enum class State { Idle, LocalOffer, RemoteOffer };
    /// The message that brought a body.
    enum class Carrier { Request, Reliable, Unreliable1xx, Ack };
    /// What a received body is.
    enum class Verdict {
        Offer,      ///< a new offer: the application answers it
        Answer,     ///< the answer to our offer: the exchange is complete
        EarlyMedia, ///< a preview of the answer in an unreliable 1xx (RFC 3261 section 13.2.1)
        Ignored,    ///< a body that is no offer or answer here (kept neither way)
        Glare,      ///< an offer crossing ours: refuse it with 491
        Pending,    ///< an offer before we answered the last one: refuse it with 500
        Illegal,    ///< a body where none may be (a second answer, an offer in an ACK)
    };

    State GetState() const noexcept { return state_; }
    /// Whether an exchange has completed at least once.
    bool HasNegotiated() const noexcept { return negotiated_; }

    /// A body received in `carrier`. Changes the state for Offer and Answer only.
    Verdict OnReceived(Carrier carrier) noexcept;
    /// The peer's offer position without a body where one was due: a 2xx to an INVITE without
    /// offer, or an ACK after our offer in a 2xx (RFC 3261 section 13.2.1). Always Illegal when an
    /// answer was due; rolls our offer back so the session is not stuck.
    Verdict OnMissing() noexcept;

    /// Whether we may send an offer / an answer now.
    bool CanSendOffer() const noexcept { return state_ == State::Idle; }
    bool CanSendAnswer() const noexcept { return state_ == State::RemoteOffer; }
    /// We sent an offer / an answer. Return false (nothing changed) when the state does not allow it.
    bool OfferSent() noexcept;
    bool AnswerSent() noexcept;
    /// The exchange in progress ended without an answer (a failure response to our offer, or our
    /// refusal of the peer's): back to Idle.
    void RollBack() noexcept { state_ = State::Idle; }

private:
    State state_ = State::Idle;
    bool negotiated_ = false;
};

std::string_view ToString(OfferAnswer::State state) noexcept;
std::string_view ToString(OfferAnswer::Verdict verdict) noexcept;

} // namespace zel::sip::stack

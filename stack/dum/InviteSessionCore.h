#pragma once

// The INVITE session core: the state of one call from either side (RFC 3261 sections 13-15, RFC
// 6026 for the 2xx, RFC 3311 for UPDATE, RFC 3264/6337 offer/answer through OfferAnswer). It
// decides what each response, request, timer and application call means and says what to send
// and which timers to set; the caller builds and sends the messages and calls the handler.
//
//   UAC                                         UAS
//   Calling --1xx--> Early                      (INVITE) Proceeding
//   Calling/Early --2xx--> Connected (ACK)      Proceeding --Accept--> Accepted (2xx, retransmitted
//   Calling/Early --3xx-6xx--> Terminated          T1, 2T1 .. T2 until ACK; 64*T1: AckNotReceived)
//   End before 2xx: CANCEL (once a 1xx came,    Accepted --ACK--> Connected
//     the stack waits); 487 -> Terminated;      Proceeding --Reject / CANCEL--> Terminated
//     a 2xx crossing it -> ACK + BYE
//
//   Connected: our re-INVITE/UPDATE (one at a time) and the peer's (one at a time) run beside
//   each other; an offer crossing ours is refused 491, and after our own 491 we retry after
//   2.1-4 s when we own the Call-ID (we were the UAC), 0-2 s otherwise (RFC 3261 section 14.1).
//   End: BYE -> Ending --any final response or failure--> Terminated. BYE received -> Terminated.
//
//   Reliable provisionals (RFC 3262; RSeq/RAck bookkeeping is ReliableProvisional's): a reliable
//   1xx is PRACKed at once, or, when it carries an offer, once the application answers (the answer
//   goes in the PRACK). As UAS our description in a reliable 1xx leaves the 2xx without a body;
//   the PRACK carries the answer to an offer of ours there; no PRACK within 64*T1: 504, Timeout.
//
// Errors: application operations in the wrong state raise std::logic_error; what a peer sends is
// judged and answered with a value (a response code), never an exception.
// Thread rules: not thread-safe; the dialog thread drives it. A value type.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "stack/dum/OfferAnswer.h"

namespace zel::sip::stack {

/// Why a session ended, in this order (the values are part of the interface).
enum class TerminatedReason { Error, Timeout, Replaced, LocalBye, RemoteBye, LocalCancel, RemoteCancel, Rejected, Referred };

/// Why the application ends a session (values 1 and 2 are fixed).
enum class EndReason {
    NotSpecified = 0,
    UserHangup = 1,
    IllegalNegotiation = 2, ///< an answer the application rejected
    AckNotReceived = 3,
    SessionExpired = 4,
    StaleReInvite = 5,
};

/// What the first message of a session carried.
enum class OfferAnswerType { None, Offer, Answer };

/// What the caller tells the application, in order.
enum class InviteEvent {
    NewSession,
    Provisional,
    EarlyMedia,
    Answer,
    Offer,
    OfferRequired,
    Connected,          ///< UAC: the 2xx came; UAS: the ACK came
    AckReceived,        ///< UAS: an ACK for a 2xx of ours (initial or re-INVITE)
    AckNotReceived,     ///< UAS: 64*T1 passed without an ACK for our 2xx
    Failure,            ///< UAC: a final non-2xx to the INVITE
    Redirected,         ///< UAC: a 3xx to the INVITE (before Failure)
    OfferRejected,      ///< our re-INVITE or UPDATE was refused; the session stays up
    IllegalNegotiation, ///< an answer missing where one was due, or a body where none may be
    Info,               ///< an INFO in the dialog (answered 200)
    Message,            ///< a MESSAGE in the dialog (answered 200)
    Refer,              ///< a REFER in the dialog: the caller answers it
    InfoSuccess,
    InfoFailure,
    MessageSuccess,
    MessageFailure,
    ConnectedConfirmed,   ///< UAS: the ACK of our 2xx to the INVITE came (after Connected)
    StaleCallTimeout,     ///< UAC: no final response to the INVITE within the stale-call time
    StaleReInviteTimeout, ///< no final response to our re-INVITE within the stale re-INVITE time
    RemoteAnswerChanged,  ///< UAC: the 2xx repeats an answer a reliable 1xx brought (the caller
                          ///< reports it when the body differs)
    OfferRequestRejected, ///< our re-INVITE without offer was refused; the session stays up
    ReferAccepted,        ///< a 2xx to our REFER
    ReferRejected,        ///< a failure response to our REFER
    Prack,              ///< UAS: a PRACK acknowledged a reliable provisional of ours (answered 200)
    Terminated,
};

/// The timers of a session.
enum class InviteTimer {
    Retransmit2xx, ///< send our 2xx again (UAS, until ACK)
    AckWait,       ///< 64*T1 after our 2xx: give up waiting for the ACK
    GlareRetry,    ///< after a 491: send our re-INVITE or UPDATE again
    StaleCall,     ///< UAC: the INVITE has had no final response for too long
    StaleReInvite, ///< our re-INVITE has had no final response for too long
    AnswerDue,     ///< UAC: a 2xx brought an offer and the application has not answered it
};

/// Something to send.
struct InviteSend {
    enum class Kind {
        Ack,          ///< the ACK of the 2xx just received (with our answer when the 2xx had an offer)
        RetransmitAck,///< the same ACK again: the 2xx was retransmitted
        Bye,
        Cancel,       ///< CANCEL of our INVITE
        Response,     ///< `code` to the received request in progress (`method`); 2xx carry our body
        Retransmit2xx,///< our last 2xx to an INVITE again
        ReInvite,     ///< a re-INVITE (with our offer when `withBody`)
        Update,       ///< an UPDATE with our offer
        Prack,        ///< UAC: a PRACK for a reliable 1xx (RFC 3262 section 4); with our answer when
                      ///< `withBody` (the 1xx carried an offer)
    };
    Kind kind = Kind::Bye;
    int code = 0;
    /// The method of the received request a Response answers.
    std::string_view method;
    /// Carries our body: the offer or answer the application provided.
    bool withBody = false;
    friend bool operator==(const InviteSend&, const InviteSend&) = default;
};

/// What the caller does after one input of the core: sends in order, timers to (re)arm or stop,
/// events for the application in order, and the reason when the session has ended.
struct InviteStep {
    using TimePoint = std::chrono::steady_clock::time_point;
    std::vector<InviteSend> send;
    std::vector<std::pair<InviteTimer, TimePoint>> arm;
    std::vector<InviteTimer> stop;
    std::vector<InviteEvent> events;
    std::optional<TerminatedReason> terminated;
    /// For Offer / Answer / EarlyMedia: the received body is the peer's offer or answer.
    bool bodyIsOffer = false;

    bool Sends(InviteSend::Kind kind) const noexcept;
    bool Has(InviteEvent event) const noexcept;
};

/// Timer values the core works with (the stack's T1 and T2) and the random source for glare.
struct InviteTimings {
    std::chrono::milliseconds t1{500};
    std::chrono::milliseconds t2{4000};
    /// Uniform in [0, 1); defaults to a random device seeded generator.
    std::function<double()> uniform;
    /// How long our INVITE (re-INVITE) may wait for its final response before the application is
    /// told (StaleCallTimeout, StaleReInviteTimeout); zero for never.
    std::chrono::milliseconds staleCall{180000};
    std::chrono::milliseconds staleReInvite{40000};
};

class InviteSessionCore {
public:
    enum class Role { Uac, Uas };
    enum class State { Calling, Early, Cancelling, Proceeding, Accepted, Connected, Ending, Terminated };
    using TimePoint = std::chrono::steady_clock::time_point;

    /// A session for an INVITE we sent (`offerInInvite`: it carried our offer).
    static InviteSessionCore Client(bool offerInInvite, InviteTimings timings = {});
    /// A session for an INVITE we received. `Start` gives its first events.
    static InviteSessionCore Server(InviteTimings timings = {});

    // ---- UAC: the initial INVITE -----------------------------------------------------------------
    /// A response to our INVITE (any fork; the caller has routed it to this session). `hasBody`:
    /// it carries an SDP (or a body with one); `reliable`: an RFC 3262 reliable 1xx.
    InviteStep OnInviteResponse(int code, bool hasBody, bool reliable, TimePoint now);
    /// The INVITE has left (again, after a challenge): the stale-call time starts.
    InviteStep OnInviteSent(TimePoint now);
    /// A retransmission of the 2xx that connected us: ACK it again.
    InviteStep On2xxRetransmission();
    /// The INVITE timed out or could not be sent.
    InviteStep OnInviteFailure(bool timeout);

    // ---- UAS: the initial INVITE -----------------------------------------------------------------
    /// The INVITE arrived (`hasBody`: with an offer).
    InviteStep Start(bool hasBody);
    /// Sends the 2xx (`code` 200-299) with our answer or offer. Raises std::logic_error unless
    /// Proceeding with an answer (or, for an INVITE without offer, an offer) provided.
    InviteStep Accept(int code, TimePoint now);
    /// The peer cancelled the INVITE: 487, RemoteCancel (ignored once answered).
    InviteStep OnCancel();
    /// An ACK for our 2xx (the initial one or a re-INVITE's).
    InviteStep OnAck(bool hasBody);
    /// A provisional response to the INVITE left; `withBody`: it carried our answer (or offer),
    /// `reliable`: with RSeq (RFC 3262). Our description in a reliable 1xx completes its part of the
    /// exchange there, so the 2xx goes without a body.
    void OnProvisionalSent(bool withBody, bool reliable) noexcept;
    /// A PRACK acknowledged one of our reliable 1xx (the caller matched its RAck and answered it):
    /// the answer to an offer of ours that went in a reliable 1xx is due here (RFC 3262 section 5).
    InviteStep OnPrack(bool hasBody);
    /// A reliable 1xx got no PRACK within 64*T1: the unanswered INVITE is answered 504 and the
    /// session ends (RFC 3262 section 3). Nothing once the INVITE is answered.
    InviteStep OnReliableProvisionalTimeout();

    // ---- both --------------------------------------------------------------------------------------
    /// The application provides an offer / answer. Before Accept (UAS) it waits for the 2xx;
    /// on an established call an offer starts a re-INVITE (or an UPDATE when `useUpdate`, also in
    /// an early dialog), an answer answers the peer's pending offer. Raises std::logic_error when
    /// the offer/answer state or a request in progress does not allow it.
    InviteStep ProvideOffer(TimePoint now, bool useUpdate = false);
    InviteStep ProvideAnswer(TimePoint now);
    /// Asks the peer for an offer: a re-INVITE without body (RFC 3261 section 14.1); the offer
    /// comes in its 2xx and our answer goes in the ACK. Raises std::logic_error unless Connected
    /// with no exchange or request of either side in progress.
    InviteStep RequestOffer(TimePoint now);
    /// We send a REFER (RFC 3515): its answer is reported (ReferAccepted / ReferRejected) and the
    /// peer's NOTIFYs about it are answered 200. Raises std::logic_error unless Connected.
    void ReferSent();
    /// Refuses: the unanswered INVITE (UAS) with `code`, or the peer's pending re-INVITE / UPDATE
    /// (the session stays up). Raises std::logic_error when there is nothing to refuse or `code` is
    /// not 300-699.
    InviteStep Reject(int code);
    /// Ends the session as its state requires: CANCEL, BYE, a 480 to an unanswered INVITE, or
    /// nothing when it has ended already. A BYE for an expired session (`reason` SessionExpired)
    /// ends it as Timeout, any other BYE as LocalBye.
    InviteStep End(EndReason reason = EndReason::NotSpecified);
    /// A session refresh (RFC 4028): an UPDATE without offer (`useUpdate`), or a re-INVITE with our
    /// last offer or answer unchanged. Sends nothing when the refresh cannot go now: not connected,
    /// a re-INVITE or UPDATE of ours in progress (it refreshes the session itself), or for a
    /// re-INVITE any exchange in progress; the caller tries again later. The answer to a refresh is
    /// not reported (nothing the application made has changed). A refusal other than 491 (retried
    /// as glare) ends the call with BYE: Error, or Timeout for 408 (RFC 4028 section 10).
    InviteStep Refresh(bool useUpdate);

    /// A request in the dialog. The step answers it (Response) unless it is an offer for the
    /// application, which then answers with ProvideAnswer or Reject.
    InviteStep OnRequest(std::string_view method, bool hasBody, TimePoint now);
    /// A final response to our request in the dialog (re-INVITE, UPDATE, BYE, INFO, MESSAGE).
    InviteStep OnInDialogResponse(std::string_view method, int code, bool hasBody, TimePoint now);
    /// One of our timers fired. Stale firings are ignored.
    InviteStep OnTimer(InviteTimer timer, TimePoint now);

    /// The stale-call and stale re-INVITE times (InviteTimings), from the session's profile.
    void SetStaleLimits(std::chrono::milliseconds call, std::chrono::milliseconds reInvite) noexcept {
        timings_.staleCall = call;
        timings_.staleReInvite = reInvite;
    }
    /// Whether the application has been told of the session (onNewSession).
    bool IsReported() const noexcept { return newSessionReported_; }

    Role GetRole() const noexcept { return role_; }
    State GetState() const noexcept { return state_; }
    const OfferAnswer& Negotiation() const noexcept { return offerAnswer_; }
    bool IsConnected() const noexcept { return state_ == State::Connected; }
    bool IsTerminated() const noexcept { return state_ == State::Terminated; }
    bool IsAccepted() const noexcept { return accepted_; }
    /// Whether our re-INVITE / UPDATE, or the peer's, is in progress.
    bool LocalRequestPending() const noexcept { return localPending_.has_value(); }
    bool RemoteRequestPending() const noexcept { return remotePending_.has_value(); }
    /// Whether a local offer (UAS, before Accept) or answer is held for the 2xx.
    bool HasLocalBodyForAccept() const noexcept { return localReady_; }
    /// UAC: a reliable 1xx carried an offer and its PRACK waits for our answer (ProvideAnswer).
    bool PrackAwaitsAnswer() const noexcept { return prackAwaitsAnswer_; }

private:
    InviteSessionCore(Role role, InviteTimings timings);
    InviteStep Terminate(InviteStep step, TerminatedReason reason);
    void Arm2xxTimers(InviteStep& step, TimePoint now);
    /// Answers the peer's re-INVITE / UPDATE still waiting for the application (487) and forgets it.
    void AnswerRemotePending(InviteStep& step);
    InviteStep OnAnswerToInvite(int code, bool hasBody, TimePoint now);
    InviteStep OnRemoteOfferRequest(std::string_view method, bool hasBody);
    std::chrono::milliseconds GlareDelay() const;
    /// A 2xx to our re-INVITE without offer: the offer for the application, or an illegal 2xx.
    InviteStep OnOfferIn2xx(InviteStep step, bool hasBody, TimePoint now);
    /// The timers of our INVITE: a stale INVITE or re-INVITE, an answer due in the ACK.
    InviteStep OnCallTimer(InviteTimer timer, TimePoint now);
    /// Arms StaleReInvite for the re-INVITE `step` sends.
    void ArmStaleReInvite(InviteStep& step, TimePoint now) const;
    /// The method of a request the peer has pending on us.
    struct Remote {
        std::string_view method; // "INVITE" or "UPDATE"
        bool offerReceived = false;
        bool answered = false;   // re-INVITE: our 2xx sent, waiting for the ACK
    };
    struct Local {
        std::string_view method;
        bool offer = false;
        bool refresh = false; // a session refresh (RFC 4028) rather than the application's offer
    };

    Role role_;
    InviteTimings timings_;
    State state_;
    OfferAnswer offerAnswer_;
    bool offerInInvite_ = false;   // UAC: the INVITE carried our offer; UAS: the peer's did
    bool localReady_ = false;      // UAS: our answer/offer for the 2xx is provided
    bool accepted_ = false;
    bool connectedReported_ = false;
    bool newSessionReported_ = false;
    bool cancelWanted_ = false;
    bool ackPending_ = false;      // UAC: a 2xx with an offer waits for our answer before its ACK
    bool endAfterAck_ = false;     // UAS: End before the ACK of our 2xx: BYE once it comes
    bool referSent_ = false;       // a REFER of ours: the peer's NOTIFYs are expected
    bool prackAwaitsAnswer_ = false; // UAC: the PRACK of a reliable 1xx with an offer waits for our answer
    bool bodySentReliably_ = false;  // UAS: our answer/offer went in a reliable 1xx, not in the 2xx
    std::optional<Remote> remotePending_;
    std::optional<Local> localPending_;
    std::optional<Local> glareRetry_;     // our request waiting for its retry after a 491
    std::chrono::milliseconds retransmitInterval_{0};
    TerminatedReason byeReason_ = TerminatedReason::LocalBye; // how our BYE ends the session
};

std::string_view ToString(InviteSessionCore::State state) noexcept;
std::string_view ToString(InviteEvent event) noexcept;
std::string_view ToString(TerminatedReason reason) noexcept;

} // namespace zel::sip::stack

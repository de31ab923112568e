#pragma once

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "stack/body/Body.h"
#include "stack/core/SipStack.h"
#include "stack/dum/Dialog.h"
#include "stack/dum/DialogSet.h"
#include "stack/dum/HandleManager.h"
#include "stack/dum/InviteSessionCore.h"
#include "stack/dum/InviteSessionHandler.h"
#include "stack/dum/Profile.h"
#include "stack/dum/SessionTimer.h"
#include "stack/dum/ReliableProvisional.h"
#include "stack/dum/auth/ClientAuth.h"
#include "stack/message/Warning.h"

namespace zel::sip::stack {

class DialogUsageManager;

/// One call (an INVITE dialog usage) from either side: the I/O around an InviteSessionCore. It
/// builds and sends the core's messages in the session's dialog (passing each through the
/// handler's onReadyToSend), answers digest challenges to its INVITEs and BYEs, runs the core's
/// timers on the dialog thread, and reports to the InviteSessionHandler.
///
/// Threads: dialog thread only, for every operation (the product's commands are posted there).
/// Lifetime: owned by the manager; it ends (and its handles stop resolving) right after
/// onTerminated has returned, or when the manager shuts down.
class InviteSession : public Usage {
public:
    ~InviteSession() override;

    /// Our offer: kept for the 2xx of an INVITE without offer, else sent in a re-INVITE (or an
    /// UPDATE when `useUpdate`, RFC 3311). Raises std::logic_error when the offer/answer state or
    /// a request in progress does not allow one (one offer at a time, RFC 3264).
    void ProvideOffer(const Body& offer, bool useUpdate = false);
    /// As above, keeping `offer` itself (it must not change afterwards): the caller and the
    /// session share one immutable body instead of each holding a copy. Raises
    /// std::invalid_argument for a null body.
    void ProvideOffer(std::shared_ptr<const Body> offer, bool useUpdate = false);
    /// Our answer to the peer's offer: kept for the 2xx of an unanswered INVITE, else sent at once
    /// (the 2xx of the re-INVITE or UPDATE, or the ACK of a 2xx that carried an offer). Raises
    /// std::logic_error when there is no offer to answer.
    void ProvideAnswer(const Body& answer);
    /// As above, keeping `answer` itself (shared and immutable, like the offer above).
    void ProvideAnswer(std::shared_ptr<const Body> answer);
    /// Refuses the unanswered INVITE (a final response; the session ends, Rejected) or the peer's
    /// pending re-INVITE / UPDATE (the session stays up). `warning` becomes a Warning header.
    /// Raises std::logic_error when there is nothing to refuse or `code` is not 300-699.
    void Reject(int code, std::optional<Warning> warning = std::nullopt);
    /// Ends the session as its state requires: CANCEL before a final response to our INVITE (sent
    /// once a provisional has come), 480 to an unanswered INVITE, BYE on an established call (after
    /// the ACK of our 2xx). onTerminated follows; calling it again does nothing.
    void End(EndReason reason = EndReason::NotSpecified);
    /// INFO / MESSAGE in the dialog; onInfoSuccess/onInfoFailure (onMessage...) follow. Raises
    /// std::logic_error when the session has no dialog yet or has ended.
    void Info(const Body& body);
    void Message(const Body& body);
    /// Asks the peer for an offer: a re-INVITE without body (RFC 3261 section 14.1). The peer's
    /// offer comes through onOffer (answer it with ProvideAnswer: the answer goes in the ACK), a
    /// refusal through onOfferRequestRejected. Raises std::logic_error unless the call is
    /// established with no offer/answer exchange or re-INVITE/UPDATE in progress.
    void RequestOffer();
    /// Sends a REFER (RFC 3515) asking the peer to call `target`; onReferAccepted or
    /// onReferRejected follows with the answer, and the peer's NOTIFYs are answered 200. Raises
    /// std::logic_error unless the call is established.
    void Refer(const NameAddr& target);
    /// Answers the peer's REFER from inside onRefer / onReferNoSub (which then return true):
    /// `code` 200-699, e.g. 202 once the transfer is under way. Raises std::logic_error outside
    /// those calls, when it is answered already, or for another code.
    void AnswerRefer(int code);

    /// The Call-ID of the session's dialog.
    const std::string& CallId() const noexcept { return callId_; }
    /// Whether the call is established (2xx sent and ACKed, or 2xx received).
    bool IsConnected() const noexcept { return core_.IsConnected(); }
    /// Whether the peer listed `optionTag` in its Supported header (token comparison).
    bool IsSupportedByPeer(std::string_view optionTag) const noexcept;
    /// Whether we have an offer or answer of ours (provided or sent), and the bodies of the latest
    /// exchange; null when there is none.
    bool HasLocalOfferAnswer() const noexcept { return localBody_ != nullptr; }
    const Body* LocalBody() const noexcept { return localBody_.get(); }
    const Body* RemoteBody() const noexcept { return remoteBody_.get(); }
    /// The same bodies as shares: they are never changed once the session holds them (a new
    /// exchange replaces the pointer), so a holder may read them from any thread.
    const std::shared_ptr<const Body>& SharedLocalBody() const noexcept { return localBody_; }
    const std::shared_ptr<const Body>& SharedRemoteBody() const noexcept { return remoteBody_; }
    /// The dialog, once there is one.
    const Dialog* GetDialog() const noexcept { return dialog_; }
    const std::shared_ptr<UserProfile>& GetUserProfile() const noexcept { return profile_; }
    const InviteSessionCore& Core() const noexcept { return core_; }
    InviteSessionHandle SessionHandle() { return InviteSessionHandle(*this); }

    /// Our Contact on the flow whose local end is `local`, with the user of `identity`, or at the
    /// profile's override host and port.
    static NameAddr MakeContact(const ProfileSettings& settings, const Tuple& local, const NameAddr& identity);

protected:
    InviteSession(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile, InviteSessionCore core);

    /// The received request a response of the core answers.
    struct Received {
        /// As the transaction layer handed it over: shared, never copied (a copy re-parses).
        std::shared_ptr<const SipMessage> request;
        TransactionId transaction = 0;
        Tuple local;
        Tuple source;
    };

    void Apply(InviteStep step, const SipMessage* message);
    void Execute(const InviteSend& send);
    void Report(InviteEvent event, const InviteStep& step, const SipMessage* message);
    /// Sends a request of `method` in the dialog (with our body when `withBody`, or `body`).
    void SendInDialog(std::string_view method, bool withBody, const Body* body = nullptr);
    /// Adds User-Agent and credentials, hands the request to onReadyToSend and sends it, tracked
    /// for its responses. `sent` gets the request as it leaves. Returns false when the session
    /// ended inside the callback; throws what SipStack::SendRequest throws.
    bool Dispatch(Dialog::OutgoingRequest outgoing, const ProfileSettings& settings, SipMessage& sent);
    void SendAck(bool withBody);
    void Respond(Received& to, int code, bool withBody);
    void Deliver(SipMessage& message);
    void ArmTimer(InviteTimer timer, InviteStep::TimePoint at);
    void StopTimer(InviteTimer timer);
    void StopTimers();
    void Finish();
    void SyncPending();
    /// ACKs a 2xx again when it is a retransmission of the one our last ACK answered.
    bool RetransmitAckFor(const SipMessage& response);
    bool IsFinished() const noexcept { return finished_; }
    InviteSessionHandler* Handler() const;
    SipMessage LocalResponse(const SipMessage* request, int code, std::string_view reason) const;
    void LearnSupported(const SipMessage& message);
    /// The Contact of ours for the flow `local`.
    NameAddr ContactFor(const Tuple& local, const NameAddr& identity) const;

    // RFC 4028 session timers (InviteSessionTimer.cpp): the SessionTimer core, its one wake-up and
    // the refreshes it asks for.
    using TimerPoint = std::chrono::steady_clock::time_point;
    /// The session timer's clock: real time, sped up by the profile's test-only factor.
    TimerPoint SessionTimerNow() const;
    /// Carries out a step of the core: (re)arms or stops the wake-up, refreshes, expires.
    void ApplySessionTimer(const SessionTimerStep& step);
    /// The peer's INVITE or UPDATE as the session timer sees it. True when it refused it: the
    /// request has been answered (422 with our Min-SE, or 400) and goes no further.
    bool RefusedBySessionTimer(Received& request);
    /// Adds what the session timer says to our response `code` to `to`: Min-SE to a 422, the
    /// negotiated Session-Expires to the 2xx of the request it checked (which starts the timer).
    void AddSessionTimerHeaders(const Received& to, int code, SipMessage& response);
    /// A final response to our re-INVITE or UPDATE `transaction`: starts or restarts the timer, or
    /// answers a 422 by sending the request again with the larger Min-SE (true: sent again, the
    /// response goes no further).
    bool OnSessionTimerResponse(TransactionId transaction, const SipMessage& response);
    void ArmSessionTimer(TimerPoint at);
    void OnSessionTimerWake();
    /// Sends the refresh the core asked for, or waits a little when the session cannot send it now.
    void TryRefresh();
    void StopSessionTimer();

    // Manager entry points.
    friend class DialogUsageManager;
    virtual void OnResponse(TransactionUserMessage& message);
    void OnInDialogResponse(TransactionUserMessage& message);
    virtual void OnTransactionFailure(TransactionId transaction, bool timeout);
    /// The received INVITE that created the session (server sessions).
    virtual Received* Initial() noexcept { return nullptr; }
    void OnTransactionEnded(TransactionId transaction);
    void OnRequest(TransactionUserMessage& message);
    void OnAck(const SipMessage& ack);
    void OnCancel();
    void EndForShutdown();
    void Abandon();
    /// The stream connection `flow` has closed: the session's own flow (WS, WSS: the peer cannot
    /// be reached otherwise, RFC 7118 section 5) is reported to the handler (onFlowTerminated).
    void OnFlowClosed(const Flow& flow);
    /// Remembers the flow a message of the dialog came on when the dialog depends on it.
    void BindFlow(const Tuple& local, const Tuple& source);
    /// Reports an answer in a 2xx that repeats a reliable 1xx's answer when it differs.
    void ReportAnswerChanged(const SipMessage& message);

    // Reliable provisional responses (RFC 3262, InviteSessionPrack.cpp).
    /// A provisional response of ours to the initial INVITE, built: true when the server side
    /// took it over (sent reliably, queued, or sent as it is).
    virtual bool SendProvisional(SipMessage& /*response*/) { return false; }
    /// A final response to the initial INVITE is about to leave.
    virtual void OnInitialAnswered(int /*code*/) {}
    /// A PRACK in the dialog: true when it was answered here (else the core answers 481).
    virtual bool OnPrack(Received& /*prack*/) { return false; }
    /// A PRACK with `rack` (and `body`, an answer) in `dialog`, through onReadyToSend and the
    /// client authentication like any request in the dialog.
    void SendPrack(Dialog& dialog, const RAck& rack, const Body* body);

    DialogUsageManager& manager_;
    std::shared_ptr<UserProfile> profile_;
    InviteSessionCore core_;
    ClientAuth auth_;
    std::string callId_;
    DialogSet* set_ = nullptr;            // owned below
    std::unique_ptr<DialogSet> ownedSet_;
    Dialog* dialog_ = nullptr;            // in ownedSet_
    // Immutable once held: shared with the application instead of copied.
    std::shared_ptr<const Body> localBody_;
    std::shared_ptr<const Body> remoteBody_;
    std::optional<Warning> warning_;      // for the next final response of Reject
    std::unique_ptr<Received> pending_;   // the peer's re-INVITE / UPDATE in progress
    Received* current_ = nullptr;         // the request being handled now
    std::unique_ptr<SipMessage> last2xx_; // our latest 2xx to an INVITE, until its ACK
    TransactionId last2xxTransaction_ = 0;
    TransactionId ack_ = 0;               // our latest ACK of a 2xx, for retransmissions
    std::optional<std::uint32_t> ackedInvite_; // the CSeq of the INVITE it acknowledges
    std::map<TransactionId, SipMessage> inDialog_; // our requests in the dialog in flight, as sent
    std::vector<std::string> peerSupported_;
    std::array<std::unique_ptr<boost::asio::steady_timer>, 6> timers_; // by InviteTimer, while armed
    std::optional<Flow> flow_;            // the WS/WSS connection the dialog depends on
    std::unique_ptr<NameAddr> referTo_;   // the target of our latest REFER (its retry needs it); rare
    bool referAnswered_ = false;          // the peer's REFER in hand got its answer (AnswerRefer)
    bool finished_ = false;
    // Session timers (RFC 4028).
    SessionTimer sessionTimer_;
    std::unique_ptr<boost::asio::steady_timer> sessionTimerWake_; // while armed
    TimerPoint sessionTimerEpoch_;
    std::uint32_t sessionTimerSpeedup_ = 1;
    std::optional<RefreshMethod> refreshWanted_;        // a refresh is due and not sent yet
    std::optional<std::uint32_t> sessionTimerRequest_;  // CSeq of the peer's request it checked
};

/// The session of a call we placed (MakeInviteSession). Until the first response the handler
/// has not heard of it.
class ClientInviteSession final : public InviteSession {
public:
    ClientInviteSession(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile, SipMessage invite,
                        Uri target, std::unique_ptr<Body> offer);
    ClientInviteSessionHandle Handle() { return ClientInviteSessionHandle(*this); }

private:
    friend class DialogUsageManager;
    friend class InviteSession;
    /// Sends the INVITE (not through onReadyToSend: the application has no session yet).
    void Start();
    void SendInvite();
    /// Sends the INVITE again with the next CSeq, the same Call-ID and From tag (RFC 3261 section
    /// 22.2 after a challenge, RFC 4028 section 7.3 after a 422); the dialogs of the refused one go.
    void SendInviteAgain();
    /// A 422 to our INVITE: true when it is sent again with the larger Min-SE.
    bool RetriedForSessionTimer(const SipMessage& response);
    void OnResponse(TransactionUserMessage& message) override;
    void OnTransactionFailure(TransactionId transaction, bool timeout) override;
    void OnForkSuccess(Dialog& fork, const SipMessage& response);
    /// Ends the early dialogs of forks other than `keep` (a 2xx of `keep` won, or the INVITE
    /// failed) and tells the handler once per fork (onForkDestroyed). False when the handler
    /// ended the session meanwhile.
    bool EndOtherForks(std::string_view keep, const std::vector<std::string>& earlyBefore);
    /// Tells the handler, once per remote tag, that the fork `tag` has ended. False when the
    /// handler ended the session meanwhile.
    bool ForkEnded(const std::string& tag);
    /// Sends our CANCEL: a model of it passes onReadyToSend; the transaction layer keeps the
    /// application's headers and takes the RFC 3261 section 9.1 fields from the INVITE.
    void SendCancel();
    /// RFC 3262 section 4 for a 1xx of `dialog`: false when it must be discarded (a retransmission,
    /// out of order, unreadable); `reliable` says whether it is the next reliable one. The PRACK of
    /// another fork's 1xx leaves here; the followed dialog's goes through the core.
    bool TakeProvisional(Dialog& dialog, const SipMessage& response, bool& reliable);
    void SendPendingPrack(bool withAnswer);

    SipMessage invite_;          // as handed to the stack (without Via)
    Uri target_;
    std::string followedTag_;    // the remote tag of the dialog the session follows
    TransactionId inviteTransaction_ = 0;
    TransactionId cancel_ = 0;
    std::vector<std::string> forksEnded_; // remote tags already reported (at most DialogSet::kMaxDialogs)
    std::map<std::string, ReliableProvisionalUac> reliableForks_; // by remote tag: one RSeq space each
    std::optional<RAck> prackRAck_;  // the RAck of the reliable 1xx being processed
    std::optional<RAck> answerRAck_; // the reliable 1xx whose offer waits for our answer
};

/// The session of a call we received.
class ServerInviteSession final : public InviteSession {
public:
    ServerInviteSession(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile, Received invite,
                        Dialog dialog);
    ServerInviteSessionHandle Handle() { return ServerInviteSessionHandle(*this); }

    /// Answers the INVITE with `code` (2xx) and our answer or offer once the current handler call
    /// has returned (a command posted to the dialog thread). Raises std::logic_error when the
    /// INVITE is answered already, the code is not 2xx, or no answer (offer) has been provided.
    void Accept(int code = 200);
    /// Sends a provisional response (101-199, 180 by default) to the unanswered INVITE, with our
    /// Contact, so the caller knows the call is being presented (and may CANCEL it). With
    /// `withBody` it carries the answer (or offer) provided so far: early media. Whether it goes
    /// reliably (RFC 3262: Require: 100rel, RSeq, sent again until the PRACK) follows the profile's
    /// UAS mode and the caller's Supported/Require; while a reliable one is unacknowledged the next
    /// waits, and a 2xx waits for the PRACK of one that carried a description. Raises
    /// std::logic_error once the INVITE is answered, for another code, or for `withBody` without
    /// an answer (offer) provided.
    void Provisional(int code = 180, bool withBody = false);
    /// Whether the INVITE has been answered with a 2xx (or Accept was called).
    bool IsAccepted() const noexcept { return acceptPosted_ || core_.IsAccepted(); }

private:
    friend class DialogUsageManager;
    void Start();
    Received* Initial() noexcept override { return &invite_; }

    // RFC 3262 (InviteSessionPrack.cpp).
    bool SendProvisional(SipMessage& response) override;
    void OnInitialAnswered(int code) override;
    bool OnPrack(Received& prack) override;
    ReliableProvisionalUas& Reliability();
    void ApplyReliable(ReliableProvisionalStep step);
    void SendProvisionalNow(SipMessage response, bool reliable);
    /// Accept's 2xx waits for the PRACK of a reliable 1xx with a description: true when held.
    bool HoldSuccess(int code);

    Received invite_; // its request is dropped once the 2xx is acknowledged (OnAck)
    bool acceptPosted_ = false;
    // RFC 3262 state, behind pointers: most calls never send a reliable provisional.
    std::unique_ptr<ReliableProvisionalUas> reliability_; // made with the first 1xx or PRACK
    std::unique_ptr<SipMessage> reliableSent_;            // the unacknowledged reliable 1xx as it left
    std::unique_ptr<boost::asio::steady_timer> reliableTimer_;
    std::optional<int> heldSuccess_;                      // Accept's code, while the 2xx is held
};

} // namespace zel::sip::stack

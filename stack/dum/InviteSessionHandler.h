#pragma once

#include "stack/body/Body.h"
#include "stack/body/SdpBody.h"
#include "stack/dum/Handle.h"
#include "stack/dum/InviteSessionCore.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

class InviteSession;
class ClientInviteSession;
class ServerInviteSession;
using InviteSessionHandle = Handle<InviteSession>;
using ClientInviteSessionHandle = Handle<ClientInviteSession>;
using ServerInviteSessionHandle = Handle<ServerInviteSession>;

/// What the application is told about its calls (RFC 3261 sections 13-15, RFC 3264, RFC 3311).
///
/// Offers and answers: with "generic offer/answer" on (constructor flag) they come as the whole
/// body (`const Body&`: an SDP body, or a multipart/mixed one that holds one) through the Body
/// forms; with it off as the SDP itself (found in a multipart, RFC 5621) through the SdpBody
/// forms. The Body forms default to calling the SdpBody form with the SDP they contain, so an
/// application that takes whole bodies overrides them.
///
/// Threads: every call comes on the dialog thread. Handles are valid during the call, and for a
/// session until onTerminated has returned; messages and bodies are valid during the call only.
/// A handler may call the session's operations from inside a call (they take effect in order).
class InviteSessionHandler {
public:
    explicit InviteSessionHandler(bool genericOfferAnswer = false) noexcept : generic_(genericOfferAnswer) {}
    virtual ~InviteSessionHandler() = default;

    /// Whether offers and answers are handed over as whole bodies.
    bool IsGenericOfferAnswer() const noexcept { return generic_; }

    /// An outgoing call got its first response (a provisional, the 2xx, or a failure just before
    /// onFailure); `message` is that response. The INVITE left before the session existed.
    virtual void onNewSession(ClientInviteSessionHandle session, OfferAnswerType type, const SipMessage& message) = 0;
    /// An INVITE arrived; onOffer or onOfferRequired follows. Accept (or Reject) the session.
    virtual void onNewSession(ServerInviteSessionHandle session, OfferAnswerType type, const SipMessage& message) = 0;
    /// The outgoing call failed: a final non-2xx response, or one made here (408 for a time-out,
    /// 503 when it could not be sent). onTerminated follows.
    virtual void onFailure(ClientInviteSessionHandle session, const SipMessage& message) = 0;
    /// An unreliable provisional with the peer's answer as a preview (RFC 3261 section 13.2.1).
    virtual void onEarlyMedia(ClientInviteSessionHandle session, const SipMessage& message, const SdpBody& sdp) = 0;
    virtual void onEarlyMedia(ClientInviteSessionHandle session, const SipMessage& message, const Body& body);
    virtual void onProvisional(ClientInviteSessionHandle session, const SipMessage& message) = 0;
    /// The outgoing call was answered (2xx); the ACK has left (or waits for our answer to an offer
    /// in the 2xx).
    virtual void onConnected(ClientInviteSessionHandle session, const SipMessage& message) = 0;
    /// The incoming call is established: the ACK of our 2xx arrived.
    virtual void onConnected(InviteSessionHandle session, const SipMessage& message) = 0;
    /// The incoming call is confirmed: the ACK of our 2xx to the INVITE arrived (just after
    /// onConnected; also when a re-INVITE of the peer stands for a lost ACK). Default: nothing.
    virtual void onConnectedConfirmed(InviteSessionHandle session, const SipMessage& message);
    /// The session has ended; the handle stops resolving after this call. `message` is the
    /// message that ended it (a BYE with its body, a CANCEL, the failure response) or null.
    virtual void onTerminated(InviteSessionHandle session, TerminatedReason reason, const SipMessage* message) = 0;
    /// A fork of our INVITE went away, once per fork other than the dialog the session follows:
    /// its early dialog ended because another fork's 2xx won or the INVITE failed, or its own 2xx
    /// came after another one's (that dialog is ACKed and ended with BYE, RFC 3261 section
    /// 13.2.2.4). The session itself goes on (or ends as onFailure says).
    virtual void onForkDestroyed(ClientInviteSessionHandle session) = 0;
    /// A 3xx to our INVITE (onFailure follows; targets are not tried automatically).
    virtual void onRedirected(ClientInviteSessionHandle session, const SipMessage& message) = 0;
    /// The answer to our offer.
    virtual void onAnswer(InviteSessionHandle session, const SipMessage& message, const SdpBody& sdp) = 0;
    virtual void onAnswer(InviteSessionHandle session, const SipMessage& message, const Body& body);
    /// An offer from the peer: answer it with ProvideAnswer or refuse it with Reject.
    virtual void onOffer(InviteSessionHandle session, const SipMessage& message, const SdpBody& sdp) = 0;
    virtual void onOffer(InviteSessionHandle session, const SipMessage& message, const Body& body);
    /// The peer asks for an offer (an INVITE or re-INVITE without one): ProvideOffer.
    virtual void onOfferRequired(InviteSessionHandle session, const SipMessage& message) = 0;
    /// Our re-INVITE or UPDATE was refused (`message` the response, or null); the session stays.
    virtual void onOfferRejected(InviteSessionHandle session, const SipMessage* message) = 0;
    /// INFO and MESSAGE in the dialog (already answered 200), and the answers to ours.
    virtual void onInfo(InviteSessionHandle session, const SipMessage& message) = 0;
    virtual void onInfoSuccess(InviteSessionHandle session, const SipMessage& message) = 0;
    virtual void onInfoFailure(InviteSessionHandle session, const SipMessage& message) = 0;
    virtual void onMessage(InviteSessionHandle session, const SipMessage& message) = 0;
    virtual void onMessageSuccess(InviteSessionHandle session, const SipMessage& message) = 0;
    virtual void onMessageFailure(InviteSessionHandle session, const SipMessage& message) = 0;
    /// A REFER in the dialog. Return true when the application takes it and answers it with the
    /// session's AnswerRefer during this call (left unanswered it gets 500); the default returns
    /// false: refused with 603 and a Warning (transfer is not offered here).
    virtual bool onRefer(InviteSessionHandle session, const SipMessage& message);
    /// A REFER with Refer-Sub: false (RFC 4488). Default: as onRefer.
    virtual bool onReferNoSub(InviteSessionHandle session, const SipMessage& message);
    /// The answer to a REFER of ours (Refer): a 2xx, or a failure (also one made here: 408,
    /// 503). Default: nothing.
    virtual void onReferRejected(InviteSessionHandle session, const SipMessage& message);
    virtual void onReferAccepted(InviteSessionHandle session, const SipMessage& message);

    /// Every message of a session once it exists (re-INVITE, UPDATE, PRACK, ACK, BYE, CANCEL,
    /// INFO, MESSAGE, our responses) passes here just before it goes to the stack; changes reach
    /// the wire. The initial INVITE is not reported (it leaves before the session exists).
    /// Default: nothing.
    virtual void onReadyToSend(InviteSessionHandle session, SipMessage& message);

    /// A PRACK arrived (RFC 3262). Default: nothing.
    virtual void onPrack(ServerInviteSessionHandle session, const SipMessage& message);
    /// An outgoing call got no final response within the profile's stale-call time (180 s by
    /// default). Default: End (CANCEL).
    virtual void onStaleCallTimeout(ClientInviteSessionHandle session);
    /// The 2xx to our INVITE carries an answer other than the one a reliable provisional already
    /// brought (RFC 3262 section 5 wants the same); the new one is now the remote body. The Body
    /// form (generic offer/answer) defaults to the SdpBody form with the SDP inside; the SdpBody
    /// form defaults to nothing.
    virtual void onRemoteSdpChanged(InviteSessionHandle session, const SipMessage& message, const SdpBody& sdp);
    virtual void onRemoteAnswerChanged(InviteSessionHandle session, const SipMessage& message, const Body& body);
    /// The peer refused our request for an offer (RequestOffer: a re-INVITE without body);
    /// `message` is the response (or one made here: 408, 503). The call stays up unless the
    /// response was 481 or 408 (then onTerminated follows). Default: nothing.
    virtual void onOfferRequestRejected(InviteSessionHandle session, const SipMessage& message);
    /// The ACK of our 2xx arrived. Default: nothing.
    virtual void onAckReceived(InviteSessionHandle session, const SipMessage& message);
    /// No ACK came for our 2xx within 64*T1 (RFC 3261 section 13.3.1.4). Default: End (BYE).
    virtual void onAckNotReceived(InviteSessionHandle session);
    /// Our re-INVITE got no final response within the profile's stale re-INVITE time (40 s by
    /// default): the peer keeps it open with provisionals only. Default: End with
    /// EndReason::StaleReInvite (BYE); override it to keep the call and wait longer.
    virtual void onStaleReInviteTimeout(InviteSessionHandle session);
    /// An answer was missing where one was due, or a body came where none may (`message` the
    /// one at fault). Default: End with EndReason::IllegalNegotiation (BYE, or CANCEL).
    virtual void onIllegalNegotiation(InviteSessionHandle session, const SipMessage& message);
    /// The session expired (RFC 4028 section 10): the peer did not refresh it, or our refresh got
    /// no 2xx, by its deadline. Default: End with EndReason::SessionExpired (BYE; onTerminated
    /// then reports Timeout).
    virtual void onSessionExpired(InviteSessionHandle session);
    /// The WebSocket connection (WS, WSS) the dialog depends on has closed: the peer cannot be
    /// reached any more (RFC 7118 section 5). Not called for TCP or TLS, whose connections are
    /// opened again when needed. Default: End (the BYE is tried; onTerminated follows).
    virtual void onFlowTerminated(InviteSessionHandle session);

private:
    bool generic_;
};

} // namespace zel::sip::stack

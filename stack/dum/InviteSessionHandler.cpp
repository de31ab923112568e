#include "stack/dum/InviteSessionHandler.h"

#include "stack/body/BodyFactory.h"
#include "stack/dum/InviteSession.h"

namespace zel::sip::stack {

// The Body forms hand the SDP inside the body to the SdpBody forms: an application that does not
// take whole bodies sees the same offers and answers either way.

void InviteSessionHandler::onEarlyMedia(ClientInviteSessionHandle session, const SipMessage& message, const Body& body) {
    if (const SdpBody* sdp = FindSdp(body)) {
        onEarlyMedia(session, message, *sdp);
    }
}

void InviteSessionHandler::onAnswer(InviteSessionHandle session, const SipMessage& message, const Body& body) {
    if (const SdpBody* sdp = FindSdp(body)) {
        onAnswer(session, message, *sdp);
    }
}

void InviteSessionHandler::onOffer(InviteSessionHandle session, const SipMessage& message, const Body& body) {
    if (const SdpBody* sdp = FindSdp(body)) {
        onOffer(session, message, *sdp);
    }
}

void InviteSessionHandler::onConnectedConfirmed(InviteSessionHandle, const SipMessage&) {}

bool InviteSessionHandler::onRefer(InviteSessionHandle, const SipMessage&) { return false; }

bool InviteSessionHandler::onReferNoSub(InviteSessionHandle session, const SipMessage& message) {
    return onRefer(session, message);
}

void InviteSessionHandler::onReferRejected(InviteSessionHandle, const SipMessage&) {}
void InviteSessionHandler::onReferAccepted(InviteSessionHandle, const SipMessage&) {}
void InviteSessionHandler::onReadyToSend(InviteSessionHandle, SipMessage&) {}
void InviteSessionHandler::onPrack(ServerInviteSessionHandle, const SipMessage&) {}

void InviteSessionHandler::onStaleCallTimeout(ClientInviteSessionHandle session) {
    if (session.IsValid()) {
        session->End(EndReason::NotSpecified);
    }
}

void InviteSessionHandler::onRemoteSdpChanged(InviteSessionHandle, const SipMessage&, const SdpBody&) {}
void InviteSessionHandler::onRemoteAnswerChanged(InviteSessionHandle session, const SipMessage& message, const Body& body) {
    if (const SdpBody* sdp = FindSdp(body)) {
        onRemoteSdpChanged(session, message, *sdp);
    }
}
void InviteSessionHandler::onOfferRequestRejected(InviteSessionHandle, const SipMessage&) {}
void InviteSessionHandler::onAckReceived(InviteSessionHandle, const SipMessage&) {}

void InviteSessionHandler::onAckNotReceived(InviteSessionHandle session) {
    if (session.IsValid()) {
        session->End(EndReason::AckNotReceived);
    }
}

void InviteSessionHandler::onStaleReInviteTimeout(InviteSessionHandle session) {
    if (session.IsValid()) {
        session->End(EndReason::StaleReInvite);
    }
}

void InviteSessionHandler::onIllegalNegotiation(InviteSessionHandle session, const SipMessage&) {
    if (session.IsValid()) {
        session->End(EndReason::IllegalNegotiation);
    }
}

void InviteSessionHandler::onSessionExpired(InviteSessionHandle session) {
    if (session.IsValid()) {
        session->End(EndReason::SessionExpired);
    }
}

void InviteSessionHandler::onFlowTerminated(InviteSessionHandle session) {
    if (session.IsValid()) {
        session->End(EndReason::NotSpecified);
    }
}

} // namespace zel::sip::stack

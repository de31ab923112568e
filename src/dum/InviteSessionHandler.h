#pragma once

#include "core/IComputerNameProvider.h"
#include "dum/SessionImpl.h"
#include "sdp/IMediaNegotiator.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/InviteSessionHandler.h"

#include <boost/signals2/signal.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace zel::sip {

/// The user agent's handler of invite sessions: one SessionImpl per dialog-layer session,
/// announced through `NewSession`; the SDP offer/answer exchange through the media negotiator
/// (answers to offers, offers when the peer asks for one, verification of answers); the automatic
/// 200 once our answer or offer is ready; and the session signals for everything else.
///
/// Offers and answers arrive as whole bodies (generic offer/answer): an SDP body, or a
/// multipart/mixed body whose SDP part is negotiated and whose other parts fire MessageContent.
/// A received offer the negotiator refuses is rejected 488 (an invalid argument) or 500 (any
/// other error) with Warning 399 and the error text; an answer that does not verify ends the
/// session. Each failure also writes a line to standard output ("Failed to negotiate answer: ",
/// "Failed to generate offer: ", "Failed to verify answer: "), which tools watching the process
/// rely on.
///
/// Threads: every call comes on the dialog thread. One recursive lock guards the map; host
/// callbacks run with it held (recursive, since a callback may call back into the library on the
/// same thread). Host threads never take it: the session getters read what each session published
/// when its last exchange ended, so a host thread that a callback waits for cannot deadlock.
class InviteSessionHandler final : public stack::InviteSessionHandler {
public:
    InviteSessionHandler(stack::DialogUsageManager& dum, const IMediaNegotiator& mediaNegotiator,
                         const IComputerNameProvider& computerName);

    /// A session was made (an INVITE arrived, or the first response to ours); host callbacks
    /// connected to it during the emission receive everything that follows.
    boost::signals2::signal<void(const std::shared_ptr<SessionImpl>&, const stack::SipMessage&)> NewSession;

    void onNewSession(stack::ClientInviteSessionHandle session, stack::OfferAnswerType type,
                      const stack::SipMessage& message) override;
    void onNewSession(stack::ServerInviteSessionHandle session, stack::OfferAnswerType type,
                      const stack::SipMessage& message) override;
    void onFailure(stack::ClientInviteSessionHandle session, const stack::SipMessage& message) override;
    void onEarlyMedia(stack::ClientInviteSessionHandle, const stack::SipMessage&, const stack::SdpBody&) override {}
    void onEarlyMedia(stack::ClientInviteSessionHandle, const stack::SipMessage&, const stack::Body&) override {}
    void onProvisional(stack::ClientInviteSessionHandle, const stack::SipMessage&) override {}
    void onConnected(stack::ClientInviteSessionHandle session, const stack::SipMessage& message) override;
    void onConnected(stack::InviteSessionHandle session, const stack::SipMessage& message) override;
    void onTerminated(stack::InviteSessionHandle session, stack::TerminatedReason reason,
                      const stack::SipMessage* message) override;
    void onForkDestroyed(stack::ClientInviteSessionHandle) override {}
    void onRedirected(stack::ClientInviteSessionHandle, const stack::SipMessage&) override {}
    void onAnswer(stack::InviteSessionHandle session, const stack::SipMessage& message,
                  const stack::SdpBody& sdp) override;
    void onAnswer(stack::InviteSessionHandle session, const stack::SipMessage& message,
                  const stack::Body& body) override;
    void onOffer(stack::InviteSessionHandle session, const stack::SipMessage& message,
                 const stack::SdpBody& sdp) override;
    void onOffer(stack::InviteSessionHandle session, const stack::SipMessage& message,
                 const stack::Body& body) override;
    void onOfferRequired(stack::InviteSessionHandle session, const stack::SipMessage& message) override;
    void onOfferRejected(stack::InviteSessionHandle, const stack::SipMessage*) override {}
    void onInfo(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onInfoSuccess(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onInfoFailure(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onMessage(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onMessageSuccess(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onMessageFailure(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    // onRefer and onReferNoSub keep the dialog layer's refusal (603): a REFER left unanswered
    // would make the peer retransmit it until its transaction times out.
    void onReferRejected(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onReferAccepted(stack::InviteSessionHandle, const stack::SipMessage&) override {}
    void onReadyToSend(stack::InviteSessionHandle session, stack::SipMessage& message) override;

    /// The first SDP body in `body`: itself, or the first found depth first in a multipart/mixed.
    static const stack::SdpBody* FindSDP(const stack::Body& body) noexcept;

    /// Calls `onSdp` for every SDP body in `body` (parts of multipart/mixed, in order) and fires
    /// MessageContent for every other body. Dialog thread.
    void HandleContent(const stack::InviteSessionHandle& session, const stack::Body& body,
                       const std::function<void(const stack::SdpBody&)>& onSdp);

    /// Sessions in the map (for tests and diagnostics). Dialog thread.
    std::size_t Count() const;

private:
    void CreateSessionIfOneDoesNotExist(const stack::InviteSessionHandle& session, const stack::SipMessage& message);
    std::shared_ptr<SessionImpl> Find(const stack::InviteSessionHandle& session) const;
    /// Once `narrowed` (the negotiator's copy of `received`, the session's remote SDP now) has
    /// turned out equal to it, makes the session share the dialog layer's body instead.
    static void ShareOfferIfUnchanged(const stack::InviteSession& session, SessionImpl& found,
                                      const stack::SdpBody& narrowed, const stack::SdpBody& received);
    /// Accepts an unanswered incoming call with 200; a re-INVITE or an outgoing call is left alone.
    static void AcceptIfServer(const stack::InviteSessionHandle& session);

    stack::DialogUsageManager& dum_;
    const IMediaNegotiator& mediaNegotiator_;
    const IComputerNameProvider& computerName_;
    mutable std::recursive_mutex lock_;
    std::map<stack::InviteSessionHandle, std::shared_ptr<SessionImpl>> sessions_;
};

} // namespace zel::sip

#pragma once

#include "core/EventSignal.h"
#include "stack/body/SdpBody.h"
#include "stack/message/SipMessage.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip {

/// Why a session ended; the values match the dialog layer's termination reasons one to one.
enum class TerminatedReason : std::int32_t {
    Error = 0,        ///< an error ended the session, or an unknown reason was reported
    Timeout = 1,      ///< a transaction or the session timed out
    Replaced = 2,     ///< the session was replaced by another one
    LocalBye = 3,     ///< this side ended the session with BYE
    RemoteBye = 4,    ///< the peer ended the session with BYE
    LocalCancel = 5,  ///< this side cancelled the call before it was answered
    RemoteCancel = 6, ///< the peer cancelled the call before it was answered
    Rejected = 7,     ///< the call was rejected (as the called side)
    Referred = 8,     ///< the session ended after a transfer
};

/// The internal interface of one call's session object: what the media negotiator and the
/// per-medium negotiators read and record during the SDP offer/answer exchange (RFC 3264), and
/// the session's six signals.
///
/// Threads: the session has no lock of its own. Negotiation runs on the dialog thread under the
/// invite session handler's lock; the signals lock internally and fire synchronously on the
/// thread that emits them.
///
/// Lifetimes: pointers returned by GetLocalSDP/GetRemoteSDP and references to the address list
/// point into the session and stay valid until the SDP is replaced or the session is destroyed.
class ISessionImpl {
public:
    /// An offer was answered or an answer verified.
    EventSignal<void()> MediaNegotiated;
    /// The call is established.
    EventSignal<void()> Connected;
    /// A failure response to the outgoing INVITE: status code, reason phrase, the response.
    EventSignal<void(std::int32_t, const std::string&, const stack::SipMessage&)> Failure;
    /// The session ended; the message that ended it, or null.
    EventSignal<void(TerminatedReason, const stack::SipMessage*)> Terminated;
    /// A non-SDP body arrived in an offer, answer or ending message: its content type and text.
    EventSignal<void(const std::string&, const std::string&)> MessageContent;
    /// A message of the session is about to be sent; it may still be changed.
    EventSignal<void(stack::SipMessage&)> ReadyToSend;

    ISessionImpl() = default;
    ISessionImpl(const ISessionImpl&) = delete;
    ISessionImpl& operator=(const ISessionImpl&) = delete;
    virtual ~ISessionImpl() = default;

    /// The Call-ID of the dialog-layer session. Raises the stack's handle error when that session
    /// no longer exists.
    virtual std::string CallId() const = 0;

    /// Whether the dialog-layer session is connected. Raises the stack's handle error when that
    /// session no longer exists.
    virtual bool IsConnected() const = 0;

    /// Whether the peer declared `tag` in its Supported header (compared as a SIP token).
    /// Raises the stack's handle error when the dialog-layer session no longer exists.
    virtual bool IsSupportedByPeer(std::string_view tag) const = 0;

    /// The local address handed out for each media description, by media index (empty: none).
    virtual std::vector<std::string>& LocalConnectionAddresses() = 0;
    virtual const std::vector<std::string>& LocalConnectionAddresses() const = 0;

    /// The session's local SDP, or null before there is one.
    virtual stack::SdpBody* GetLocalSDP() = 0;
    virtual const stack::SdpBody* GetLocalSDP() const = 0;

    /// Stores a copy of `sdp` as the local SDP and rebuilds the local connection addresses from
    /// it: one entry per media description, its first applicable connection address or empty.
    virtual void SetLocalSDP(const stack::SdpBody& sdp) = 0;

    /// The remote SDP of the latest exchange, or null.
    virtual const stack::SdpBody* GetRemoteSDP() const = 0;

    /// Stores a copy of `sdp` as the remote SDP; nothing else changes.
    virtual void SetRemoteSDP(const stack::SdpBody& sdp) = 0;
};

} // namespace zel::sip

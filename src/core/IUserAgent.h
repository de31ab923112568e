#pragma once

#include "core/EventSignal.h"
#include "dum/IClientRegistration.h"
#include "dum/ISession.h"
#include "sdp/AddressType.h"
#include "stack/message/SipMessage.h"

#include <zelmor/sip.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zel::sip {

/// A user agent as the C interface reaches it: the four user agent events and the operations that
/// set its identity, register it and place calls.
///
/// Threads: the operations may be called from any host thread; overlapping calls are serialised.
/// NewClientRegistration, NewSession and LocalMediaEndpointSurplus fire on the dialog thread;
/// LocalMediaEndpointRequired wherever an SDP offer or answer is built (the dialog thread, or the
/// host thread inside Invite for an outgoing call's first offer).
class IUserAgent {
public:
    EventSignal<void(const std::shared_ptr<IClientRegistration>&)> NewClientRegistration;
    EventSignal<void(const std::shared_ptr<ISession>&, const stack::SipMessage&)> NewSession;
    /// Port count, address family, address buffer (46 bytes), its size, port, information buffer
    /// (512 bytes), its size. See IMediaNegotiator.
    EventSignal<void(std::uint64_t, AddressType, char*, std::uint64_t, std::uint16_t&, char*, std::uint64_t)>
        LocalMediaEndpointRequired;
    EventSignal<void(const char*, std::uint16_t)> LocalMediaEndpointSurplus;

    IUserAgent() = default;
    IUserAgent(const IUserAgent&) = delete;
    IUserAgent& operator=(const IUserAgent&) = delete;
    /// Ends the registrations, shuts the dialog layer down and joins every thread. Must not run on
    /// one of the user agent's own threads (inside one of its callbacks).
    virtual ~IUserAgent() = default;

    /// Sets the default From (a name-address text, required) of the master profile and, when a
    /// password is given, adds a digest credential for `user` (default: the From URI's user part)
    /// in `realm` (default: the From URI's host). Null and empty texts are "not given".
    /// Raises the parser's error for a From that is not a name-address.
    virtual void SetDefaultFrom(const char* from, const char* password, const char* user, const char* realm) = 0;

    /// Registers `aor` with its own copy of the master profile, through `outboundProxy` with RFC 5626
    /// outbound when one is given. Returns once the REGISTER is handed to the dialog layer; the
    /// outcome comes through NewClientRegistration. Raises the parser's error for an aor that is not
    /// a name-address or an outbound proxy that is not a URI; nothing is sent then.
    virtual void Register(const char* aor, const char* password, const char* outboundProxy, const char* user,
                          const char* realm) = 0;

    /// Places a call to `to` (a name-address text, required) with an SDP offer of `addressType`,
    /// followed by `contents` as further bodies in a multipart/mixed body. The offer is built on
    /// the calling thread (LocalMediaEndpointRequired runs here); the INVITE is sent from the
    /// dialog thread. With `from` given, the call uses a copy of the master profile with that
    /// From and, with a password, its digest credential (user and realm default to the From URI's
    /// user and host); without it the master profile's default From applies and password, user
    /// and realm are ignored. Returns the INVITE's Call-ID; the session follows with NewSession.
    /// Raises, sending nothing: "unexpected address type: N"; "unable to get a local media
    /// endpoint"; the parser's error for a `to` or `from` that is not a name-address; the dialog
    /// layer's error for a target that is not a sip or sips URI or no default From.
    virtual std::string Invite(const char* to, const char* from, const char* password, const Contents* contents,
                               std::uint64_t contentsCount, AddressType addressType, const char* user,
                               const char* realm) = 0;
};

} // namespace zel::sip

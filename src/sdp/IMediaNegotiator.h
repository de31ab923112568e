#pragma once

#include "sdp/AddressType.h"
#include "stack/body/SdpBody.h"
#include "stack/transport/TransportOptions.h"

#include <boost/signals2/signal.hpp>

#include <memory>

namespace zel::sip {

class ISessionImpl;

/// The SDP offer/answer engine of a user agent (RFC 3264): makes offers, answers remote offers
/// and checks remote answers, one media description at a time, and asks the host for the local
/// endpoint of each media stream.
///
/// Signals fire synchronously on the calling thread; slots run in connection order on the same
/// buffers, so the last write wins.
class IMediaNegotiator {
public:
    /// The host must write a NUL-terminated local IP address into the address buffer, a non-zero
    /// port, and may write a NUL-terminated media title into the information buffer. Arguments:
    /// port count, address family, address buffer and its size (46), port, information buffer and
    /// its size (512). The buffers live only during the call.
    boost::signals2::signal<void(unsigned long, AddressType, char*, unsigned long, unsigned short&, char*,
                                 unsigned long)>
        LocalMediaEndpointRequired;

    /// The endpoint (address, port) formerly handed out for a medium is no longer used. The
    /// address text lives only during the call.
    boost::signals2::signal<void(const char*, unsigned short)> LocalMediaEndpointSurplus;

    IMediaNegotiator() = default;
    IMediaNegotiator(const IMediaNegotiator&) = delete;
    IMediaNegotiator& operator=(const IMediaNegotiator&) = delete;
    virtual ~IMediaNegotiator() = default;

    /// A new offer for an outgoing INVITE, before any session exists; stored nowhere.
    virtual std::shared_ptr<stack::SdpBody> MakeOffer(stack::sdp::AddrType addressType) const = 0;

    /// An offer within `session`: its local body, made at first need and repeated unchanged once
    /// it has media. The reference points into the session.
    virtual stack::SdpBody& MakeOffer(ISessionImpl& session, stack::IpVersion ipVersion) const = 0;

    /// Answers the remote `offer` (which may be narrowed to what was accepted) and records both
    /// in `session`; returns the session's local body, now the answer.
    virtual stack::SdpBody& NegotiateAnswer(ISessionImpl& session, stack::SdpBody& offer) const = 0;

    /// Checks the remote `answer` against the session's offer and records it in `session`.
    virtual void VerifyAnswer(ISessionImpl& session, const stack::SdpBody& answer) const = 0;
};

} // namespace zel::sip

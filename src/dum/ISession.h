#pragma once

#include "sdp/ISessionImpl.h"

#include <cstdint>
#include <string>

namespace zel::sip {

/// A call as the host sees it (the object behind a session handle): the six signals and the
/// negotiation state of ISessionImpl, plus what the C interface reads and does.
///
/// Which SDP each getter reads: the media count, label and port count read the remote SDP when
/// there is one, else the local one; the local address and local ports the local SDP; the remote
/// addresses, remote ports and attributes the remote SDP. Indexes count m= lines from 0.
///
/// Threads: the signals fire on the dialog thread. The getters may be called from any thread: on
/// the dialog thread (inside callbacks) they read the live negotiation state; elsewhere a copy
/// that the dialog thread publishes each time an exchange is over, so they never read an SDP
/// while it is replaced or edited, and never wait for the dialog thread. A label pointer stays
/// valid until the next exchange (the host reads it safely inside its callbacks, or copies it).
/// Reject and Terminate may be called from any thread; off the dialog thread they are carried
/// there as commands.
///
/// Lifetime: shared by the invite session handler, which drops its share once the Terminated
/// callbacks have returned (the C interface resolves handles through weak references, so a stale
/// handle fails instead of reaching a destroyed object).
class ISession : public ISessionImpl {
public:
    /// The Call-ID of the call, kept from when the session was made; valid while this object
    /// lives. Raises the stack's handle error once the dialog-layer session has ended.
    virtual const std::string& CallIdText() const = 0;

    /// The dialog layer's number of the session (what its handle error names). Any thread.
    virtual std::uint64_t UsageId() const noexcept = 0;

    /// Number of media descriptions; 0 without SDP.
    virtual std::uint64_t GetMediaCount() const = 0;
    /// The first a=label value of media description `index` (RFC 4574), or null.
    virtual const char* GetMediaLabel(std::uint64_t index) const = 0;
    /// Writes the local connection address of `index` (cut at size - 1 and terminated); for an
    /// index out of range only the NUL at size - 1. `size` must be at least 1.
    virtual void GetLocalConnectionAddress(std::uint64_t index, char* buffer, std::uint64_t size) const = 0;
    /// Connection addresses of remote media description `index` (its own c= lines or the
    /// session-level one); 0 without remote SDP or out of range.
    virtual std::uint64_t GetRemoteConnectionAddressCount(std::uint64_t index) const = 0;
    /// Writes remote connection address `address` of media description `index`; writes nothing
    /// when either index is out of range. `size` must be at least 1.
    virtual void GetRemoteConnectionAddress(std::uint64_t index, std::uint64_t address, char* buffer,
                                            std::uint64_t size) const = 0;
    /// The port count of the m= line (1 when not written); 0 out of range.
    virtual std::uint64_t GetPortCount(std::uint64_t index) const = 0;
    virtual std::uint16_t GetLocalMediaPort(std::uint64_t index) const = 0;
    /// The a=rtcp port (RFC 3605) or the media port plus 1 (16-bit arithmetic); 0 out of range.
    virtual std::uint16_t GetLocalControlPort(std::uint64_t index) const = 0;
    virtual std::uint16_t GetRemoteMediaPort(std::uint64_t index) const = 0;
    virtual std::uint16_t GetRemoteControlPort(std::uint64_t index) const = 0;
    /// Lines ending in CR LF of remote media description `index`: "rtpmap:" and "fmtp:" per codec,
    /// "crypto:" per a=crypto, then "inactive" and "rtcp-mux" when present; empty out of range.
    virtual std::string GetAttributes(std::uint64_t index) const = 0;

    /// Refuses the unanswered INVITE (or the peer's pending offer) with `code`; a non-null `text`
    /// adds Warning: 399 <this host> "<text>". Raises the stack's handle error when the session
    /// has ended; on the dialog thread also the dialog layer's error for a refusal its state does
    /// not allow (from another thread that error goes to the stack log, as the command runs later).
    virtual void Reject(std::int32_t code, const char* text) = 0;
    /// Ends the call as a hang-up: CANCEL, a final response or BYE as its state requires.
    /// Raises the stack's handle error when the session has ended.
    virtual void Terminate() = 0;
};

} // namespace zel::sip

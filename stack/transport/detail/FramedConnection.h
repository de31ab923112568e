#pragma once

#include "stack/message/StreamFramer.h"
#include "stack/transport/detail/Connection.h"

#include <string_view>

namespace zel::sip::stack::detail {

/// A connection that carries SIP as a byte stream (TCP, TLS): messages are cut by Content-Length,
/// CRLF CRLF pings are answered with a CRLF pong (RFC 5626 section 3.5.1). A peer that breaks the
/// framing or a limit loses this connection only.
///
/// Each read goes into a buffer on the stack, and the connection waits for readiness only once a
/// read found nothing, so a quiet connection holds no read buffer: only the framer's unfinished
/// message, whose storage goes too once it is consumed.
class FramedConnection : public Connection {
public:
    FramedConnection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits, bool outgoing,
                     std::string serverName);

protected:
    /// Reads what has arrived into `buffer` without waiting: the count, or 0 with `error` set
    /// (`would_block` when nothing is there yet, `eof` when the peer closed).
    virtual std::size_t ReadAvailable(boost::asio::mutable_buffer buffer, boost::system::error_code& error) = 0;
    /// Waits until a read that reported `would_block` may make progress.
    virtual void WaitReadable(Completion done) = 0;

    void Read() final;

private:
    /// One read and what it completes; then the next read, later.
    void ReadNow();
    /// Frames `bytes`; false when the connection closed meanwhile.
    bool Consume(std::string_view bytes);
    /// After the framer wants more: starts or ends the message deadline (`read` was the last read).
    void NoteHeldBytes(std::string_view read);

    StreamFramer framer_;
    bool heldLineEndsOnly_ = false;
};

} // namespace zel::sip::stack::detail

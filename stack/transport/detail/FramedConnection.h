#pragma once

#include "stack/message/StreamFramer.h"
#include "stack/transport/detail/Connection.h"

#include <array>
#include <functional>

namespace zel::sip::stack::detail {

/// A connection that carries SIP as a byte stream (TCP, TLS): messages are cut by Content-Length,
/// CRLF CRLF pings are answered with a CRLF pong (RFC 5626 section 3.5.1). A peer that breaks the
/// framing or a limit loses this connection only.
class FramedConnection : public Connection {
public:
    FramedConnection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits, bool outgoing,
                     std::string serverName);

protected:
    using ReadCompletion = std::function<void(const boost::system::error_code&, std::size_t)>;

    /// Reads what is available into `buffer`.
    virtual void ReadSome(boost::asio::mutable_buffer buffer, ReadCompletion done) = 0;

    void Read() final;

private:
    void OnRead(const boost::system::error_code& error, std::size_t size);
    /// After the framer wants more: starts or ends the message deadline (`size` bytes were read).
    void NoteHeldBytes(std::size_t size);

    StreamFramer framer_;
    std::array<char, 16 * 1024> readBuffer_{};
    bool heldLineEndsOnly_ = false;
};

} // namespace zel::sip::stack::detail

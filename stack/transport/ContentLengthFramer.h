#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zel::sip::stack {

/// Cuts a byte stream (TCP, TLS) into SIP messages by their Content-Length (RFC 3261 section 18.3)
/// and recognises the CRLF keep-alives of RFC 5626 section 3.5.1 between messages.
///
/// Does no I/O: the connection appends what it read and takes frames out until `NeedMore`. After
/// an `Error` the stream cannot be resynchronised and the connection must be closed; every later
/// call returns the same error. Memory is bounded by the limits given at construction.
///
/// The parser of the message layer will offer its own framer; this one is kept behind this small
/// interface so the connection code does not change when it is swapped.
class ContentLengthFramer {
public:
    /// Which side of the connection we are: it decides what a bare CRLF between messages means.
    enum class Role {
        /// We opened the connection and send the pings: every CRLF is a pong.
        Client,
        /// We accepted it: CRLF CRLF is a ping, to be answered with a CRLF pong.
        Server,
    };

    enum class FrameKind { NeedMore, Message, Ping, Pong, Error };

    struct Frame {
        FrameKind kind = FrameKind::NeedMore;
        /// The whole message for `Message` (valid until the next `Append` or `Next`), or the reason
        /// for `Error`.
        std::string_view bytes;
    };

    ContentLengthFramer(Role role, std::size_t maxHeaderBytes, std::size_t maxMessageBytes);

    /// Adds bytes read from the stream.
    void Append(std::string_view bytes);

    /// Takes the next frame out of what was appended.
    Frame Next();

    /// Bytes held that belong to no complete frame yet.
    std::size_t Buffered() const noexcept { return buffer_.size() - start_; }

private:
    Frame Fail(std::string_view reason);
    /// Finds the end of the header section and the Content-Length; sets error_ on bad framing.
    bool ParseHeader(std::string_view available);

    Role role_;
    std::size_t maxHeaderBytes_;
    std::size_t maxMessageBytes_;
    std::string buffer_;
    std::size_t start_ = 0;
    /// Where the search for the blank line continues, relative to start_.
    std::size_t scanned_ = 0;
    /// Size of the current message once its header section is parsed.
    std::optional<std::size_t> messageSize_;
    std::string error_;
};

} // namespace zel::sip::stack

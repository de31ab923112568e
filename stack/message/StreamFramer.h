#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/MessageLimits.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// What StreamFramer found next in the stream.
enum class FrameKind {
    NeedMore, ///< no complete frame yet: feed more bytes
    Message,  ///< a complete message
    Invalid,  ///< (Next only) a complete frame that does not parse; it is dropped, the stream goes on
    Ping,     ///< a CRLFCRLF keep-alive ping (RFC 5626 section 3.5.1), seen by the accepting side
    Pong,     ///< a CRLF keep-alive pong, seen by the side that opened the connection
    Error,    ///< framing failed (limit exceeded, bad Content-Length): the stream is unusable
};

/// Text for logs.
std::string_view ToString(FrameKind kind) noexcept;

/// Cuts SIP messages out of a byte stream (TCP, TLS; RFC 3261 section 18.3): finds the end of the
/// headers, reads Content-Length, waits for the body, and yields complete messages. Bytes may
/// arrive in chunks of any size; the result does not depend on where they were split.
///
/// Keep-alives between messages (RFC 5626 section 3.5.1) depend on which side we are: the side
/// that accepted the connection sees CRLFCRLF as a ping to answer and skips a lone CRLF; the side
/// that opened it sees each CRLF as a pong. Bare LFs between messages are skipped. Line ends inside
/// a message may be CRLF or a bare LF.
///
/// Content-Length is mandatory on streams; a message without it is taken to have no body rather
/// than be lost, and the parser decides about it. A bad or conflicting Content-Length cannot be
/// resynchronised: it is an Error.
///
/// Limits bound the memory held: a header block beyond `maxHeaderBytes`, a line beyond
/// `maxLineLength`, a body beyond `maxBodyBytes` or a message beyond `maxMessageBytes` is an Error,
/// after which the framer drops what it holds and only answers Error until Reset.
/// A single-threaded object: feed and poll it from one strand.
class StreamFramer {
public:
    /// Which side of the connection we are.
    enum class Role {
        Client, ///< we opened the connection and send the pings
        Server, ///< we accepted it and answer pings
    };

    /// One frame. `bytes` is the whole message for Message (valid until the next Feed or
    /// NextFrame); `failure` says why for Error.
    struct Frame {
        FrameKind kind = FrameKind::NeedMore;
        std::string_view bytes;
        ParseFailure failure;
    };

    explicit StreamFramer(Role role = Role::Server, MessageLimits limits = {}) : role_(role), limits_(limits) {}

    /// Appends received bytes. Ignored after an Error.
    void Feed(std::string_view bytes);

    /// Extracts the next frame without parsing it: NeedMore, Message, Ping, Pong or Error.
    Frame NextFrame();

    /// Extracts and parses the next frame. Call until it answers NeedMore (or Error). On Message,
    /// `message` holds it; on Invalid or Error, `failure` says why (positions relative to the frame).
    FrameKind Next(SipMessage& message, ParseFailure& failure);

    /// Bytes buffered and not yet framed.
    std::size_t Buffered() const noexcept { return buffer_.size() - start_; }
    bool Failed() const noexcept { return failed_; }
    /// Frees the buffer's storage when nothing is buffered, so a connection gone quiet holds none
    /// however large its last message was. Invalidates the bytes of frames returned so far.
    void ReleaseStorageIfEmpty() noexcept;
    /// Drops everything buffered and clears an error.
    void Reset() noexcept;

private:
    Frame Fail(ParseFailure reason);
    ParseStatus ReadContentLength(std::string_view headers);
    /// Consumes keep-alives at the start of the buffered bytes; answers Ping, Pong, NeedMore (an
    /// incomplete keep-alive) or Message (meaning: a message starts here).
    FrameKind TakeKeepAlive();

    Role role_;
    MessageLimits limits_;
    std::string buffer_;
    std::size_t start_ = 0;     // first byte not yet consumed
    std::size_t scanned_ = 0;   // bytes after start_ already searched for the end of headers
    std::size_t headerEnd_ = 0; // length of start line + headers + empty line, once known
    std::size_t bodyLength_ = 0;
    bool failed_ = false;
    ParseFailure failure_;
};

} // namespace zel::sip::stack

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/MessageLimits.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// What StreamFramer::Next found.
enum class FrameKind {
    NeedMore, ///< no complete frame yet: feed more bytes
    Message,  ///< a complete message was parsed into the out parameter
    Invalid,  ///< a complete frame was delimited but does not parse; it is dropped, the stream goes on
    Ping,     ///< a CRLFCRLF keep-alive ping (RFC 5626 section 4.4.1)
    Pong,     ///< a single CRLF keep-alive pong (RFC 5626 section 4.4.1)
    Error,    ///< framing failed (limit exceeded, bad or missing Content-Length): the stream is unusable
};

/// Text for logs.
std::string_view ToString(FrameKind kind) noexcept;

/// Cuts SIP messages out of a byte stream (TCP, TLS; RFC 3261 section 18.3): finds the end of the
/// headers, reads Content-Length (mandatory on streams), waits for the body, and yields complete
/// messages. Bytes may arrive in chunks of any size. Keep-alives between messages are reported:
/// CRLFCRLF as Ping, a lone CRLF as Pong (a CRLF at the end of the buffered bytes, with nothing after
/// it yet, is reported as Pong; a ping split right after its first CRLF is therefore seen as two
/// pongs).
///
/// Limits bound the memory held: a header block or message beyond `maxMessageBytes`, a line beyond
/// `maxLineLength` or a body beyond `maxBodyBytes` is an Error, after which the framer only answers
/// Error until Reset. A single-threaded object: feed and poll it from one strand.
class StreamFramer {
public:
    explicit StreamFramer(MessageLimits limits = {}) : limits_(limits) {}

    /// Appends received bytes.
    void Feed(std::string_view bytes);
    /// Extracts the next frame. Call until it answers NeedMore (or Error). On Message, `message`
    /// holds it; on Invalid or Error, `failure` says why (positions relative to the frame start).
    FrameKind Next(SipMessage& message, ParseFailure& failure);

    /// Bytes buffered and not yet framed.
    std::size_t Buffered() const noexcept { return buffer_.size() - start_; }
    bool Failed() const noexcept { return failed_; }
    /// Drops everything buffered and clears an error.
    void Reset() noexcept;

private:
    FrameKind Fail(ParseFailure& failure, ParseFailure reason) noexcept;
    ParseStatus ReadContentLength(std::string_view headers);

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

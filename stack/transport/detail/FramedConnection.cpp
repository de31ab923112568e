#include "stack/transport/detail/FramedConnection.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <array>

namespace zel::sip::stack::detail {

namespace {

/// The framer bounds a stream by the transport's limits; the parser above applies its own.
MessageLimits FramingLimits(const TransportLimits& limits) {
    MessageLimits framing;
    framing.maxHeaderBytes = limits.maxHeaderBytes;
    framing.maxLineLength = limits.maxHeaderBytes;
    framing.maxMessageBytes = limits.maxMessageBytes;
    framing.maxBodyBytes = limits.maxMessageBytes;
    return framing;
}

/// The most one read takes: a TLS record's worth.
constexpr std::size_t kReadChunk = 16 * 1024;

} // namespace

FramedConnection::FramedConnection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits,
                                   bool outgoing, std::string serverName)
    : Connection(owner, type, limits, outgoing, std::move(serverName)),
      framer_(outgoing ? StreamFramer::Role::Client : StreamFramer::Role::Server, FramingLimits(limits)) {}

void FramedConnection::Read() { ReadNow(); }

void FramedConnection::ReadNow() {
    // On the stack for this one read: what a message leaves unfinished is the framer's to keep.
    std::array<char, kReadChunk> buffer;
    boost::system::error_code error;
    const std::size_t size = ReadAvailable(boost::asio::buffer(buffer), error);
    auto self = std::static_pointer_cast<FramedConnection>(shared_from_this());
    if (error == boost::asio::error::would_block) {
        WaitReadable([self](const boost::system::error_code& waitError) {
            if (self->IsClosed())
                return;
            if (waitError)
                return self->Fail(waitError, false);
            self->ReadNow();
        });
        return;
    }
    if (error)
        return Fail(error, false);
    if (!Consume(std::string_view(buffer.data(), size)))
        return;
    // The next read runs later, so a busy peer takes turns with every other connection.
    boost::asio::post(Socket().get_executor(), [self] {
        if (!self->IsClosed())
            self->ReadNow();
    });
}

void FramedConnection::NoteHeldBytes(std::string_view read) {
    // What the framer holds after the last whole frame is the start of a message, or up to three
    // line ends it cannot yet tell from a ping (a lone CRLF some peers send as a keep-alive). Only
    // a message starts the deadline; held line ends are bytes of this read, or of earlier reads
    // that held line ends only.
    auto lineEnds = [](std::string_view bytes) { return bytes.find_first_not_of("\r\n") == std::string_view::npos; };
    const std::size_t held = framer_.Buffered();
    bool partial = false;
    if (held > 0 && held <= read.size())
        partial = !lineEnds(read.substr(read.size() - held));
    else if (held > read.size())
        partial = !heldLineEndsOnly_ || !lineEnds(read);
    heldLineEndsOnly_ = held > 0 && !partial;
    NoteMessageProgress(partial);
}

bool FramedConnection::Consume(std::string_view bytes) {
    // Bytes alone are not activity: only a whole message is (see `Deliver`). A message that has
    // begun runs against its own deadline instead, so a trickle cannot hold the connection.
    framer_.Feed(bytes);
    for (;;) {
        const auto frame = framer_.NextFrame();
        switch (frame.kind) {
        case FrameKind::NeedMore:
            NoteHeldBytes(bytes);
            framer_.ReleaseStorageIfEmpty();
            return true;
        case FrameKind::Message:
            NoteMessageProgress(false);
            if (!Deliver(frame.bytes))
                return false;
            break;
        case FrameKind::Ping:
            SendPong();
            break;
        case FrameKind::Pong:
            DeliverPong();
            break;
        case FrameKind::Invalid: // not produced by NextFrame
        case FrameKind::Error:
            Fail(std::make_error_code(std::errc::bad_message), true);
            return false;
        }
        if (IsClosed())
            return false;
    }
}

} // namespace zel::sip::stack::detail

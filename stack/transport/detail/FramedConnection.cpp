#include "stack/transport/detail/FramedConnection.h"

#include <boost/asio/error.hpp>

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

} // namespace

FramedConnection::FramedConnection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits,
                                   bool outgoing, std::string serverName)
    : Connection(owner, type, limits, outgoing, std::move(serverName)),
      framer_(outgoing ? StreamFramer::Role::Client : StreamFramer::Role::Server, FramingLimits(limits)) {}

void FramedConnection::Read() {
    auto self = std::static_pointer_cast<FramedConnection>(shared_from_this());
    ReadSome(boost::asio::buffer(readBuffer_),
             [self](const boost::system::error_code& error, std::size_t size) { self->OnRead(error, size); });
}

void FramedConnection::NoteHeldBytes(std::size_t size) {
    // What the framer holds after the last whole frame is the start of a message, or up to three
    // line ends it cannot yet tell from a ping (a lone CRLF some peers send as a keep-alive). Only
    // a message starts the deadline; held line ends are bytes of this read, or of earlier reads
    // that held line ends only.
    auto lineEnds = [](std::string_view bytes) { return bytes.find_first_not_of("\r\n") == std::string_view::npos; };
    const std::size_t held = framer_.Buffered();
    bool partial = false;
    if (held > 0 && held <= size)
        partial = !lineEnds(std::string_view(readBuffer_.data() + (size - held), held));
    else if (held > size)
        partial = !heldLineEndsOnly_ || !lineEnds(std::string_view(readBuffer_.data(), size));
    heldLineEndsOnly_ = held > 0 && !partial;
    NoteMessageProgress(partial);
}

void FramedConnection::OnRead(const boost::system::error_code& error, std::size_t size) {
    if (IsClosed())
        return;
    if (error)
        return Fail(error, false);
    // Bytes alone are not activity: only a whole message is (see `Deliver`). A message that has
    // begun runs against its own deadline instead, so a trickle cannot hold the connection.
    framer_.Feed(std::string_view(readBuffer_.data(), size));
    for (;;) {
        const auto frame = framer_.NextFrame();
        switch (frame.kind) {
        case FrameKind::NeedMore:
            NoteHeldBytes(size);
            return Read();
        case FrameKind::Message:
            NoteMessageProgress(false);
            if (!Deliver(frame.bytes))
                return;
            break;
        case FrameKind::Ping:
            SendPong();
            break;
        case FrameKind::Pong:
            DeliverPong();
            break;
        case FrameKind::Invalid: // not produced by NextFrame
        case FrameKind::Error:
            return Fail(std::make_error_code(std::errc::bad_message), true);
        }
        if (IsClosed())
            return;
    }
}

} // namespace zel::sip::stack::detail

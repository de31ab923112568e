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

void FramedConnection::OnRead(const boost::system::error_code& error, std::size_t size) {
    if (IsClosed())
        return;
    if (error)
        return Fail(error, false);
    Touch();
    framer_.Feed(std::string_view(readBuffer_.data(), size));
    for (;;) {
        const auto frame = framer_.NextFrame();
        switch (frame.kind) {
        case FrameKind::NeedMore:
            return Read();
        case FrameKind::Message:
            if (!Deliver(frame.bytes))
                return;
            break;
        case FrameKind::Ping:
            SendKeepAlive("\r\n");
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

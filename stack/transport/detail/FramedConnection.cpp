#include "stack/transport/detail/FramedConnection.h"

#include <boost/asio/error.hpp>

namespace zel::sip::stack::detail {

FramedConnection::FramedConnection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits,
                                   bool outgoing, std::string serverName)
    : Connection(owner, type, limits, outgoing, std::move(serverName)),
      framer_(outgoing ? ContentLengthFramer::Role::Client : ContentLengthFramer::Role::Server,
              limits.maxHeaderBytes, limits.maxMessageBytes) {}

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
    framer_.Append(std::string_view(readBuffer_.data(), size));
    for (;;) {
        const auto frame = framer_.Next();
        switch (frame.kind) {
        case ContentLengthFramer::FrameKind::NeedMore:
            return Read();
        case ContentLengthFramer::FrameKind::Message:
            if (!Deliver(frame.bytes))
                return;
            break;
        case ContentLengthFramer::FrameKind::Ping:
            SendKeepAlive("\r\n");
            break;
        case ContentLengthFramer::FrameKind::Pong:
            DeliverPong();
            break;
        case ContentLengthFramer::FrameKind::Error:
            return Fail(std::make_error_code(std::errc::bad_message), true);
        }
        if (IsClosed())
            return;
    }
}

} // namespace zel::sip::stack::detail

#include "stack/transport/detail/Connection.h"

#include "stack/transport/detail/Endpoints.h"

namespace zel::sip::stack::detail {

Connection::Connection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits, bool outgoing,
                       std::string serverName)
    : limits_(limits), owner_(&owner), id_(NextConnectionId()), type_(type), outgoing_(outgoing),
      serverName_(std::move(serverName)), state_(outgoing ? State::Connecting : State::Handshaking),
      created_(Clock::now()), lastActivity_(created_) {}

void Connection::SetTuples() {
    boost::system::error_code error;
    const auto remote = Socket().remote_endpoint(error);
    if (!error)
        peer_ = Tuple{remote.address(), remote.port(), type_, id_};
    const auto local = Socket().local_endpoint(error);
    if (!error)
        local_ = Tuple{local.address(), local.port(), type_, id_};
}

void Connection::StartAccepted(const boost::asio::ip::tcp::endpoint& peer) {
    // The address the per-address count was taken for, even if the peer is gone by now.
    peer_ = Tuple{peer.address(), peer.port(), type_, id_};
    SetTuples();
    Handshake([self = shared_from_this()](const boost::system::error_code& error) { self->OnHandshake(error); });
}

void Connection::StartOutgoing(const boost::asio::ip::tcp::endpoint& peer) {
    peer_ = Tuple{peer.address(), peer.port(), type_, id_};
    Socket().async_connect(peer, [self = shared_from_this()](const boost::system::error_code& error) {
        if (self->IsClosed())
            return;
        if (error)
            return self->Fail(error, false);
        self->SetTuples();
        self->state_ = State::Handshaking;
        self->Touch();
        self->Handshake([self](const boost::system::error_code& handshakeError) { self->OnHandshake(handshakeError); });
    });
}

void Connection::OnHandshake(const boost::system::error_code& error) {
    if (IsClosed())
        return;
    if (error)
        return Fail(error, true);
    state_ = State::Open;
    Touch();
    Read();
    WriteNext();
}

bool Connection::Send(OutboundMessage message) {
    const std::size_t cost = message.bytes.size() + kQueueEntryOverhead;
    if (IsClosed() || queuedBytes_ + cost > limits_.maxPendingOutboundBytes)
        return false;
    queuedBytes_ += cost;
    queue_.push_back(std::move(message));
    WriteNext();
    return true;
}

void Connection::WriteNext() {
    if (writing_ || state_ != State::Open || queue_.empty())
        return;
    writing_ = true;
    const OutboundMessage& next = queue_.front();
    owner_->OnConnectionWriting(*this, next);
    Write(next.bytes, [self = shared_from_this()](const boost::system::error_code& error) {
        self->writing_ = false;
        if (self->IsClosed())
            return;
        if (error)
            return self->Fail(error, false);
        const OutboundMessage& written = self->queue_.front();
        // Our pings count as activity when queued; the peer's pings, answered here, never do.
        if (!written.keepAlive)
            self->Touch();
        if (written.pong)
            self->pongPending_ = false;
        self->queuedBytes_ -= written.bytes.size() + kQueueEntryOverhead;
        self->queue_.pop_front();
        self->WriteNext();
    });
}

bool Connection::Deliver(std::string_view message) {
    if (IsClosed())
        return false;
    Touch();
    owner_->OnConnectionMessage(*this, message);
    return !IsClosed();
}

void Connection::DeliverPong() {
    if (IsClosed())
        return;
    if (pingOutstanding_) {
        pingOutstanding_ = false;
        Touch();
    }
    owner_->OnConnectionPong(*this);
}

bool Connection::SendPing(std::string bytes) {
    if (IsClosed() || !Send(OutboundMessage{std::move(bytes), false, true, false}))
        return false;
    pingOutstanding_ = true;
    Touch();
    return true;
}

void Connection::SendPong() {
    if (IsClosed() || pongPending_)
        return;
    // Refused over the pending-bytes limit: the peer's next ping may try again.
    pongPending_ = Send(OutboundMessage{"\r\n", false, true, true});
}

void Connection::Close() {
    if (IsClosed())
        return;
    state_ = State::Closed;
    owner_ = nullptr;
    queue_.clear();
    queuedBytes_ = 0;
    boost::system::error_code ignored;
    Socket().shutdown(boost::asio::socket_base::shutdown_both, ignored);
    Socket().close(ignored);
}

void Connection::Fail(const std::error_code& reason, bool rejected) {
    if (IsClosed())
        return;
    ConnectionOwner* owner = owner_;
    std::deque<OutboundMessage> unsent;
    for (auto& message : queue_)
        if (!message.keepAlive)
            unsent.push_back(std::move(message));
    Close();
    owner->OnConnectionClosed(*this, reason, rejected, std::move(unsent));
}

} // namespace zel::sip::stack::detail

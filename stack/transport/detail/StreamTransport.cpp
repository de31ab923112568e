#include "stack/transport/detail/StreamTransport.h"

#include "stack/transport/TransportReceiver.h"
#include "stack/transport/detail/Endpoints.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/v6_only.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace zel::sip::stack::detail {

using boost::asio::ip::tcp;

StreamTransport::StreamTransport(boost::asio::io_context& io, TransportType type, const TransportOptions& options)
    : io_(io), options_(options), bindAddress_(BindAddress(options, type)), acceptor_(io), reaper_(io),
      acceptRetry_(io) {
    if (!options.receiver)
        throw std::invalid_argument(std::string(ToString(type)) + " transport needs a receiver");
    boost::system::error_code error;
    acceptor_.open(bindAddress_.is_v6() ? tcp::v6() : tcp::v4(), error);
    if (!error && bindAddress_.is_v6())
        acceptor_.set_option(boost::asio::ip::v6_only(true), error);
    // Lets a restarted stack listen again while old connections linger in TIME_WAIT; a port that
    // another socket listens on still fails to bind.
    if (!error)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor_.bind(tcp::endpoint(bindAddress_, options.port), error);
    if (!error)
        acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
    if (error)
        ThrowBindError(error, type, bindAddress_, options.port);
    const auto bound = acceptor_.local_endpoint();
    local_ = Tuple{bound.address(), bound.port(), type};
}

StreamTransport::~StreamTransport() {
    for (auto& [id, connection] : connections_)
        connection->Close();
}

void StreamTransport::Start() {
    Accept();
    ScheduleReap();
}

void StreamTransport::Accept() {
    acceptor_.async_accept([self = shared_from_this()](const boost::system::error_code& error, tcp::socket socket) {
        self->OnAccept(error, std::move(socket));
    });
}

void StreamTransport::OnAccept(const boost::system::error_code& error, tcp::socket socket) {
    if (closed_)
        return;
    if (error) {
        // Out of descriptors and the like: try again shortly instead of spinning.
        acceptRetry_.expires_after(std::chrono::milliseconds(100));
        acceptRetry_.async_wait([self = shared_from_this()](const boost::system::error_code& waitError) {
            if (!waitError && !self->closed_)
                self->Accept();
        });
        return;
    }
    boost::system::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) { // gone already
        boost::system::error_code ignored;
        socket.close(ignored);
    } else if (!MayAccept(peer.address())) {
        ++statistics_.connectionsRejected;
        boost::system::error_code ignored;
        socket.close(ignored);
    } else {
        auto connection = MakeConnection(std::move(socket), false, {});
        connections_.emplace(connection->Id(), connection);
        ++accepted_;
        ++acceptedFrom_[peer.address()];
        connection->StartAccepted(peer);
        if (!connection->IsClosed())
            byPeer_[{peer.address(), peer.port()}] = connection->Id();
    }
    Accept();
}

bool StreamTransport::MayAccept(const boost::asio::ip::address& from) const {
    const auto& limits = options_.limits;
    if (connections_.size() >= limits.maxConnections)
        return false;
    // A reserve of more than half the table would starve the peers we serve instead.
    const std::size_t reserved = std::min(limits.reservedOutgoingConnections, limits.maxConnections / 2);
    if (accepted_ >= limits.maxConnections - reserved)
        return false;
    const auto found = acceptedFrom_.find(from);
    return found == acceptedFrom_.end() || found->second < limits.maxAcceptedPerAddress;
}

void StreamTransport::ScheduleReap() {
    const auto shortest =
        std::min({options_.limits.idleTimeout, options_.limits.handshakeTimeout, options_.limits.messageTimeout});
    const auto tick = std::clamp<std::chrono::milliseconds>(shortest / 4, std::chrono::milliseconds(10),
                                                            std::chrono::milliseconds(1000));
    reaper_.expires_after(tick);
    reaper_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (error || self->closed_)
            return;
        self->Reap();
        self->ScheduleReap();
    });
}

void StreamTransport::Reap() {
    const auto now = Connection::Clock::now();
    const auto& limits = options_.limits;
    // Handshakes and half-received messages run out as rule-breaking (counted as rejected); an
    // open connection without a message under way runs out as idle.
    std::vector<std::pair<std::shared_ptr<Connection>, bool>> expired;
    for (const auto& [id, connection] : connections_) {
        if (connection->GetState() != Connection::State::Open) {
            if (now - connection->Created() >= limits.handshakeTimeout)
                expired.emplace_back(connection, true);
        } else if (const auto started = connection->MessageStarted()) {
            if (now - *started >= limits.messageTimeout)
                expired.emplace_back(connection, true);
        } else if (now - connection->LastActivity() >= limits.idleTimeout) {
            expired.emplace_back(connection, false);
        }
    }
    // Messages still queued (a peer that stopped reading) are reported back as failed.
    for (const auto& [connection, rejected] : expired)
        connection->Fail(std::make_error_code(std::errc::timed_out), rejected);
}

void StreamTransport::Send(const Tuple& destination, std::string message, SendOptions options) {
    boost::asio::dispatch(io_, [self = shared_from_this(), destination, message = std::move(message),
                                options = std::move(options)]() mutable {
        self->DoSend(destination, std::move(message), options);
    });
}

void StreamTransport::ReportSendFailure(const Tuple& destination, const std::error_code& error) {
    ++statistics_.messagesDropped;
    if (!closed_)
        options_.receiver->OnSendFailed(destination, error);
}

std::shared_ptr<Connection> StreamTransport::FindConnection(const Tuple& destination, const SendOptions& options) {
    auto usable = [&](const std::shared_ptr<Connection>& connection) {
        if (connection->IsClosed())
            return false;
        if (!IsSecure(Type()))
            return true;
        // A connection we opened was verified for one server name; another name needs its own.
        if (connection->IsOutgoing())
            return connection->ServerName() == options.serverName;
        // One the peer opened serves a request of ours only when the peer's certificate was
        // verified for the name we would check on a new connection (RFC 5923 section 5).
        return connection->PeerVerifiedFor(options.serverName.empty() ? destination.address.to_string()
                                                                      : options.serverName);
    };
    if (destination.connectionId != 0) {
        const auto found = connections_.find(destination.connectionId);
        if (found != connections_.end() && !found->second->IsClosed())
            return found->second;
    }
    const auto peer = byPeer_.find({destination.address, destination.port});
    if (peer != byPeer_.end()) {
        const auto found = connections_.find(peer->second);
        if (found != connections_.end() && usable(found->second))
            return found->second;
    }
    return nullptr;
}

void StreamTransport::DoSend(const Tuple& destination, std::string message, const SendOptions& options) {
    if (closed_)
        return ReportSendFailure(destination, std::make_error_code(std::errc::operation_canceled));
    if (message.size() > options_.limits.maxMessageBytes)
        return ReportSendFailure(destination, std::make_error_code(std::errc::message_size));
    if (!SameVersion(destination.address, Version()))
        return ReportSendFailure(destination, std::make_error_code(std::errc::address_family_not_supported));

    auto connection = FindConnection(destination, options);
    if (options.connectionOnly && destination.connectionId != 0 &&
        (!connection || connection->Id() != destination.connectionId))
        return ReportSendFailure(destination, std::make_error_code(std::errc::not_connected));
    if (!connection) {
        if (connections_.size() >= options_.limits.maxConnections)
            return ReportSendFailure(destination, std::make_error_code(std::errc::too_many_files_open));
        tcp::socket socket(io_);
        boost::system::error_code error;
        socket.open(bindAddress_.is_v6() ? tcp::v6() : tcp::v4(), error);
        // Leave from the address we listen on, so the peer sees one address for us.
        if (!error && !bindAddress_.is_unspecified())
            socket.bind(tcp::endpoint(bindAddress_, 0), error);
        if (error)
            return ReportSendFailure(destination, error);
        connection = MakeConnection(std::move(socket), true, options.serverName);
        connections_.emplace(connection->Id(), connection);
        byPeer_[{destination.address, destination.port}] = connection->Id();
        connection->StartOutgoing(tcp::endpoint(destination.address, destination.port));
    }
    if (!connection->Send(OutboundMessage{std::move(message), options.retransmission, false, false}))
        ReportSendFailure(destination, std::make_error_code(std::errc::no_buffer_space));
}

void StreamTransport::SendKeepAliveOnFlow(const Tuple& flow, std::string bytes) {
    boost::asio::dispatch(io_, [self = shared_from_this(), flow, bytes = std::move(bytes)]() mutable {
        self->DoSendKeepAlive(flow, std::move(bytes));
    });
}

void StreamTransport::DoSendKeepAlive(const Tuple& flow, std::string bytes) {
    if (closed_)
        return;
    // A flow with an id is that connection only: a newer connection to the same peer is another
    // flow, whose pong must not keep this one alive.
    auto found = connections_.end();
    if (flow.connectionId != 0) {
        found = connections_.find(flow.connectionId);
    } else if (const auto peer = byPeer_.find({flow.address, flow.port}); peer != byPeer_.end()) {
        found = connections_.find(peer->second);
    }
    if (found != connections_.end())
        found->second->SendPing(std::move(bytes)); // refused when over the pending-bytes limit
}

void StreamTransport::Forget(Connection& connection) {
    if (!connection.IsOutgoing()) {
        --accepted_;
        if (const auto from = acceptedFrom_.find(connection.Peer().address);
            from != acceptedFrom_.end() && --from->second == 0)
            acceptedFrom_.erase(from);
    }
    const auto peer = byPeer_.find({connection.Peer().address, connection.Peer().port});
    if (peer != byPeer_.end() && peer->second == connection.Id())
        byPeer_.erase(peer);
    connections_.erase(connection.Id());
}

void StreamTransport::Close() {
    boost::asio::dispatch(io_, [self = shared_from_this()] { self->DoClose(); });
}

void StreamTransport::DoClose() {
    if (closed_)
        return;
    closed_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    reaper_.cancel();
    acceptRetry_.cancel();
    auto connections = std::move(connections_);
    connections_.clear();
    byPeer_.clear();
    acceptedFrom_.clear();
    accepted_ = 0;
    for (auto& [id, connection] : connections)
        connection->Close();
}

void StreamTransport::OnConnectionMessage(Connection& connection, std::string_view message) {
    if (closed_)
        return;
    ++statistics_.messagesReceived;
    if (options_.messageLogger)
        options_.messageLogger->inboundMessage(connection.Peer(), connection.Local(), message);
    options_.receiver->OnMessage(connection.Peer(), connection.Local(), message);
}

void StreamTransport::OnConnectionPong(Connection& connection) {
    if (!closed_)
        options_.receiver->OnKeepAlivePong(connection.Peer());
}

void StreamTransport::OnConnectionWriting(Connection& connection, const OutboundMessage& message) {
    if (message.keepAlive)
        return;
    ++statistics_.messagesSent;
    if (!options_.messageLogger)
        return;
    if (message.retransmission)
        options_.messageLogger->outboundRetransmit(connection.Local(), connection.Peer(), message.bytes);
    else
        options_.messageLogger->outboundMessage(connection.Local(), connection.Peer(), message.bytes);
}

void StreamTransport::OnConnectionClosed(Connection& connection, const std::error_code& reason, bool rejected,
                                         std::deque<OutboundMessage> unsent) {
    if (rejected)
        ++statistics_.connectionsRejected;
    Forget(connection);
    if (!closed_)
        options_.receiver->OnConnectionClosed(connection.Peer());
    Tuple peer = connection.Peer();
    peer.connectionId = 0;
    for (std::size_t i = 0; i < unsent.size(); ++i)
        ReportSendFailure(peer, reason);
}

} // namespace zel::sip::stack::detail

#pragma once

#include "stack/transport/Transport.h"
#include "stack/transport/detail/Connection.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

namespace zel::sip::stack::detail {

/// What TCP, TLS, WS and WSS share: the listening socket, the table of connections (reused per
/// peer address and port, RFC 3261 section 18), their limits (in all, per source address, and the
/// slots kept for connections we open), and the timer that closes idle connections, those stuck in
/// their handshake and those whose message stalls half-received. Subclasses make the connections.
class StreamTransport : public Transport, public ConnectionOwner, public std::enable_shared_from_this<StreamTransport> {
public:
    /// Binds and listens; raises as the factories document.
    StreamTransport(boost::asio::io_context& io, TransportType type, const TransportOptions& options);
    ~StreamTransport() override;

    /// Starts accepting and the reaper; called once by the factory after construction.
    void Start();

    TransportType Type() const noexcept override { return local_.transport; }
    const Tuple& LocalTuple() const noexcept override { return local_; }
    TransportStatistics Statistics() const override { return statistics_; }
    void Send(const Tuple& destination, std::string message, SendOptions options) override;
    void Close() override;

protected:
    /// A connection over `socket` (connected when accepted, opened and maybe bound when outgoing).
    virtual std::shared_ptr<Connection> MakeConnection(boost::asio::ip::tcp::socket socket, bool outgoing,
                                                       const std::string& serverName) = 0;

    const TransportLimits& Limits() const noexcept { return options_.limits; }

    /// Queues keep-alive `bytes` on the connection of `flow`: the one named by its connection id,
    /// or, when the id is 0, the newest one to its address and port. Never opens a connection and
    /// reports nothing when there is none (RFC 5626 section 4.4.1: the missing pong fails the
    /// flow); not logged, not counted. For the transports that offer `KeepAliveSender` (TCP, TLS).
    /// Callable from any thread.
    void SendKeepAliveOnFlow(const Tuple& flow, std::string bytes);

private:
    using PeerKey = std::pair<boost::asio::ip::address, std::uint16_t>;

    void Accept();
    /// Whether a connection from `from` fits the limits on accepted connections.
    bool MayAccept(const boost::asio::ip::address& from) const;
    void OnAccept(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    void ScheduleReap();
    void Reap();
    void DoSend(const Tuple& destination, std::string message, const SendOptions& options);
    std::shared_ptr<Connection> FindConnection(const Tuple& destination, const SendOptions& options);
    void DoSendKeepAlive(const Tuple& flow, std::string bytes);
    void Forget(Connection& connection);
    void DoClose();
    void ReportSendFailure(const Tuple& destination, const std::error_code& error);

    void OnConnectionMessage(Connection& connection, std::string_view message) override;
    void OnConnectionPong(Connection& connection) override;
    void OnConnectionWriting(Connection& connection, const OutboundMessage& message) override;
    void OnConnectionClosed(Connection& connection, const std::error_code& reason, bool rejected,
                            std::deque<OutboundMessage> unsent) override;

    boost::asio::io_context& io_;
    TransportOptions options_;
    boost::asio::ip::address bindAddress_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer reaper_;
    boost::asio::steady_timer acceptRetry_;
    Tuple local_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    /// The newest connection per peer address and port.
    std::map<PeerKey, std::uint64_t> byPeer_;
    /// Accepted connections open, in all and per source address.
    std::size_t accepted_ = 0;
    std::map<boost::asio::ip::address, std::size_t> acceptedFrom_;
    bool closed_ = false;
    TransportStatistics statistics_;
};

} // namespace zel::sip::stack::detail

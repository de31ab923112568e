#pragma once

#include "stack/transport/TransportOptions.h"
#include "stack/transport/Tuple.h"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace zel::sip::stack::detail {

class Connection;

/// One message waiting to be written on a connection.
struct OutboundMessage {
    std::string bytes;
    bool retransmission = false;
    /// A CRLF pong or ping: not a SIP message, not logged.
    bool keepAlive = false;
    /// Our CRLF answer to the peer's ping.
    bool pong = false;
};

/// What a queued entry costs beyond its bytes (the entry, its list node, the allocation), counted
/// against `TransportLimits::maxPendingOutboundBytes`.
inline constexpr std::size_t kQueueEntryOverhead = 64;

/// The stream transport that owns connections; all calls on the io_context's thread.
class ConnectionOwner {
public:
    /// One complete SIP message arrived.
    virtual void OnConnectionMessage(Connection& connection, std::string_view message) = 0;
    /// A CRLF pong arrived.
    virtual void OnConnectionPong(Connection& connection) = 0;
    /// A message is about to be written (the moment it is logged).
    virtual void OnConnectionWriting(Connection& connection, const OutboundMessage& message) = 0;
    /// The connection ended by itself (peer, error, limit): `rejected` when the peer broke a rule or
    /// a handshake failed. `unsent` holds the messages that never left.
    virtual void OnConnectionClosed(Connection& connection, const std::error_code& reason, bool rejected,
                                    std::deque<OutboundMessage> unsent) = 0;

protected:
    ~ConnectionOwner() = default;
};

/// One stream connection (TCP, TLS, WS, WSS): connect, handshake, a bounded write queue and the
/// read loop. Subclasses supply the stream-specific steps. Lives in shared ownership; every pending
/// operation holds a share. Everything runs on the io_context's thread.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Clock = std::chrono::steady_clock;
    enum class State { Connecting, Handshaking, Open, Closed };

    Connection(ConnectionOwner& owner, TransportType type, const TransportLimits& limits, bool outgoing,
               std::string serverName);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    virtual ~Connection() = default;

    /// Starts the server-side handshake and then reading; the socket is already connected to `peer`.
    void StartAccepted(const boost::asio::ip::tcp::endpoint& peer);
    /// Connects to `peer`, runs the client-side handshake, then reads and writes what was queued.
    void StartOutgoing(const boost::asio::ip::tcp::endpoint& peer);

    /// Queues a message; false (nothing queued) when closed or over the pending-bytes limit.
    bool Send(OutboundMessage message);

    /// Queues our CRLFCRLF keep-alive ping (RFC 5626 section 4.4.1): not a SIP message, so never
    /// logged, counted or reported as unsent, but bounded by the pending-bytes limit like one. The
    /// ping and the pong that answers it keep the connection from going idle. False (nothing
    /// queued) when closed or over that limit.
    bool SendPing(std::string bytes);

    /// Closes without telling the owner; pending handlers find the connection closed.
    void Close();

    /// Ends the connection and tells the owner, with the queued messages (unless closed already).
    /// The caller holds a share of the connection.
    void Fail(const std::error_code& reason, bool rejected);

    std::uint64_t Id() const noexcept { return id_; }
    const Tuple& Peer() const noexcept { return peer_; }
    const Tuple& Local() const noexcept { return local_; }
    State GetState() const noexcept { return state_; }
    bool IsClosed() const noexcept { return state_ == State::Closed; }
    bool IsOutgoing() const noexcept { return outgoing_; }
    const std::string& ServerName() const noexcept { return serverName_; }
    Clock::time_point LastActivity() const noexcept { return lastActivity_; }
    Clock::time_point Created() const noexcept { return created_; }
    /// When the message now arriving began, while one is partly received.
    std::optional<Clock::time_point> MessageStarted() const noexcept { return messageStarted_; }
    /// Bytes queued for writing, each entry with its overhead.
    std::size_t QueuedBytes() const noexcept { return queuedBytes_; }

    /// True when the peer proved with a verified certificate that it is `name` (a host name or an
    /// IP address literal, RFC 5922 section 7.1). Only secure connections can; the rest answer false.
    virtual bool PeerVerifiedFor(const std::string& /*name*/) const { return false; }

protected:
    using Completion = std::function<void(const boost::system::error_code&)>;

    /// The TCP socket under every layer.
    virtual boost::asio::ip::tcp::socket& Socket() = 0;
    /// The TLS and/or WebSocket handshake; plain TCP completes at once.
    virtual void Handshake(Completion done) = 0;
    /// Starts the read loop; it reports through `Deliver`, `DeliverPong`, `SendPong` and `Fail`.
    virtual void Read() = 0;
    /// Writes one whole message.
    virtual void Write(std::string_view bytes, Completion done) = 0;

    /// Passes one received message up; false when the connection was closed meanwhile.
    bool Deliver(std::string_view message);
    /// A CRLF pong arrived: activity only when it answers a ping of ours.
    void DeliverPong();
    /// Answers the peer's CRLFCRLF ping with CRLF. At most one pong waits at a time: a peer that
    /// pings without reading gets no more, and its pings are not activity.
    void SendPong();
    /// Whether the bytes buffered after the last complete message begin another one; the first
    /// such moment starts the message deadline, a complete message or an empty buffer ends it.
    void NoteMessageProgress(bool partial) noexcept {
        if (!partial)
            messageStarted_.reset();
        else if (!messageStarted_)
            messageStarted_ = Clock::now();
    }
    void Touch() noexcept { lastActivity_ = Clock::now(); }

    const TransportLimits limits_;

private:
    void OnHandshake(const boost::system::error_code& error);
    void WriteNext();
    void SetTuples();

    ConnectionOwner* owner_;
    const std::uint64_t id_;
    const TransportType type_;
    const bool outgoing_;
    const std::string serverName_;
    State state_;
    Tuple peer_;
    Tuple local_;
    /// A list: an idle connection holds no storage for it (a deque keeps a map and a 512-byte block
    /// even when empty).
    std::list<OutboundMessage> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool pongPending_ = false;
    bool pingOutstanding_ = false;
    Clock::time_point created_;
    Clock::time_point lastActivity_;
    std::optional<Clock::time_point> messageStarted_;
};

} // namespace zel::sip::stack::detail

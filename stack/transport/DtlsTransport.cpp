// DTLS transport (RFC 6347, DTLS 1.2) on one UDP socket. Each peer address and port has its own
// DTLS association (detail::DtlsSession) over memory BIOs; this file moves datagrams between the
// socket and the sessions and keeps their timers and limits.
//
//   unknown peer, datagram in --> stateless DTLSv1_listen: HelloVerifyRequest with an HMAC cookie
//                                 (nothing kept) ... ClientHello with the cookie --> new server peer
//   Send to unknown peer       --> new client peer, ClientHello; messages queue until Open
//   peer Handshaking --handshake done--> Open --close_notify / idle / error--> removed
//   peer Handshaking --verification failure, timeout, too many retransmissions--> removed,
//                      queued messages reported to OnSendFailed
//
// A peer is shared: every frame that works on one holds a reference, because the receiver it calls
// (OnMessage, OnSendFailed) may send to the same peer, fail it or close the transport, and the
// frame then finds the peer marked removed instead of freed.

#include "stack/transport/TlsContext.h"
#include "stack/transport/TransportReceiver.h"
#include "stack/transport/Transports.h"
#include "stack/transport/detail/DtlsCookie.h"
#include "stack/transport/detail/DtlsSession.h"
#include "stack/transport/detail/Endpoints.h"
#include "stack/transport/detail/TlsVerification.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <deque>
#include <map>
#include <stdexcept>
#include <vector>

namespace zel::sip::stack {

namespace {

using boost::asio::ip::udp;
using Clock = std::chrono::steady_clock;

/// The largest plaintext of one DTLS record, hence of one SIP message over DTLS.
constexpr std::size_t kMaxRecordPlaintext = 16 * 1024;
/// Largest datagram we read: a whole UDP payload.
constexpr std::size_t kMaxDatagram = 65535;

/// Address bytes and port: what the cookie is computed over.
std::string PeerKey(const udp::endpoint& endpoint) {
    std::string key;
    if (endpoint.address().is_v4()) {
        const auto bytes = endpoint.address().to_v4().to_bytes();
        key.assign(bytes.begin(), bytes.end());
    } else {
        const auto bytes = endpoint.address().to_v6().to_bytes();
        key.assign(bytes.begin(), bytes.end());
    }
    key += static_cast<char>(endpoint.port() >> 8);
    key += static_cast<char>(endpoint.port() & 0xFF);
    return key;
}

bool IsKeepAlive(std::string_view record) { return record.find_first_not_of("\r\n") == std::string_view::npos; }

class DtlsTransport final : public Transport, public std::enable_shared_from_this<DtlsTransport> {
public:
    DtlsTransport(boost::asio::io_context& io, const TransportOptions& options, const SecuritySettings& security,
                  const DtlsLimits& dtlsLimits)
        : socket_(io), reaper_(io), options_(options), dtlsLimits_(dtlsLimits),
          context_(MakeSslContext(security, TlsProtocol::Dtls)), verification_(security.clientVerification),
          cookie_(dtlsLimits.cookieSecretLifetime), receiveBuffer_(kMaxDatagram) {
        if (!options.receiver)
            throw std::invalid_argument("DTLS transport needs a receiver");
        SSL_CTX* native = context_->native_handle();
        detail::DtlsCookie::Install(native);
        const auto address = detail::BindAddress(options, TransportType::DTLS);
        boost::system::error_code error;
        socket_.open(address.is_v6() ? udp::v6() : udp::v4(), error);
        if (!error && address.is_v6())
            socket_.set_option(boost::asio::ip::v6_only(true), error);
        if (!error)
            socket_.bind(udp::endpoint(address, options.port), error);
        if (error)
            detail::ThrowBindError(error, TransportType::DTLS, address, options.port);
        const auto bound = socket_.local_endpoint();
        local_ = Tuple{bound.address(), bound.port(), TransportType::DTLS};
    }

    ~DtlsTransport() override { SSL_free(listener_); }

    void Start() {
        Receive();
        ScheduleReap();
    }

    TransportType Type() const noexcept override { return TransportType::DTLS; }
    const Tuple& LocalTuple() const noexcept override { return local_; }
    TransportStatistics Statistics() const override { return statistics_; }

    void Send(const Tuple& destination, std::string message, SendOptions options) override {
        boost::asio::dispatch(socket_.get_executor(), [self = shared_from_this(), destination,
                                                       message = std::move(message), options = std::move(options)]() mutable {
            self->DoSend(destination, std::move(message), options);
        });
    }

    void Close() override {
        boost::asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->DoClose(); });
    }

private:
    struct Outbound {
        std::string bytes;
        bool retransmission = false;
    };

    struct Peer : std::enable_shared_from_this<Peer> {
        Peer(boost::asio::io_context& io, std::uint64_t id) : serial(id), timer(io) {}
        const std::uint64_t serial;
        udp::endpoint endpoint;
        Tuple tuple;
        bool outgoing = false;
        std::string serverName;
        /// Read by the verification and cookie callbacks; declared before the session, which they outlive.
        std::string expectedName;
        detail::DtlsCookie::Binding cookieBinding;
        std::unique_ptr<detail::DtlsSession> session;
        std::deque<Outbound> queue;
        std::size_t queuedBytes = 0;
        boost::asio::steady_timer timer;
        Clock::time_point created = Clock::now();
        Clock::time_point lastActivity = created;
        /// Set once the peer left the table; frames still holding it stop using it.
        bool removed = false;
    };

    boost::asio::io_context& Io() { return static_cast<boost::asio::io_context&>(socket_.get_executor().context()); }

    std::size_t Handshaking() const {
        return static_cast<std::size_t>(std::count_if(peers_.begin(), peers_.end(), [](const auto& entry) {
            return entry.second->session->GetState() == detail::DtlsSession::State::Handshaking;
        }));
    }

    bool AtPeerLimit() const {
        return peers_.size() >= options_.limits.maxConnections || Handshaking() >= dtlsLimits_.maxHandshakes;
    }

    Peer* Lookup(const udp::endpoint& endpoint, std::uint64_t serial) {
        const auto found = peers_.find(endpoint);
        return found != peers_.end() && found->second->serial == serial ? found->second.get() : nullptr;
    }

    // --- receiving

    void Receive() {
        socket_.async_receive_from(boost::asio::buffer(receiveBuffer_), sender_,
                                   [self = shared_from_this()](const boost::system::error_code& error,
                                                               std::size_t size) { self->OnReceive(error, size); });
    }

    void OnReceive(const boost::system::error_code& error, std::size_t size) {
        if (closed_)
            return;
        if (!error && size > 0) {
            const std::string_view datagram(receiveBuffer_.data(), size);
            const udp::endpoint from = sender_;
            const auto found = peers_.find(from);
            if (found != peers_.end())
                OnPeerDatagram(*found->second, datagram);
            else
                Listen(from, datagram);
        }
        if (!closed_)
            Receive();
    }

    /// A datagram from an address we keep nothing for: only a ClientHello carrying our cookie
    /// makes a peer; one without gets a HelloVerifyRequest; anything else is dropped.
    void Listen(const udp::endpoint& from, std::string_view datagram) {
        (void)cookie_.RotateIfDue(Clock::now()); // without random data the old secrets serve on
        if (!listener_) {
            listener_ = detail::DtlsSession::NewSsl(context_->native_handle(), dtlsLimits_.mtu);
            if (!listener_)
                return;
            SSL_set_accept_state(listener_);
            detail::PrepareServer(listener_, verification_);
        }
        (void)BIO_reset(SSL_get_rbio(listener_));
        (void)BIO_reset(SSL_get_wbio(listener_));
        BIO_write(SSL_get_rbio(listener_), datagram.data(), static_cast<int>(datagram.size()));
        listenerBinding_ = {&cookie_, PeerKey(from)};
        detail::DtlsCookie::Attach(listener_, &listenerBinding_);
        BIO_ADDR* ignored = BIO_ADDR_new();
        const int result = DTLSv1_listen(listener_, ignored);
        BIO_ADDR_free(ignored);
        ERR_clear_error();

        // A HelloVerifyRequest, if one was made: no larger than the ClientHello that asked for it.
        std::vector<std::string> answer;
        if (const auto pending = BIO_ctrl_pending(SSL_get_wbio(listener_)); pending > 0) {
            std::string bytes(pending, '\0');
            const int read = BIO_read(SSL_get_wbio(listener_), bytes.data(), static_cast<int>(bytes.size()));
            if (read > 0 && static_cast<std::size_t>(read) <= datagram.size()) {
                bytes.resize(static_cast<std::size_t>(read));
                answer.push_back(std::move(bytes));
            }
        }
        if (result <= 0) {
            if (result < 0) {
                SSL_free(listener_); // a fatal error leaves it unusable
                listener_ = nullptr;
            }
            if (result == 0 && !answer.empty())
                SendDatagrams(from, std::move(answer));
            return;
        }
        SSL* ssl = std::exchange(listener_, nullptr);
        if (AtPeerLimit()) {
            ++statistics_.connectionsRejected;
            SSL_free(ssl);
            return;
        }
        auto& peer = AddPeer(from, false, {});
        // The rest of the handshake checks the cookie of the ClientHello again.
        peer.cookieBinding = listenerBinding_;
        detail::DtlsCookie::Attach(ssl, &peer.cookieBinding);
        peer.session = std::make_unique<detail::DtlsSession>(ssl);
        peer.session->Continue();
        AfterProgress(peer, {});
    }

    void OnPeerDatagram(Peer& peer, std::string_view datagram) {
        std::vector<std::string> records;
        peer.session->Receive(datagram, records);
        // Only a SIP message that decrypted is the peer's activity: anyone can send datagrams from
        // its address, and a keep-alive alone does not keep a peer (as on streams).
        if (std::any_of(records.begin(), records.end(), [](const std::string& record) { return !IsKeepAlive(record); }))
            peer.lastActivity = Clock::now();
        AfterProgress(peer, std::move(records));
    }

    /// After the session moved: send what it wrote, release queued messages once open, deliver
    /// records, re-arm the retransmission timer, and remove the peer when the session closed.
    void AfterProgress(Peer& peer, std::vector<std::string> records) {
        const auto hold = peer.shared_from_this();
        Flush(peer);
        if (peer.session->GetState() == detail::DtlsSession::State::Open && !peer.queue.empty())
            WriteQueued(peer);
        if (closed_ || peer.removed)
            return;
        for (const auto& record : records) {
            if (record.size() > options_.limits.maxMessageBytes) {
                ++statistics_.messagesDropped;
                continue;
            }
            if (IsKeepAlive(record))
                continue;
            ++statistics_.messagesReceived;
            const Tuple source = peer.tuple;
            if (options_.messageLogger)
                options_.messageLogger->inboundMessage(source, local_, record);
            options_.receiver->OnMessage(source, local_, record);
            // The receiver may have sent (and so failed this peer) or closed the transport.
            if (closed_ || peer.removed)
                return;
        }
        if (peer.session->GetState() == detail::DtlsSession::State::Closed)
            return RemovePeer(peer, peer.session->Error(), peer.session->Error() != std::errc::connection_reset);
        ArmTimer(peer);
    }

    // --- sending

    void DoSend(const Tuple& destination, std::string message, const SendOptions& options) {
        if (closed_)
            return ReportSendFailure(destination, std::make_error_code(std::errc::operation_canceled));
        if (message.size() > std::min(options_.limits.maxMessageBytes, kMaxRecordPlaintext))
            return ReportSendFailure(destination, std::make_error_code(std::errc::message_size));
        if (!detail::SameVersion(destination.address, Version()))
            return ReportSendFailure(destination, std::make_error_code(std::errc::address_family_not_supported));

        const udp::endpoint endpoint(destination.address, destination.port);
        auto found = peers_.find(endpoint);
        std::shared_ptr<Peer> peer = found == peers_.end() ? nullptr : found->second;
        // One association per address and port: a session verified for one server name cannot
        // vouch for another. One the peer opened vouches for a name its certificate was verified
        // for (RFC 5923 section 5); without a name it is the way back to that peer (responses go
        // by address and port on DTLS, which has no connection ids).
        if (peer && peer->outgoing && peer->serverName != options.serverName)
            return ReportSendFailure(destination, std::make_error_code(std::errc::address_in_use));
        if (peer && !peer->outgoing && !options.serverName.empty() &&
            !detail::PeerVerifiedFor(peer->session->Native(), options.serverName))
            return ReportSendFailure(destination, std::make_error_code(std::errc::address_in_use));
        if (!peer) {
            if (AtPeerLimit())
                return ReportSendFailure(destination, std::make_error_code(std::errc::too_many_files_open));
            SSL* ssl = detail::DtlsSession::NewSsl(context_->native_handle(), dtlsLimits_.mtu);
            if (!ssl)
                return ReportSendFailure(destination, std::make_error_code(std::errc::not_enough_memory));
            peer = AddPeer(endpoint, true, options.serverName).shared_from_this();
            peer->expectedName = options.serverName.empty() ? destination.address.to_string() : options.serverName;
            SSL_set_connect_state(ssl);
            detail::PrepareClient(ssl, peer->expectedName);
            peer->session = std::make_unique<detail::DtlsSession>(ssl);
        }
        if (peer->queuedBytes + message.size() > options_.limits.maxPendingOutboundBytes)
            return ReportSendFailure(destination, std::make_error_code(std::errc::no_buffer_space));
        peer->queuedBytes += message.size();
        peer->queue.push_back(Outbound{std::move(message), options.retransmission});
        if (peer->session->GetState() == detail::DtlsSession::State::Open) {
            WriteQueued(*peer);
            if (!peer->removed && peer->session->GetState() == detail::DtlsSession::State::Closed)
                RemovePeer(*peer, peer->session->Error(), false);
            return;
        }
        if (peer->outgoing && peer->queue.size() == 1) { // the first message starts the handshake
            peer->session->Continue();
            AfterProgress(*peer, {});
        }
    }

    void WriteQueued(Peer& peer) {
        const auto hold = peer.shared_from_this();
        while (!peer.queue.empty() && peer.session->GetState() == detail::DtlsSession::State::Open) {
            Outbound message = std::move(peer.queue.front());
            peer.queue.pop_front();
            peer.queuedBytes -= message.bytes.size();
            if (pendingBytes_ + message.bytes.size() > options_.limits.maxPendingOutboundBytes) {
                ReportSendFailure(peer.tuple, std::make_error_code(std::errc::no_buffer_space));
                if (closed_ || peer.removed)
                    return;
                continue;
            }
            if (!peer.session->Write(message.bytes)) {
                const Tuple tuple = peer.tuple;
                ReportSendFailure(tuple, peer.session->Error());
                if (closed_ || peer.removed)
                    return;
                break;
            }
            ++statistics_.messagesSent;
            if (options_.messageLogger) {
                if (message.retransmission)
                    options_.messageLogger->outboundRetransmit(local_, peer.tuple, message.bytes);
                else
                    options_.messageLogger->outboundMessage(local_, peer.tuple, message.bytes);
            }
            peer.lastActivity = Clock::now();
        }
        Flush(peer);
    }

    void Flush(Peer& peer) { SendDatagrams(peer.endpoint, peer.session->TakeDatagrams(dtlsLimits_.mtu)); }

    void SendDatagrams(const udp::endpoint& to, std::vector<std::string> datagrams) {
        for (auto& datagram : datagrams) {
            // Over the limit a datagram is dropped: handshake flights are retransmitted, and
            // application data was checked against the limit before it was encrypted.
            if (pendingBytes_ + datagram.size() > options_.limits.maxPendingOutboundBytes)
                continue;
            pendingBytes_ += datagram.size();
            auto bytes = std::make_shared<std::string>(std::move(datagram));
            socket_.async_send_to(boost::asio::buffer(*bytes), to,
                                  [self = shared_from_this(), bytes](const boost::system::error_code&, std::size_t) {
                                      self->pendingBytes_ -= bytes->size();
                                  });
        }
    }

    void ReportSendFailure(const Tuple& destination, const std::error_code& error) {
        ++statistics_.messagesDropped;
        if (!closed_)
            options_.receiver->OnSendFailed(destination, error);
    }

    // --- peers, timers and teardown

    Peer& AddPeer(const udp::endpoint& endpoint, bool outgoing, const std::string& serverName) {
        auto peer = std::make_shared<Peer>(Io(), nextSerial_++);
        peer->endpoint = endpoint;
        peer->tuple = Tuple{endpoint.address(), endpoint.port(), TransportType::DTLS};
        peer->outgoing = outgoing;
        peer->serverName = serverName;
        auto& stored = peers_[endpoint];
        stored = std::move(peer);
        return *stored;
    }

    /// Forgets the peer; the messages still queued are reported as failed. The reason is taken by
    /// value: callers pass the peer's own session error, which dies with the peer.
    void RemovePeer(Peer& peer, std::error_code reason, bool rejected) {
        if (rejected)
            ++statistics_.connectionsRejected;
        auto node = peers_.extract(peer.endpoint);
        if (node.empty())
            return;
        auto owned = std::move(node.mapped());
        owned->removed = true;
        owned->timer.cancel();
        Flush(*owned); // a fatal alert or close_notify, if OpenSSL wrote one
        const std::size_t unsent = owned->queue.size();
        const Tuple tuple = owned->tuple;
        owned.reset();
        for (std::size_t i = 0; i < unsent && !closed_; ++i)
            ReportSendFailure(tuple, reason ? reason : std::make_error_code(std::errc::connection_aborted));
    }

    void ArmTimer(Peer& peer) {
        const auto timeout = peer.session->Timeout();
        if (!timeout)
            return;
        peer.timer.expires_after(*timeout);
        peer.timer.async_wait([self = shared_from_this(), endpoint = peer.endpoint,
                               serial = peer.serial](const boost::system::error_code& error) {
            if (error || self->closed_)
                return;
            Peer* current = self->Lookup(endpoint, serial);
            if (!current)
                return;
            current->session->HandleTimeout();
            self->AfterProgress(*current, {});
        });
    }

    void ScheduleReap() {
        const auto shortest = std::min(options_.limits.idleTimeout, options_.limits.handshakeTimeout);
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

    void Reap() {
        const auto now = Clock::now();
        std::vector<std::pair<udp::endpoint, std::uint64_t>> expired;
        for (const auto& [endpoint, peer] : peers_) {
            const bool open = peer->session->GetState() == detail::DtlsSession::State::Open;
            if (open ? now - peer->lastActivity >= options_.limits.idleTimeout
                     : now - peer->created >= options_.limits.handshakeTimeout)
                expired.emplace_back(endpoint, peer->serial);
        }
        for (const auto& [endpoint, serial] : expired) {
            Peer* peer = Lookup(endpoint, serial);
            if (!peer)
                continue;
            const bool open = peer->session->GetState() == detail::DtlsSession::State::Open;
            if (open)
                peer->session->Shutdown();
            RemovePeer(*peer, std::make_error_code(std::errc::timed_out), !open);
        }
    }

    void DoClose() {
        if (closed_)
            return;
        closed_ = true;
        reaper_.cancel();
        boost::system::error_code ignored;
        for (auto& [endpoint, peer] : peers_) {
            peer->removed = true;
            peer->timer.cancel();
            peer->session->Shutdown();
            // close_notify leaves at once: the socket closes right after.
            for (const auto& datagram : peer->session->TakeDatagrams(dtlsLimits_.mtu))
                socket_.send_to(boost::asio::buffer(datagram), endpoint, 0, ignored);
        }
        peers_.clear();
        socket_.close(ignored);
    }

    udp::socket socket_;
    boost::asio::steady_timer reaper_;
    TransportOptions options_;
    DtlsLimits dtlsLimits_;
    std::shared_ptr<boost::asio::ssl::context> context_;
    ClientVerificationMode verification_;
    detail::DtlsCookie cookie_;
    /// The stateless listener's SSL object, reused until a ClientHello passes the cookie check.
    SSL* listener_ = nullptr;
    detail::DtlsCookie::Binding listenerBinding_;
    Tuple local_;
    std::vector<char> receiveBuffer_;
    udp::endpoint sender_;
    std::map<udp::endpoint, std::shared_ptr<Peer>> peers_;
    std::uint64_t nextSerial_ = 1;
    std::size_t pendingBytes_ = 0;
    bool closed_ = false;
    TransportStatistics statistics_;
};

} // namespace

std::shared_ptr<Transport> MakeDtlsTransport(boost::asio::io_context& io, const TransportOptions& options,
                                             const SecuritySettings& security, const DtlsLimits& dtlsLimits) {
    auto transport = std::make_shared<DtlsTransport>(io, options, security, dtlsLimits);
    transport->Start();
    return transport;
}

} // namespace zel::sip::stack

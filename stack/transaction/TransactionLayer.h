#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <list>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "stack/dns/Destination.h"
#include "stack/dns/ServerLocator.h"
#include "stack/dns/Target.h"
#include "stack/transaction/ClientInviteTransaction.h"
#include "stack/transaction/ClientNonInviteTransaction.h"
#include "stack/transaction/CongestionManager.h"
#include "stack/transaction/ServerInviteTransaction.h"
#include "stack/transaction/ServerNonInviteTransaction.h"
#include "stack/transaction/RequestRouting.h"
#include "stack/transaction/TransactionLayerOptions.h"
#include "stack/transaction/TransactionUserQueue.h"
#include "stack/transport/KeepAliveManager.h"
#include "stack/transport/Transport.h"
#include "stack/transport/TransportReceiver.h"

namespace zel::sip::stack {

/// The I/O driver of the transaction cores (RFC 3261 section 17): it receives from the transports,
/// parses and matches messages to transactions, runs the cores' timers on Asio steady timers, sends
/// what they ask for, and queues what they tell the transaction user.
///
/// Matching: requests go to server transactions (RFC 3261 section 17.2.3), responses to client
/// transactions (section 17.1.3). An ACK that matches no INVITE server transaction (the ACK of a
/// 2xx) and a response that matches no client transaction go straight to the transaction user. A
/// CANCEL is answered here (RFC 3261 section 9.2): 481 when it matches no INVITE server
/// transaction, else 200, and then passed on naming the INVITE it cancels.
///
/// Client requests go to a Tuple, or to a Destination located with the ServerLocator; on a
/// transport error, a timeout or a 503 the request moves to the next target with a new branch
/// (RFC 3263 section 4.3), and only the outcome at the last target reaches the transaction user.
///
/// Peers: a datagram that does not parse is answered 400 when it is a request with the headers a
/// response needs, else dropped; nothing a peer sends raises out of OnMessage. New requests outside
/// dialogs are answered 503 with Retry-After when the congestion manager says so, and any new
/// request is answered 503 when the server table or the queue is full.
///
/// Thread rules: everything runs on the io_context's thread (the stack event thread), or before it
/// runs; no locks. Only AllocateId is thread-safe. The io_context, queue, congestion manager,
/// clock and locator must outlive the layer; destroy the layer on the io_context's thread or when
/// it no longer runs.
class TransactionLayer final : public TransportReceiver, private KeepAliveHandler {
public:
    /// `locator` may be null: requests to a Destination then fail with a TransportError event.
    /// Raises std::invalid_argument for bad options.
    TransactionLayer(boost::asio::io_context& io, TransactionLayerOptions options, TransactionUserQueue& queue,
                     const CongestionManager& congestion, const TransactionClock& clock, ServerLocator* locator);
    ~TransactionLayer() override;

    TransactionLayer(const TransactionLayer&) = delete;
    TransactionLayer& operator=(const TransactionLayer&) = delete;

    /// A new id for SendRequest. Thread-safe.
    TransactionId AllocateId() noexcept { return nextId_.fetch_add(1, std::memory_order_relaxed); }

    /// Sends on `transport` from now on; its receiver must be this layer. Requests leave on the
    /// first transport of the target's type and IP version.
    void AddTransport(std::shared_ptr<Transport> transport);

    /// Where a request of the transaction user goes: one fixed tuple (a connection id in it picks
    /// that connection when open, else any to the address), the targets RFC 3263 server location
    /// gives for a destination (with failover), one flow (the transport bound to `local`; a stream
    /// flow is that connection only), or the tuple an earlier transaction ended up using.
    using RequestTarget = std::variant<Tuple, Destination, Flow, SameTargetAs>;

    /// Starts a client transaction for `request` (any method but ACK, which goes to SendAck)
    /// towards `target`. The layer puts its own Via on top (transport, sent-by, a new branch,
    /// rport) and adds Max-Forwards: 70 when there is none. Everything that follows reaches the
    /// queue under `id`; failures too (TransportError with the reason), never as an exception.
    /// The events carry the flow the request really left on; the tuple it ended up using is
    /// remembered for SendRequestLike-style routing (SameTargetAs) until ForgetTarget(id) or until
    /// `TransactionLayerOptions::rememberedTargets` newer ones push it out.
    void SendRequest(TransactionId id, SipMessage request, const RequestTarget& target,
                     RequestOptions options = {});

    /// Forgets the tuple that the client transaction `id` used. Unknown ids are ignored.
    void ForgetTarget(TransactionId id);

    /// Sends the ACK of a 2xx without a transaction (RFC 3261 section 17.1.1.3): our Via with one
    /// branch is put on top and the ACK is encoded once; the bytes and the tuple are kept under
    /// `id` for RetransmitAck until ForgetAck(id) or 64*T1. A failure to send (no target, no
    /// transport, refused by the transport) is queued as TransportError under `id`.
    void SendAck(TransactionId id, SipMessage ack, const RequestTarget& target, RequestOptions options = {});
    /// Sends the kept bytes of ACK `id` again to the same tuple; unknown ids are ignored.
    void RetransmitAck(TransactionId id);
    void ForgetAck(TransactionId id);

    /// Cancels the INVITE client request `invite` (RFC 3261 section 9.1): a CANCEL with the INVITE's
    /// Request-URI, top Via (same branch), Route, From, To, Call-ID and CSeq number goes in a new
    /// non-INVITE client transaction `id` to the INVITE's current target, once the INVITE has had a
    /// provisional response (it waits for one). When there is nothing to cancel (the INVITE has
    /// its final response, has ended, or is unknown) `id` gets a TransportError with
    /// std::errc::operation_not_permitted, then Terminated. With a `model` (a CANCEL the user
    /// has edited), the CANCEL keeps the model's other headers and body; the fields above always
    /// come from the INVITE, and Max-Forwards is 70 unless the model has one.
    void SendCancel(TransactionId id, TransactionId invite, std::optional<SipMessage> model = std::nullopt);

    /// Sends `response` through the server transaction `id` (which then retransmits and absorbs as
    /// RFC 3261 section 17.2 says). A response for an unknown id (the transaction has ended) or one
    /// the transaction's state does not allow is queued back as ResponseRefused.
    void SendResponse(TransactionId id, SipMessage response);

    /// Keeps `flow` alive through the transport bound to `flow.local` (see KeepAliveManager); when
    /// it fails a FlowFailed message is queued. Raises std::invalid_argument for a non-positive
    /// interval or an unsupported transport; a flow without a transport is queued as FlowFailed.
    void StartKeepAlive(const Flow& flow, std::chrono::milliseconds interval);
    void StopKeepAlive(const Flow& flow);

    /// Stops: closes the transports, cancels timers and look-ups and forgets every transaction.
    /// Received messages and calls are ignored afterwards. Idempotent.
    void Shutdown();

    std::size_t ServerTransactionCount() const noexcept { return servers_.size(); }
    std::size_t ClientTransactionCount() const noexcept { return clients_.size(); }

    // TransportReceiver
    void OnMessage(const Tuple& source, const Tuple& local, std::string_view message) override;
    void OnSendFailed(const Tuple& destination, const std::error_code& error) override;
    void OnKeepAlivePong(const Tuple& source) override;
    void OnStunResponse(const Tuple& source, const Tuple& local, std::string_view message) override;
    void OnConnectionClosed(const Tuple& flow) override;

    // KeepAliveHandler
    void OnFlowFailed(const Tuple& flow, FlowFailure reason) override;

private:
    using Core = std::variant<std::monostate, ClientInviteTransaction, ClientNonInviteTransaction,
                              ServerInviteTransaction, ServerNonInviteTransaction>;
    static constexpr std::size_t kTimerCount = static_cast<std::size_t>(TransactionTimer::Trying) + 1;

    /// One transaction: its core, where its messages go and its timers.
    struct Entry {
        TransactionId id = 0;
        bool server = false;
        TransactionKey key;
        /// Where the messages go: server: the request's source; client: the target, with the
        /// connection id the responses came over once one has.
        Tuple destination;
        std::string serverName;
        /// Our end: server: where the request came in; client: the transport's tuple (with the
        /// source address used when bound to all interfaces).
        Tuple local;
        bool connectionOnly = false; // a client request on a stream flow: that connection only
        std::string sentBy;          // client: the sent-by of our Via, as written (host:port)
        bool detached = false;       // client: superseded by a failover; tells the TU nothing more
        bool deliverRequest = true;
        TransactionId cancelled = 0; // server CANCEL: the INVITE it cancels
        std::error_code lastError;   // the transport's, for the next TransportError
        TransactionId pendingCancel = 0; // client INVITE: a CANCEL waiting for a provisional response
        Core core;
        std::array<std::unique_ptr<boost::asio::steady_timer>, kTimerCount> timers;
    };

    /// One request of the TU across its targets.
    struct ClientRequest {
        SipMessage request; // as the TU gave it, without our Via
        TargetList targets;
        std::optional<ServerLocator::RequestId> lookup;
        bool located = false; // targets from server location (failover applies)
        RequestOptions options;
        std::optional<Tuple> local; // a flow's local end: the transport bound there
        bool connectionOnly = false;
        bool ack = false; // the ACK of a 2xx: sent once and kept, no transaction
    };

    /// Where a client transaction ended up: for SameTargetAs.
    struct Remembered {
        Target target;
        std::optional<Tuple> local;
        bool connectionOnly = false;
        std::list<TransactionId>::iterator age;
    };

    /// An ACK of a 2xx, kept for retransmission.
    struct KeptAck {
        std::string bytes;
        Target target;
        std::optional<Tuple> local;
        bool connectionOnly = false;
        std::unique_ptr<boost::asio::steady_timer> expiry;
        std::list<TransactionId>::iterator age;
    };

    using Table = std::unordered_map<TransactionKey, std::unique_ptr<Entry>, TransactionKeyHash>;

    /// The message being handed to a transport right now. Transports run `Send` inline on the
    /// loop thread, so a failure they report during it (too large, send queue full, no
    /// connection possible) is about this one message: it fails only its own transaction, or the
    /// ACK it was, never the other transactions towards the same peer.
    struct CurrentSend {
        bool active = false;
        bool hasEntry = false; // a transaction's message: `server` and `key` name it
        bool server = false;
        TransactionKey key;
        TransactionId ack = 0; // an ACK of a 2xx, sent without a transaction
    };
    /// Runs `send` with `current` as the message being handed over.
    template <class SendFunction>
    void Attributed(CurrentSend current, SendFunction&& send) {
        current.active = true;
        currentSend_ = std::move(current);
        send();
        currentSend_ = {};
    }

    // server side
    void HandleMessage(const Tuple& source, const Tuple& local, std::string_view bytes);
    void HandleRequest(const Tuple& source, const Tuple& local, SipMessage request);
    void HandleResponse(const Tuple& source, const Tuple& local, SipMessage response);
    void HandleCancel(const Tuple& source, const Tuple& local, SipMessage cancel, TransactionKey key);
    void AnswerStatelessly(const SipMessage& request, const Tuple& source, int code, std::string_view reason,
                           std::optional<std::uint32_t> retryAfter = std::nullopt);
    Entry* CreateServer(const Tuple& source, const Tuple& local, SipMessage request, TransactionKey key);
    void RefuseResponse(TransactionId id, SipMessage response, std::string_view why);

    // client side
    void StartRequest(TransactionId id, ClientRequest client, const RequestTarget& target);
    void OnLocated(TransactionId id, std::error_code error, TargetList targets);
    void TryTargets(TransactionId id, std::error_code lastError);
    bool StartClient(TransactionId id, ClientRequest& request, const Target& target);
    void SendAckTo(TransactionId id, ClientRequest& client, SipMessage message, const Target& target,
                   Transport& transport);
    void FailRequest(TransactionId id, std::error_code error);
    bool Failover(Entry& entry);
    void StartCancel(TransactionId id, Entry& invite);
    void CheckPendingCancel(Entry& entry);
    void Remember(const Entry& entry);
    void ForgetAckNow(TransactionId id);
    /// Our Via on top of `message`, Max-Forwards, and the Contact when asked; false when the
    /// message cannot take them.
    bool PrepareRequest(SipMessage& message, const ClientRequest& client, const Target& target,
                        const Transport& transport, std::string& sentBy);

    // driving the cores
    TransactionActions StartCore(Entry& entry);
    /// Handles `event` in the transaction `key` of `table`, if it still exists. Never raises.
    void Dispatch(Table& table, const TransactionKey& key, TransactionEvent event);
    /// Carries out `actions` of `entry`, then drops it when it has terminated.
    void Run(Table& table, Entry& entry, TransactionActions actions);
    void ReportToTu(Entry& entry, TuAction& action);
    void Send(Entry& entry, const SipMessage& message, bool retransmission);
    void ArmTimer(Entry& entry, TransactionTimer timer, std::chrono::milliseconds duration);
    bool IsTerminated(const Entry& entry) const;

    // transports
    /// The transport for `destination`: the one bound to `local` when given and present (else,
    /// when `exact`, none), else the first of the destination's type and IP version.
    Transport* FindTransport(const Tuple& destination, const Tuple* local, bool exact = false) const;
    std::shared_ptr<Transport> FindTransportShared(const Tuple& local) const;
    /// The local end of a flow as the TU and the tables name it: for a stream connection, the
    /// address of the socket with the port of the transport it belongs to.
    Tuple FlowLocal(const Tuple& socketLocal) const;
    /// The address we send from towards `destination` over `transport`.
    boost::asio::ip::address SourceAddress(const Transport& transport, const Tuple& destination);
    std::string SentBy(const Transport& transport, const Tuple& destination);
    /// Our end of a flow towards `destination` over `transport`: the transport's tuple with the
    /// source address filled in.
    Tuple LocalEnd(const Transport& transport, const Tuple& destination);

    boost::asio::io_context& io_;
    TransactionLayerOptions options_;
    TransactionUserQueue& queue_;
    const CongestionManager& congestion_;
    const TransactionClock& clock_;
    ServerLocator* locator_;
    std::vector<std::shared_ptr<Transport>> transports_;
    Table servers_;
    Table clients_;
    std::unordered_map<TransactionId, TransactionKey> serverIds_;
    std::unordered_map<TransactionId, TransactionKey> clientIds_; // the live (not failed-over) transaction
    std::unordered_map<TransactionId, ClientRequest> requests_;
    std::unordered_map<TransactionId, Remembered> remembered_;
    std::list<TransactionId> rememberedAge_; // oldest first
    std::unordered_map<TransactionId, KeptAck> acks_;
    std::unordered_map<TransactionId, SipMessage> cancelModels_; // by CANCEL id, until it starts
    std::list<TransactionId> ackAge_; // oldest first
    /// Source addresses learnt towards destinations, for transports bound to all interfaces.
    std::unordered_map<boost::asio::ip::address, boost::asio::ip::address> sourceAddresses_;
    /// Stream connections that carried messages to us, with our end: reported when they close.
    std::unordered_map<std::uint64_t, Tuple> connections_;
    std::unique_ptr<KeepAliveManager> keepAlive_;
    std::vector<Flow> keptAlive_; // the flows keepAlive_ keeps, with our end
    std::atomic<TransactionId> nextId_{1};
    bool shutDown_ = false;
    CurrentSend currentSend_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace zel::sip::stack

// The transaction layer: construction, driving the cores (dispatch, actions, timers, sending),
// the transports and shutdown. The client side is in TransactionLayerClient.cpp, the server side
// in TransactionLayerServer.cpp.

#include "stack/transaction/TransactionLayer.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>

#include <utility>

#include "stack/base/Log.h"
#include "stack/transaction/detail/LayerSupport.h"

namespace zel::sip::stack {

using detail::EventFor;
using detail::kIsCore;
using detail::Overloaded;
using detail::SamePeer;
using detail::ToMessageKind;

TransactionLayer::TransactionLayer(boost::asio::io_context& io, TransactionLayerOptions options,
                                   TransactionUserQueue& queue, const CongestionManager& congestion,
                                   const TransactionClock& clock, ServerLocator* locator)
    : io_(io), options_(std::move(options)), queue_(queue), congestion_(congestion), clock_(clock),
      locator_(locator) {
    options_.Validate();
    keepAlive_ = std::make_unique<KeepAliveManager>(io_, static_cast<KeepAliveHandler&>(*this), options_.keepAlive);
}

TransactionLayer::~TransactionLayer() { Shutdown(); }

void TransactionLayer::AddTransport(std::shared_ptr<Transport> transport) {
    if (transport == nullptr) {
        throw std::invalid_argument("TransactionLayer::AddTransport: null transport");
    }
    if (shutDown_) {
        transport->Close();
        return;
    }
    transports_.push_back(std::move(transport));
}

void TransactionLayer::OnSendFailed(const Tuple& destination, const std::error_code& error) {
    if (shutDown_) {
        return;
    }
    ZEL_LOG(Info, "send to {} failed: {}", ToString(destination), error.message());
    if (currentSend_.active) {
        // This very message was refused. Reported from the loop, not from inside the core's
        // actions that are sending it.
        boost::asio::post(io_, [this, alive = std::weak_ptr<int>(alive_), failed = currentSend_, error] {
            if (alive.expired() || shutDown_) {
                return;
            }
            if (failed.hasEntry) {
                Table& table = failed.server ? servers_ : clients_;
                if (auto it = table.find(failed.key); it != table.end()) {
                    it->second->lastError = error;
                    Dispatch(table, failed.key, TransactionEvent::Failed());
                }
            } else if (failed.ack != 0) {
                // An ACK has no transaction: no Terminated follows.
                queue_.Push(EventFor(failed.ack, TransactionUserMessage::Kind::TransportError, error));
            }
        });
        return;
    }
    // Reported later, by a connection or a handshake: the path to the peer is broken, and every
    // transaction towards it fails.
    std::vector<std::pair<bool, TransactionKey>> failed;
    for (auto& [key, entry] : servers_) {
        if (SamePeer(entry->destination, destination)) {
            entry->lastError = error;
            failed.emplace_back(true, key);
        }
    }
    for (auto& [key, entry] : clients_) {
        if (SamePeer(entry->destination, destination)) {
            entry->lastError = error;
            failed.emplace_back(false, key);
        }
    }
    for (const auto& [server, key] : failed) {
        Dispatch(server ? servers_ : clients_, key, TransactionEvent::Failed());
    }
}

// ---- driving the cores ------------------------------------------------------------------------

TransactionActions TransactionLayer::StartCore(Entry& entry) {
    return std::visit(
        [](auto& core) -> TransactionActions {
            if constexpr (kIsCore<decltype(core)>) {
                return core.Start();
            } else {
                return {};
            }
        },
        entry.core);
}

void TransactionLayer::Dispatch(Table& table, const TransactionKey& key, TransactionEvent event) {
    auto it = table.find(key);
    if (it == table.end()) {
        return;
    }
    Entry& entry = *it->second;
    TransactionActions actions;
    try {
        actions = std::visit(
            [&event](auto& core) -> TransactionActions {
                if constexpr (kIsCore<decltype(core)>) {
                    return core.Handle(std::move(event));
                } else {
                    return {};
                }
            },
            entry.core);
    } catch (const std::exception& error) {
        // SendResponse checks AllowsResponse first and nothing else raises: a fault of ours.
        ZEL_LOG(Err, "transaction {}: {} refused: {}", entry.id, ToString(event.kind), error.what());
        return;
    }
    Run(table, entry, std::move(actions));
}

void TransactionLayer::Run(Table& table, Entry& entry, TransactionActions actions) {
    for (TransactionAction& action : actions) {
        std::visit(Overloaded{
                       [&](SendAction& send) { Send(entry, *send.message, send.isRetransmission); },
                       [&](StartTimerAction& start) { ArmTimer(entry, start.timer, start.duration); },
                       [&](CancelTimerAction& cancel) {
                           if (auto& timer = entry.timers[static_cast<std::size_t>(cancel.timer)]) {
                               timer->cancel();
                           }
                       },
                       [&](TuAction& tu) { ReportToTu(entry, tu); },
                   },
                   action);
    }
    if (!entry.server) {
        CheckPendingCancel(entry);
    }
    if (IsTerminated(entry)) {
        if (entry.server) {
            serverIds_.erase(entry.id);
        } else if (auto it = clientIds_.find(entry.id); it != clientIds_.end() && it->second == entry.key) {
            clientIds_.erase(it);
        }
        const TransactionKey key = entry.key;
        table.erase(key); // destroys `entry`; its timers' waits end with operation_aborted
    }
}

void TransactionLayer::ReportToTu(Entry& entry, TuAction& action) {
    if (entry.detached) {
        return;
    }
    if (!entry.server) {
        const bool failed = action.kind == TuEventKind::Timeout || action.kind == TuEventKind::TransportError ||
                            (action.kind == TuEventKind::ResponseReceived && action.message != nullptr &&
                             action.message->StatusCode() == 503);
        if (failed && Failover(entry)) {
            return;
        }
        if (action.kind == TuEventKind::Terminated) {
            requests_.erase(entry.id);
        }
    } else if (action.kind == TuEventKind::RequestReceived && !entry.deliverRequest) {
        return;
    }
    TransactionUserMessage message;
    message.kind = ToMessageKind(action.kind);
    message.transaction = entry.id;
    message.message = std::move(action.message);
    message.source = entry.destination;
    message.local = entry.local;
    message.cancelled = entry.cancelled;
    if (action.kind == TuEventKind::TransportError) {
        message.error = entry.lastError ? entry.lastError : std::make_error_code(std::errc::protocol_not_supported);
    }
    queue_.Push(std::move(message));
}

void TransactionLayer::Send(Entry& entry, const SipMessage& message, bool retransmission) {
    // A client keeps to the transport it started on (the one of its flow, if any).
    Transport* transport = FindTransport(entry.destination, &entry.local, !entry.server && entry.connectionOnly);
    if (transport == nullptr) {
        // Reported from the loop, not from inside the core's actions.
        entry.lastError = std::make_error_code(std::errc::protocol_not_supported);
        boost::asio::post(io_, [this, alive = std::weak_ptr<int>(alive_), server = entry.server, key = entry.key] {
            if (!alive.expired()) {
                Dispatch(server ? servers_ : clients_, key, TransactionEvent::Failed());
            }
        });
        return;
    }
    CurrentSend current;
    current.hasEntry = true;
    current.server = entry.server;
    current.key = entry.key;
    Attributed(std::move(current), [&] {
        transport->Send(entry.destination, message.Encode(),
                        SendOptions{retransmission, entry.serverName, entry.connectionOnly});
    });
}

void TransactionLayer::ArmTimer(Entry& entry, TransactionTimer timer, std::chrono::milliseconds duration) {
    auto& slot = entry.timers[static_cast<std::size_t>(timer)];
    if (!slot) {
        slot = std::make_unique<boost::asio::steady_timer>(io_);
    }
    slot->expires_after(duration);
    if (entry.server) {
        // A server's id names it for its whole life, so the wait keeps the id, not a copy of the
        // key (about 300 bytes for every armed timer, for up to 64*T1).
        slot->async_wait([this, alive = std::weak_ptr<int>(alive_), id = entry.id,
                          timer](const boost::system::error_code& error) {
            if (error || alive.expired()) {
                return;
            }
            if (auto it = serverIds_.find(id); it != serverIds_.end()) {
                const TransactionKey key = it->second; // Dispatch may end the transaction
                Dispatch(servers_, key, TransactionEvent::Fired(timer));
            }
        });
        return;
    }
    slot->async_wait([this, alive = std::weak_ptr<int>(alive_), key = entry.key,
                      timer](const boost::system::error_code& error) {
        // A stale firing (re-armed or cancelled meanwhile) is recognised by the core itself.
        if (!error && !alive.expired()) {
            Dispatch(clients_, key, TransactionEvent::Fired(timer));
        }
    });
}

bool TransactionLayer::IsTerminated(const Entry& entry) const {
    return std::visit(
        [](const auto& core) {
            if constexpr (kIsCore<decltype(core)>) {
                return core.GetState() == std::decay_t<decltype(core)>::State::Terminated;
            } else {
                return true;
            }
        },
        entry.core);
}

// ---- transports -------------------------------------------------------------------------------

namespace {

/// Same transport, port and IP version, and the same address unless `bound` is bound to all
/// interfaces (then `local` may name the interface address a message came in on).
bool BoundTo(const Tuple& bound, const Tuple& local) noexcept {
    return bound.transport == local.transport && bound.port == local.port &&
           bound.address.is_v6() == local.address.is_v6() &&
           (bound.address == local.address || bound.address.is_unspecified());
}

/// Source addresses learnt per destination address; forgotten all at once past this.
constexpr std::size_t kMaxSourceAddresses = 1024;

} // namespace

Transport* TransactionLayer::FindTransport(const Tuple& destination, const Tuple* local, bool exact) const {
    const bool v6 = destination.address.is_v6();
    Transport* match = nullptr;
    for (const auto& transport : transports_) {
        const Tuple& bound = transport->LocalTuple();
        if (bound.transport != destination.transport || bound.address.is_v6() != v6) {
            continue;
        }
        if (local != nullptr && BoundTo(bound, *local)) {
            return transport.get();
        }
        if (match == nullptr) {
            match = transport.get();
        }
    }
    return exact && local != nullptr ? nullptr : match;
}

std::shared_ptr<Transport> TransactionLayer::FindTransportShared(const Tuple& local) const {
    for (const auto& transport : transports_) {
        if (BoundTo(transport->LocalTuple(), local)) {
            return transport;
        }
    }
    return nullptr;
}

Tuple TransactionLayer::FlowLocal(const Tuple& socketLocal) const {
    if (IsDatagram(socketLocal.transport)) {
        return socketLocal;
    }
    const Transport* owner = nullptr;
    for (const auto& transport : transports_) {
        const Tuple& bound = transport->LocalTuple();
        if (BoundTo(bound, socketLocal)) {
            return socketLocal; // an accepted connection: the listening port itself
        }
        if (owner == nullptr && bound.transport == socketLocal.transport &&
            bound.address.is_v6() == socketLocal.address.is_v6() &&
            (bound.address == socketLocal.address || bound.address.is_unspecified())) {
            owner = transport.get();
        }
    }
    if (owner == nullptr) {
        return socketLocal;
    }
    Tuple local = socketLocal;
    local.port = owner->LocalTuple().port;
    return local;
}

boost::asio::ip::address TransactionLayer::SourceAddress(const Transport& transport, const Tuple& destination) {
    const boost::asio::ip::address bound = transport.LocalTuple().address;
    if (!bound.is_unspecified()) {
        return bound;
    }
    if (auto known = sourceAddresses_.find(destination.address); known != sourceAddresses_.end()) {
        return known->second;
    }
    // Bound to all interfaces: the address the system routes towards the destination from, asked
    // once per destination address of a connected (never used) UDP socket.
    boost::system::error_code error;
    boost::asio::ip::udp::socket probe(io_);
    probe.open(destination.address.is_v6() ? boost::asio::ip::udp::v6() : boost::asio::ip::udp::v4(), error);
    if (!error) {
        probe.connect(boost::asio::ip::udp::endpoint(destination.address, destination.port != 0 ? destination.port : 5060),
                      error);
    }
    boost::asio::ip::address address;
    if (!error) {
        auto endpoint = probe.local_endpoint(error);
        if (!error) {
            address = endpoint.address();
        }
    }
    if (error || address.is_unspecified()) {
        // No route: not remembered, the next request asks again.
        return destination.address.is_v6() ? boost::asio::ip::address(boost::asio::ip::address_v6::loopback())
                                           : boost::asio::ip::address(boost::asio::ip::address_v4::loopback());
    }
    if (sourceAddresses_.size() >= kMaxSourceAddresses) {
        sourceAddresses_.clear();
    }
    sourceAddresses_.emplace(destination.address, address);
    return address;
}

std::string TransactionLayer::SentBy(const Transport& transport, const Tuple& destination) {
    const boost::asio::ip::address address = SourceAddress(transport, destination);
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(transport.LocalTuple().port);
}

Tuple TransactionLayer::LocalEnd(const Transport& transport, const Tuple& destination) {
    Tuple local = transport.LocalTuple();
    local.address = SourceAddress(transport, destination);
    return local;
}

// ---- flows --------------------------------------------------------------------------------------

void TransactionLayer::StartKeepAlive(const Flow& flow, std::chrono::milliseconds interval) {
    if (shutDown_) {
        return;
    }
    std::shared_ptr<Transport> transport = FindTransportShared(flow.local);
    if (transport == nullptr) {
        TransactionUserMessage message = EventFor(0, TransactionUserMessage::Kind::FlowFailed,
                                                  std::make_error_code(std::errc::protocol_not_supported));
        message.source = flow.remote;
        message.local = flow.local;
        queue_.Push(std::move(message));
        return;
    }
    keepAlive_->Start(std::move(transport), flow.remote, interval);
    for (Flow& kept : keptAlive_) {
        if (kept.remote == flow.remote) {
            kept.local = flow.local;
            return;
        }
    }
    keptAlive_.push_back(flow);
}

void TransactionLayer::StopKeepAlive(const Flow& flow) {
    if (shutDown_) {
        return;
    }
    keepAlive_->Stop(flow.remote);
    std::erase_if(keptAlive_, [&](const Flow& kept) { return kept.remote == flow.remote; });
}

void TransactionLayer::OnFlowFailed(const Tuple& flow, FlowFailure reason) {
    TransactionUserMessage message =
        EventFor(0, TransactionUserMessage::Kind::FlowFailed,
                 std::make_error_code(reason == FlowFailure::NoResponse ? std::errc::timed_out
                                                                       : std::errc::address_not_available));
    message.source = flow;
    for (auto it = keptAlive_.begin(); it != keptAlive_.end(); ++it) {
        if (it->remote == flow) {
            message.local = it->local;
            keptAlive_.erase(it);
            break;
        }
    }
    ZEL_LOG(Info, "flow {} failed: {}", ToString(flow), ToString(reason));
    queue_.Push(std::move(message));
}

void TransactionLayer::OnKeepAlivePong(const Tuple& source) {
    if (!shutDown_) {
        keepAlive_->OnPong(source);
    }
}

void TransactionLayer::OnStunResponse(const Tuple& source, const Tuple& /*local*/, std::string_view message) {
    if (!shutDown_) {
        keepAlive_->OnStunResponse(source, message);
    }
}

void TransactionLayer::OnConnectionClosed(const Tuple& flow) {
    if (shutDown_) {
        return;
    }
    auto it = connections_.find(flow.connectionId);
    if (it == connections_.end()) {
        return; // never carried anything to us: nothing of the TU's is on it
    }
    TransactionUserMessage message = EventFor(0, TransactionUserMessage::Kind::ConnectionClosed);
    message.source = flow;
    message.local = it->second;
    connections_.erase(it);
    queue_.Push(std::move(message));
}

void TransactionLayer::Shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    if (locator_ != nullptr) {
        for (auto& [id, client] : requests_) {
            if (client.lookup) {
                locator_->Cancel(*client.lookup);
            }
        }
    }
    requests_.clear();
    remembered_.clear();
    rememberedAge_.clear();
    acks_.clear(); // their expiry timers end with operation_aborted
    ackAge_.clear();
    keepAlive_.reset();
    keptAlive_.clear();
    connections_.clear();
    serverIds_.clear();
    clientIds_.clear();
    servers_.clear();
    clients_.clear();
    for (const auto& transport : transports_) {
        transport->Close();
    }
}

} // namespace zel::sip::stack

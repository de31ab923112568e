#include "stack/transaction/TransactionLayer.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>

#include <cstdio>
#include <utility>
#include <type_traits>

#include "stack/base/Log.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

template <class T>
constexpr bool kIsCore = !std::is_same_v<std::decay_t<T>, std::monostate>;

TransactionUserMessage::Kind ToMessageKind(TuEventKind kind) noexcept {
    switch (kind) {
    case TuEventKind::ResponseReceived:
        return TransactionUserMessage::Kind::Response;
    case TuEventKind::RequestReceived:
        return TransactionUserMessage::Kind::Request;
    case TuEventKind::Timeout:
        return TransactionUserMessage::Kind::Timeout;
    case TuEventKind::TransportError:
        return TransactionUserMessage::Kind::TransportError;
    case TuEventKind::Terminated:
        return TransactionUserMessage::Kind::Terminated;
    }
    return TransactionUserMessage::Kind::Terminated;
}

/// Same address, port and transport; the connection id is left out (a client transaction sends with
/// 0 and the transport may name the connection it picked).
bool SamePeer(const Tuple& a, const Tuple& b) noexcept {
    return a.address == b.address && a.port == b.port && a.transport == b.transport;
}

std::string_view Unbracketed(std::string_view host) noexcept {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

TransactionUserMessage EventFor(TransactionId id, TransactionUserMessage::Kind kind, std::error_code error = {}) {
    TransactionUserMessage message;
    message.kind = kind;
    message.transaction = id;
    message.error = error;
    return message;
}

} // namespace

TransactionLayer::TransactionLayer(boost::asio::io_context& io, TransactionLayerOptions options,
                                   TransactionUserQueue& queue, const CongestionManager& congestion,
                                   const TransactionClock& clock, ServerLocator* locator)
    : io_(io), options_(std::move(options)), queue_(queue), congestion_(congestion), clock_(clock),
      locator_(locator), random_(std::random_device{}()) {
    options_.Validate();
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

// ---- client side ------------------------------------------------------------------------------

void TransactionLayer::SendRequest(TransactionId id, SipMessage request, const Tuple& target) {
    if (shutDown_) {
        return;
    }
    if (requests_.size() >= options_.maxClientRequests) {
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                             std::make_error_code(std::errc::no_buffer_space)));
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
        return;
    }
    ClientRequest client;
    client.request = std::move(request);
    client.targets = TargetList({Target{target, {}, {}}});
    requests_.insert_or_assign(id, std::move(client));
    TryTargets(id, std::make_error_code(std::errc::protocol_not_supported));
}

void TransactionLayer::SendRequest(TransactionId id, SipMessage request, const Destination& destination) {
    if (shutDown_) {
        return;
    }
    if (locator_ == nullptr || requests_.size() >= options_.maxClientRequests) {
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                             std::make_error_code(locator_ == nullptr ? std::errc::operation_not_supported
                                                                      : std::errc::no_buffer_space)));
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
        return;
    }
    ClientRequest client;
    client.request = std::move(request);
    client.located = true;
    auto [it, inserted] = requests_.insert_or_assign(id, std::move(client));
    it->second.lookup = locator_->Locate(destination, [this, id](std::error_code error, TargetList targets) {
        OnLocated(id, error, std::move(targets));
    });
}

void TransactionLayer::OnLocated(TransactionId id, std::error_code error, TargetList targets) {
    auto it = requests_.find(id);
    if (it == requests_.end()) {
        return;
    }
    it->second.lookup.reset();
    if (error) {
        FailRequest(id, error);
        return;
    }
    it->second.targets = std::move(targets);
    TryTargets(id, std::make_error_code(std::errc::protocol_not_supported));
}

void TransactionLayer::TryTargets(TransactionId id, std::error_code lastError) {
    auto it = requests_.find(id);
    if (it == requests_.end()) {
        return;
    }
    ClientRequest& client = it->second;
    while (const Target* target = client.targets.Current()) {
        if (StartClient(id, client, *target)) {
            return; // started, or failed for good (the request is gone then)
        }
        ZEL_LOG(Info, "no transport for {}: trying the next target", ToString(target->tuple));
        if (client.located && locator_ != nullptr) {
            locator_->ReportFailure(target->tuple);
        }
        client.targets.Next();
    }
    FailRequest(id, lastError);
}

void TransactionLayer::FailRequest(TransactionId id, std::error_code error) {
    requests_.erase(id);
    queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError, error));
    queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
}

bool TransactionLayer::StartClient(TransactionId id, ClientRequest& client, const Target& target) {
    Transport* transport = FindTransport(target.tuple, nullptr);
    if (transport == nullptr) {
        return false;
    }
    if (clients_.size() >= 2 * options_.maxClientRequests) { // failed-over transactions count too
        FailRequest(id, std::make_error_code(std::errc::no_buffer_space));
        return true;
    }
    SipMessage message;
    try {
        message = client.request;
        std::vector<std::string> vias;
        for (std::size_t i = 0; i < message.Count(HeaderType::Via); ++i) {
            vias.push_back(message.ValueText(HeaderType::Via, i));
        }
        message.Remove(HeaderType::Via);
        // RFC 3261 section 18.1.1: the transport and sent-by of the Via are the ones really used;
        // a new branch per target (RFC 3263 section 4.3); rport asks for symmetric responses (RFC 3581).
        message.Add(HeaderType::Via, "SIP/2.0/" + std::string(ToString(target.tuple.transport)) + " " +
                                         SentBy(*transport, target.tuple) + ";branch=" + std::string(kMagicCookie) +
                                         RandomToken() + ";rport");
        for (const std::string& via : vias) {
            message.Add(HeaderType::Via, via);
        }
        if (!message.Has(HeaderType::MaxForwards)) {
            message.Add(HeaderType::MaxForwards, "70");
        }
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "request {} cannot be sent: {}", id, error.what());
        FailRequest(id, std::make_error_code(std::errc::invalid_argument));
        return true;
    }

    if (message.Method() == "ACK") {
        // The ACK of a 2xx is the TU's own request, sent without a transaction (RFC 3261 section 17.1.1.3).
        CurrentSend ack;
        ack.ack = id;
        Attributed(std::move(ack), [&] {
            transport->Send(target.tuple, message.Encode(), SendOptions{false, target.tlsName});
        });
        requests_.erase(id);
        return true;
    }

    auto entry = std::make_unique<Entry>();
    entry->id = id;
    entry->destination = target.tuple;
    entry->serverName = target.tlsName;
    try {
        if (message.Method() == "INVITE") {
            entry->core.emplace<ClientInviteTransaction>(std::move(message), target.tuple.transport, clock_,
                                                         options_.timers);
        } else {
            entry->core.emplace<ClientNonInviteTransaction>(std::move(message), target.tuple.transport, clock_,
                                                            options_.timers);
        }
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "request {} cannot be sent: {}", id, error.what());
        FailRequest(id, std::make_error_code(std::errc::invalid_argument));
        return true;
    }
    entry->key = std::visit(
        [](const auto& core) -> TransactionKey {
            if constexpr (kIsCore<decltype(core)>) {
                return core.Key();
            } else {
                return {};
            }
        },
        entry->core);
    Entry& started = *entry;
    if (!clients_.emplace(started.key, std::move(entry)).second) {
        FailRequest(id, std::make_error_code(std::errc::file_exists));
        return true;
    }
    clientIds_.insert_or_assign(id, started.key);
    Run(clients_, started, StartCore(started));
    return true;
}

void TransactionLayer::SendCancel(TransactionId id, TransactionId invite) {
    if (shutDown_) {
        return;
    }
    Entry* entry = nullptr;
    if (auto it = clientIds_.find(invite); it != clientIds_.end()) {
        if (auto found = clients_.find(it->second); found != clients_.end()) {
            entry = found->second.get();
        }
    }
    const auto* core = entry != nullptr ? std::get_if<ClientInviteTransaction>(&entry->core) : nullptr;
    if (core == nullptr || entry->pendingCancel != 0 ||
        (core->GetState() != ClientInviteTransaction::State::Calling &&
         core->GetState() != ClientInviteTransaction::State::Proceeding)) {
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                             std::make_error_code(std::errc::operation_not_permitted)));
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
        return;
    }
    if (core->GetState() == ClientInviteTransaction::State::Calling) {
        entry->pendingCancel = id; // RFC 3261 section 9.1: not before a provisional response
        return;
    }
    StartCancel(id, *entry);
}

void TransactionLayer::StartCancel(TransactionId id, Entry& invite) {
    const SipMessage& request = std::get<ClientInviteTransaction>(invite.core).Request();
    auto entry = std::make_unique<Entry>();
    entry->id = id;
    entry->destination = invite.destination;
    entry->serverName = invite.serverName;
    try {
        SipMessage cancel = SipMessage::MakeRequest("CANCEL", *request.RequestUri());
        cancel.Add(HeaderType::Via, request.ValueText(HeaderType::Via, 0));
        cancel.Add(HeaderType::MaxForwards, "70");
        for (std::size_t i = 0; i < request.Count(HeaderType::Route); ++i) {
            cancel.Add(HeaderType::Route, request.ValueText(HeaderType::Route, i));
        }
        for (HeaderType type : {HeaderType::From, HeaderType::To, HeaderType::CallId}) {
            cancel.Add(type, request.ValueText(type));
        }
        cancel.Add(HeaderType::CSeq, CSeq(request.Get<CSeq>(HeaderType::CSeq).Sequence(), "CANCEL"));
        entry->core.emplace<ClientNonInviteTransaction>(std::move(cancel), invite.destination.transport, clock_,
                                                        options_.timers);
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "CANCEL {} cannot be sent: {}", id, error.what());
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                             std::make_error_code(std::errc::invalid_argument)));
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
        return;
    }
    entry->key = std::get<ClientNonInviteTransaction>(entry->core).Key();
    Entry& started = *entry;
    if (!clients_.emplace(started.key, std::move(entry)).second) {
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                             std::make_error_code(std::errc::operation_not_permitted)));
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
        return;
    }
    clientIds_.insert_or_assign(id, started.key);
    Run(clients_, started, StartCore(started));
}

void TransactionLayer::CheckPendingCancel(Entry& entry) {
    const auto* core = std::get_if<ClientInviteTransaction>(&entry.core);
    if (entry.pendingCancel == 0 || core == nullptr || core->GetState() == ClientInviteTransaction::State::Calling) {
        return;
    }
    const TransactionId id = std::exchange(entry.pendingCancel, 0);
    if (core->GetState() == ClientInviteTransaction::State::Proceeding && !entry.detached) {
        StartCancel(id, entry);
        return;
    }
    // A final response, a timeout or a failover came first: nothing left to cancel here.
    queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                         std::make_error_code(std::errc::operation_not_permitted)));
    queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
}

bool TransactionLayer::Failover(Entry& entry) {
    auto it = requests_.find(entry.id);
    if (it == requests_.end() || !it->second.located) {
        return false;
    }
    ClientRequest& client = it->second;
    if (const Target* current = client.targets.Current(); current != nullptr && locator_ != nullptr) {
        locator_->ReportFailure(current->tuple);
    }
    if (!client.targets.Next()) {
        return false;
    }
    ZEL_LOG(Info, "request {}: moving to the next target {}", entry.id, ToString(*client.targets.Current()));
    entry.detached = true;
    TryTargets(entry.id, std::make_error_code(std::errc::protocol_not_supported));
    return true;
}

// ---- server side ------------------------------------------------------------------------------

void TransactionLayer::SendResponse(TransactionId id, SipMessage response) {
    if (shutDown_) {
        return;
    }
    auto it = serverIds_.find(id);
    if (it == serverIds_.end()) {
        ZEL_LOG(Info, "response {} for transaction {} dropped: the transaction has ended", response.StatusCode(), id);
        return;
    }
    const TransactionKey key = it->second;
    Dispatch(servers_, key, TransactionEvent::FromTu(std::move(response)));
}

void TransactionLayer::OnMessage(const Tuple& source, const Tuple& local, std::string_view message) {
    if (shutDown_) {
        return;
    }
    try {
        HandleMessage(source, local, message);
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "message from {} dropped: {}", ToString(source), error.what());
    } catch (...) {
        ZEL_LOG(Warning, "message from {} dropped", ToString(source));
    }
}

void TransactionLayer::HandleMessage(const Tuple& source, const Tuple& local, std::string_view bytes) {
    SipMessage message;
    if (auto status = SipMessage::TryParse(std::string(bytes), message, options_.messageLimits); !status) {
        ZEL_LOG(Debug, "unparsable message from {}: {}", ToString(source), status.Describe());
        if (auto salvaged = detail::SalvageHeaders(bytes); salvaged && salvaged->Method() != "ACK") {
            const detail::Rejection rejection = detail::RejectionFor(*salvaged, status.Failure());
            AnswerStatelessly(*salvaged, source, rejection.statusCode, rejection.reasonPhrase);
        }
        return;
    }
    if (auto status = message.Validate(); !status) {
        ZEL_LOG(Debug, "invalid message from {}: {}", ToString(source), status.Describe());
        if (message.IsRequest() && message.Method() != "ACK") {
            const detail::Rejection rejection = detail::RejectionFor(message, status.Failure());
            AnswerStatelessly(message, source, rejection.statusCode, rejection.reasonPhrase);
        }
        return;
    }
    if (message.IsRequest()) {
        HandleRequest(source, local, std::move(message));
    } else {
        HandleResponse(source, local, std::move(message));
    }
}

void TransactionLayer::HandleRequest(const Tuple& source, const Tuple& local, SipMessage request) {
    // RFC 3261 section 18.2.1 (received) and RFC 3581 (rport): where the request really came from.
    if (const Via* via = request.Peek<Via>(HeaderType::Via); via != nullptr) {
        const std::string address = source.address.to_string();
        const bool addReceived = Unbracketed(via->Host()) != address;
        const bool fillRport = via->HasRport();
        if (addReceived || fillRport) {
            Via* edited = request.Edit<Via>(HeaderType::Via);
            if (addReceived) {
                edited->Params().Set("received", address);
            }
            if (fillRport) {
                edited->Params().Set("rport", std::to_string(source.port));
            }
        }
    }
    std::optional<TransactionKey> key = ServerTransactionKey(request);
    if (!key) {
        return;
    }
    if (servers_.contains(*key)) {
        Dispatch(servers_, *key, TransactionEvent::FromTransport(std::move(request)));
        return;
    }
    if (request.Method() == "ACK") {
        // The ACK of a 2xx (RFC 3261 section 17.2.1): the dialog layer's business.
        TransactionUserMessage message;
        message.kind = TransactionUserMessage::Kind::Request;
        message.message = std::make_shared<SipMessage>(std::move(request));
        message.source = source;
        message.local = local;
        queue_.Push(std::move(message));
        return;
    }
    if (request.Method() == "CANCEL") {
        HandleCancel(source, local, std::move(request), std::move(*key));
        return;
    }
    if (CongestionManager::IsRefusable(request)) {
        if (auto retryAfter = congestion_.RetryAfter(queue_)) {
            ZEL_LOG(Info, "congested: {} from {} answered 503", request.Method(), ToString(source));
            AnswerStatelessly(request, source, 503, "Service Unavailable", retryAfter);
            return;
        }
    }
    if (servers_.size() >= options_.maxServerTransactions || !queue_.CanTakeRequest()) {
        ZEL_LOG(Warning, "transaction table or queue full: {} from {} answered 503", request.Method(),
                ToString(source));
        AnswerStatelessly(request, source, 503, "Service Unavailable", 1);
        return;
    }
    if (Entry* entry = CreateServer(source, local, std::move(request), std::move(*key))) {
        Run(servers_, *entry, StartCore(*entry));
    }
}

void TransactionLayer::HandleCancel(const Tuple& source, const Tuple& local, SipMessage cancel, TransactionKey key) {
    TransactionId cancelled = 0;
    if (std::optional<TransactionKey> inviteKey = CancelledInviteKey(cancel)) {
        if (auto it = servers_.find(*inviteKey); it != servers_.end()) {
            cancelled = it->second->id;
        }
    }
    if (servers_.size() >= options_.maxServerTransactions) {
        AnswerStatelessly(cancel, source, 503, "Service Unavailable", 1);
        return;
    }
    // RFC 3261 section 9.2: 481 without a matching transaction, else 200 whatever its state.
    std::optional<SipMessage> response =
        cancelled != 0 ? detail::MakeResponseTo(cancel, 200, "OK", RandomToken())
                       : detail::MakeResponseTo(cancel, 481, "Call/Transaction Does Not Exist", RandomToken());
    if (!response) {
        return;
    }
    Entry* entry = CreateServer(source, local, std::move(cancel), std::move(key));
    if (entry == nullptr) {
        return;
    }
    entry->deliverRequest = cancelled != 0;
    entry->cancelled = cancelled;
    const TransactionKey entryKey = entry->key;
    Run(servers_, *entry, StartCore(*entry));
    Dispatch(servers_, entryKey, TransactionEvent::FromTu(std::move(*response)));
}

TransactionLayer::Entry* TransactionLayer::CreateServer(const Tuple& source, const Tuple& local, SipMessage request,
                                                        TransactionKey key) {
    auto entry = std::make_unique<Entry>();
    entry->id = AllocateId();
    entry->server = true;
    entry->key = std::move(key);
    entry->destination = source;
    entry->local = local;
    try {
        if (request.Method() == "INVITE") {
            entry->core.emplace<ServerInviteTransaction>(std::move(request), source.transport, clock_, options_.timers);
        } else {
            entry->core.emplace<ServerNonInviteTransaction>(std::move(request), source.transport, clock_,
                                                            options_.timers);
        }
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "request from {} dropped: {}", ToString(source), error.what());
        return nullptr;
    }
    Entry& created = *entry;
    serverIds_.emplace(created.id, created.key);
    servers_.emplace(created.key, std::move(entry));
    return &created;
}

void TransactionLayer::HandleResponse(const Tuple& source, const Tuple& local, SipMessage response) {
    if (std::optional<TransactionKey> key = ClientTransactionKey(response); key && clients_.contains(*key)) {
        Dispatch(clients_, *key, TransactionEvent::FromTransport(std::move(response)));
        return;
    }
    // A 2xx retransmission after the transaction ended, or a response to nothing of ours: the
    // dialog layer decides (it ACKs 2xx retransmissions).
    TransactionUserMessage message;
    message.kind = TransactionUserMessage::Kind::Response;
    message.message = std::make_shared<SipMessage>(std::move(response));
    message.source = source;
    message.local = local;
    queue_.Push(std::move(message));
}

void TransactionLayer::AnswerStatelessly(const SipMessage& request, const Tuple& source, int code,
                                         std::string_view reason, std::optional<std::uint32_t> retryAfter) {
    std::optional<SipMessage> response = detail::MakeResponseTo(request, code, reason, RandomToken());
    if (!response) {
        return;
    }
    if (retryAfter) {
        response->Add(HeaderType::RetryAfter, std::to_string(*retryAfter));
    }
    if (Transport* transport = FindTransport(source, nullptr)) {
        Attributed({}, [&] { transport->Send(source, response->Encode()); });
    }
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
                FailRequest(failed.ack, error);
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
        // Only the TU's responses can be refused (a response the state does not allow).
        ZEL_LOG(Warning, "transaction {}: {} refused: {}", entry.id, ToString(event.kind), error.what());
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
    Transport* transport = FindTransport(entry.destination, entry.server ? &entry.local : nullptr);
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
        transport->Send(entry.destination, message.Encode(), SendOptions{retransmission, entry.serverName});
    });
}

void TransactionLayer::ArmTimer(Entry& entry, TransactionTimer timer, std::chrono::milliseconds duration) {
    auto& slot = entry.timers[static_cast<std::size_t>(timer)];
    if (!slot) {
        slot = std::make_unique<boost::asio::steady_timer>(io_);
    }
    slot->expires_after(duration);
    slot->async_wait([this, alive = std::weak_ptr<int>(alive_), server = entry.server, key = entry.key,
                      timer](const boost::system::error_code& error) {
        // A stale firing (re-armed or cancelled meanwhile) is recognised by the core itself.
        if (!error && !alive.expired()) {
            Dispatch(server ? servers_ : clients_, key, TransactionEvent::Fired(timer));
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

Transport* TransactionLayer::FindTransport(const Tuple& destination, const Tuple* local) const {
    const bool v6 = destination.address.is_v6();
    Transport* match = nullptr;
    for (const auto& transport : transports_) {
        const Tuple& bound = transport->LocalTuple();
        if (bound.transport != destination.transport || bound.address.is_v6() != v6) {
            continue;
        }
        if (local == nullptr || (bound.port == local->port && bound.address == local->address)) {
            return transport.get();
        }
        if (match == nullptr) {
            match = transport.get();
        }
    }
    return match;
}

std::string TransactionLayer::SentBy(const Transport& transport, const Tuple& destination) const {
    boost::asio::ip::address address = transport.LocalTuple().address;
    if (address.is_unspecified()) {
        // Bound to all interfaces: the address the system routes towards the destination from.
        boost::system::error_code error;
        boost::asio::ip::udp::socket probe(io_);
        probe.open(destination.address.is_v6() ? boost::asio::ip::udp::v6() : boost::asio::ip::udp::v4(), error);
        if (!error) {
            probe.connect(boost::asio::ip::udp::endpoint(destination.address, destination.port != 0 ? destination.port : 5060),
                          error);
        }
        if (!error) {
            auto endpoint = probe.local_endpoint(error);
            if (!error) {
                address = endpoint.address();
            }
        }
        if (error || address.is_unspecified()) {
            address = destination.address.is_v6() ? boost::asio::ip::address(boost::asio::ip::address_v6::loopback())
                                                   : boost::asio::ip::address(boost::asio::ip::address_v4::loopback());
        }
    }
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(transport.LocalTuple().port);
}

std::string TransactionLayer::RandomToken() {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random_()));
    return text;
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
    serverIds_.clear();
    clientIds_.clear();
    servers_.clear();
    clients_.clear();
    for (const auto& transport : transports_) {
        transport->Close();
    }
}

} // namespace zel::sip::stack

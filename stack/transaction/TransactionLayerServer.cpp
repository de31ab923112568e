// The transaction layer's server side: what peers send (parsing, matching, new server
// transactions), CANCEL of an INVITE server transaction and the answers given without a
// transaction (400, 481, 503).

#include "stack/transaction/TransactionLayer.h"

#include <type_traits>
#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/Log.h"
#include "stack/base/Random.h"
#include "stack/transaction/detail/LayerSupport.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

using detail::EventFor;
using detail::Unbracketed;

void TransactionLayer::SendResponse(TransactionId id, SipMessage response) {
    if (shutDown_) {
        return;
    }
    auto it = serverIds_.find(id);
    if (it == serverIds_.end()) {
        RefuseResponse(id, std::move(response), "the transaction is unknown or has ended");
        return;
    }
    const TransactionKey key = it->second;
    auto found = servers_.find(key);
    if (found == servers_.end()) {
        RefuseResponse(id, std::move(response), "the transaction has ended");
        return;
    }
    const bool allowed = std::visit(
        [&response](const auto& core) {
            using CoreType = std::decay_t<decltype(core)>;
            if constexpr (std::is_same_v<CoreType, ServerInviteTransaction> ||
                          std::is_same_v<CoreType, ServerNonInviteTransaction>) {
                return core.AllowsResponse(response);
            } else {
                return false;
            }
        },
        found->second->core);
    if (!allowed) {
        RefuseResponse(id, std::move(response), "the transaction's state does not allow it");
        return;
    }
    Dispatch(servers_, key, TransactionEvent::FromTu(std::move(response)));
}

void TransactionLayer::RefuseResponse(TransactionId id, SipMessage response, std::string_view why) {
    ZEL_LOG(Info, "response {} for transaction {} refused: {}", response.StatusCode(), id, why);
    TransactionUserMessage message = EventFor(id, TransactionUserMessage::Kind::ResponseRefused);
    message.message = std::make_shared<SipMessage>(std::move(response));
    queue_.Push(std::move(message));
}

void TransactionLayer::OnMessage(const Tuple& source, const Tuple& socketLocal, std::string_view message) {
    if (shutDown_) {
        return;
    }
    // A flow's local end names our transport: on a connection we opened the socket's own port is
    // an ephemeral one that no transport is bound to, and neither keep-alives, "like" routing nor
    // the TU's flow bookkeeping could find the transport by it.
    const Tuple local = FlowLocal(socketLocal);
    if (source.connectionId != 0 && !connections_.contains(source.connectionId)) {
        connections_.emplace(source.connectionId, local); // told to the TU when it closes
    }
    // Every step below checks instead of raising; this only keeps a fault of ours (or memory
    // exhaustion) from reaching the transport.
    try {
        HandleMessage(source, local, message);
    } catch (const std::exception& error) {
        ZEL_LOG(Err, "message from {} dropped: {}", ToString(source), error.what());
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
        queue_.PushStray(std::move(message)); // any peer can send these: they have a bound of their own
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
    // The cores raise only for a request without a server key or an ACK, which the caller has
    // ruled out (it looked the key up, and ACKs never get here).
    if (request.Method() == "ACK") {
        return nullptr;
    }
    if (request.Method() == "INVITE") {
        entry->core.emplace<ServerInviteTransaction>(std::move(request), source.transport, clock_, options_.timers);
    } else {
        entry->core.emplace<ServerNonInviteTransaction>(std::move(request), source.transport, clock_, options_.timers);
    }
    Entry& created = *entry;
    serverIds_.emplace(created.id, created.key);
    servers_.emplace(created.key, std::move(entry));
    return &created;
}

void TransactionLayer::HandleResponse(const Tuple& source, const Tuple& local, SipMessage response) {
    if (std::optional<TransactionKey> key = ClientTransactionKey(response)) {
        if (auto it = clients_.find(*key); it != clients_.end()) {
            Entry& entry = *it->second;
            // RFC 3261 section 18.1.2: the top Via's sent-by must be the one we wrote. The branch
            // alone is not proof: this drops a forged response that guessed or saw the branch but
            // names another sender.
            const Via* via = response.Peek<Via>(HeaderType::Via);
            const std::string sentBy = via == nullptr ? std::string()
                                                      : std::string(Unbracketed(via->Host())) + ":" +
                                                            std::to_string(via->HasPort() ? via->Port() : 0);
            if (!IEquals(sentBy, entry.sentBy)) {
                ZEL_LOG(Info, "response from {} dropped: its Via names {}, not {}", ToString(source), sentBy,
                        entry.sentBy);
                return;
            }
            // The flow the request really went over: the connection the response came on.
            if (!IsDatagram(source.transport) && source.connectionId != 0 && !entry.detached) {
                entry.destination.connectionId = source.connectionId;
                entry.local = local;
                Remember(entry);
            }
            Dispatch(clients_, *key, TransactionEvent::FromTransport(std::move(response)));
            return;
        }
    }
    // A 2xx retransmission after the transaction ended, or a response to nothing of ours: the
    // dialog layer decides (it ACKs 2xx retransmissions). Any peer can send these, so they have a
    // bound of their own in the queue and never take the room of transaction events.
    TransactionUserMessage message;
    message.kind = TransactionUserMessage::Kind::Response;
    message.message = std::make_shared<SipMessage>(std::move(response));
    message.source = source;
    message.local = local;
    queue_.PushStray(std::move(message));
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

} // namespace zel::sip::stack

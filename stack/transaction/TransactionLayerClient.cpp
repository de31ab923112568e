// The transaction layer's client side: requests of the transaction user across their targets
// (RFC 3263 failover) and CANCEL of an INVITE client transaction.

#include "stack/transaction/TransactionLayer.h"

#include <utility>

#include "stack/base/Log.h"
#include "stack/transaction/detail/LayerSupport.h"

namespace zel::sip::stack {

using detail::EventFor;
using detail::kIsCore;

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

} // namespace zel::sip::stack

// The transaction layer's client side: requests of the transaction user across their targets
// (RFC 3263 failover) and CANCEL of an INVITE client transaction.

#include "stack/transaction/TransactionLayer.h"

#include <iterator>
#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/Log.h"
#include "stack/base/Random.h"
#include "stack/message/NameAddr.h"
#include "stack/transaction/detail/LayerSupport.h"

namespace zel::sip::stack {

using detail::EventFor;
using detail::kIsCore;

void TransactionLayer::SendRequest(TransactionId id, SipMessage request, const RequestTarget& target,
                                   RequestOptions options) {
    if (shutDown_) {
        return;
    }
    ClientRequest client;
    client.request = std::move(request);
    client.options = options;
    client.ack = client.request.Method() == "ACK";
    StartRequest(id, std::move(client), target);
}

void TransactionLayer::SendAck(TransactionId id, SipMessage ack, const RequestTarget& target, RequestOptions options) {
    if (shutDown_) {
        return;
    }
    ClientRequest client;
    client.request = std::move(ack);
    client.options = options;
    client.ack = true;
    StartRequest(id, std::move(client), target);
}

void TransactionLayer::StartRequest(TransactionId id, ClientRequest client, const RequestTarget& target) {
    const bool ack = client.ack;
    auto refuse = [&](std::errc error) {
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError, std::make_error_code(error)));
        if (!ack) {
            queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
        }
    };
    if (requests_.size() >= options_.maxClientRequests) {
        refuse(std::errc::no_buffer_space);
        return;
    }
    if (const auto* tuple = std::get_if<Tuple>(&target)) {
        client.targets = TargetList({Target{*tuple, {}, {}}});
    } else if (const auto* flow = std::get_if<Flow>(&target)) {
        client.targets = TargetList({Target{flow->remote, {}, {}}});
        client.local = flow->local;
        client.connectionOnly = !IsDatagram(flow->remote.transport) && flow->remote.connectionId != 0;
    } else if (const auto* like = std::get_if<SameTargetAs>(&target)) {
        auto found = remembered_.find(like->earlier);
        if (found == remembered_.end()) {
            refuse(std::errc::no_such_device_or_address);
            return;
        }
        client.targets = TargetList({found->second.target});
        client.local = found->second.local;
        client.connectionOnly = found->second.connectionOnly;
    } else {
        const auto& destination = std::get<Destination>(target);
        if (locator_ == nullptr) {
            refuse(std::errc::operation_not_supported);
            return;
        }
        client.located = true;
        auto [it, inserted] = requests_.insert_or_assign(id, std::move(client));
        it->second.lookup = locator_->Locate(destination, [this, id](std::error_code error, TargetList targets) {
            OnLocated(id, error, std::move(targets));
        });
        return;
    }
    requests_.insert_or_assign(id, std::move(client));
    TryTargets(id, std::make_error_code(std::errc::protocol_not_supported));
}

void TransactionLayer::ForgetTarget(TransactionId id) {
    if (auto it = remembered_.find(id); it != remembered_.end()) {
        rememberedAge_.erase(it->second.age);
        remembered_.erase(it);
    }
}

void TransactionLayer::Remember(const Entry& entry) {
    auto it = remembered_.find(entry.id);
    if (it == remembered_.end()) {
        if (remembered_.size() >= options_.rememberedTargets) {
            remembered_.erase(rememberedAge_.front());
            rememberedAge_.pop_front();
        }
        rememberedAge_.push_back(entry.id);
        it = remembered_.emplace(entry.id, Remembered{{}, {}, false, std::prev(rememberedAge_.end())}).first;
    }
    it->second.target = Target{entry.destination, entry.serverName, {}};
    it->second.local = entry.local;
    it->second.connectionOnly = entry.connectionOnly;
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
    bool ack = false;
    if (auto it = requests_.find(id); it != requests_.end()) {
        ack = it->second.ack;
        requests_.erase(it);
    }
    queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError, error));
    if (!ack) { // an ACK has no transaction to end
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::Terminated));
    }
}

bool TransactionLayer::PrepareRequest(SipMessage& message, const ClientRequest& client, const Target& target,
                                      const Transport& transport, std::string& sentBy) {
    const std::string written = SentBy(transport, target.tuple);
    std::vector<std::string> vias;
    for (std::size_t i = 0; i < message.Count(HeaderType::Via); ++i) {
        vias.push_back(message.ValueText(HeaderType::Via, i));
    }
    message.Remove(HeaderType::Via);
    // RFC 3261 section 18.1.1: the transport and sent-by of the Via are the ones really used; a
    // new branch per target (RFC 3263 section 4.3), unpredictable so that nobody off the path can
    // forge a response that matches (RFC 3261 section 8.1.1.7); rport asks for symmetric
    // responses (RFC 3581).
    message.Add(HeaderType::Via, "SIP/2.0/" + std::string(ToString(target.tuple.transport)) + " " + written +
                                     ";branch=" + std::string(kMagicCookie) + RandomToken() + ";rport");
    for (const std::string& via : vias) {
        message.Add(HeaderType::Via, via);
    }
    if (!message.Has(HeaderType::MaxForwards)) {
        message.Add(HeaderType::MaxForwards, "70");
    }
    // RFC 3261 section 7.3.1: what proxies read goes at the top of the message.
    message.MoveToTop(HeaderType::MaxForwards);
    message.MoveToTop(HeaderType::Via);
    if (client.options.fillContact && message.Has(HeaderType::Contact)) {
        NameAddr* contact = message.Edit<NameAddr>(HeaderType::Contact);
        if (contact == nullptr) {
            return false;
        }
        // The Contact must reach us through the transport the request leaves on.
        Uri& uri = contact->GetUri();
        const Tuple local = LocalEnd(transport, target.tuple);
        uri.SetHost(local.address.to_string());
        uri.SetPort(local.port);
        if (local.transport == TransportType::UDP) {
            uri.Params().Remove("transport");
        } else {
            uri.Params().Set("transport", ToLower(ToString(local.transport)));
        }
    }
    // host:port as written, without brackets, for the check of responses (RFC 3261 section 18.1.2).
    const std::size_t colon = written.rfind(':');
    sentBy = std::string(detail::Unbracketed(std::string_view(written).substr(0, colon))) + written.substr(colon);
    return true;
}

bool TransactionLayer::StartClient(TransactionId id, ClientRequest& client, const Target& target) {
    Transport* transport =
        FindTransport(target.tuple, client.local ? &*client.local : nullptr, client.local.has_value());
    if (transport == nullptr) {
        return false;
    }
    if (!client.ack && clients_.size() >= 2 * options_.maxClientRequests) { // failed-over ones count too
        FailRequest(id, std::make_error_code(std::errc::no_buffer_space));
        return true;
    }
    SipMessage message;
    std::string sentBy;
    bool prepared = false;
    try {
        message = client.request;
        prepared = PrepareRequest(message, client, target, *transport, sentBy);
    } catch (const std::exception& error) {
        // The TU's own message (checked by the stack facade before it was posted).
        ZEL_LOG(Warning, "request {} cannot be sent: {}", id, error.what());
    }
    if (!prepared) {
        FailRequest(id, std::make_error_code(std::errc::invalid_argument));
        return true;
    }

    if (client.ack) {
        SendAckTo(id, client, std::move(message), target, *transport);
        return true;
    }

    auto entry = std::make_unique<Entry>();
    entry->id = id;
    entry->destination = target.tuple;
    entry->serverName = target.tlsName;
    entry->local = LocalEnd(*transport, target.tuple);
    entry->connectionOnly = client.connectionOnly;
    entry->sentBy = std::move(sentBy);
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
    Remember(started);
    Run(clients_, started, StartCore(started));
    return true;
}

// ---- ACK of a 2xx -------------------------------------------------------------------------------

void TransactionLayer::SendAckTo(TransactionId id, ClientRequest& client, SipMessage message, const Target& target,
                                 Transport& transport) {
    // RFC 3261 section 17.1.1.3: the ACK of a 2xx is the TU's own request, sent without a
    // transaction. It is kept as sent: a retransmitted 2xx is answered with the same bytes.
    ForgetAckNow(id);
    if (acks_.size() >= options_.rememberedAcks) {
        ForgetAckNow(ackAge_.front());
    }
    ackAge_.push_back(id);
    KeptAck& kept = acks_[id];
    kept.bytes = message.Encode();
    kept.target = target;
    kept.local = LocalEnd(transport, target.tuple);
    kept.connectionOnly = client.connectionOnly;
    kept.age = std::prev(ackAge_.end());
    kept.expiry = std::make_unique<boost::asio::steady_timer>(io_);
    kept.expiry->expires_after(64 * options_.timers.t1);
    kept.expiry->async_wait([this, alive = std::weak_ptr<int>(alive_), id](const boost::system::error_code& error) {
        if (!error && !alive.expired()) {
            ForgetAckNow(id);
        }
    });
    CurrentSend current;
    current.ack = id;
    Attributed(std::move(current), [&] {
        transport.Send(kept.target.tuple, kept.bytes, SendOptions{false, kept.target.tlsName, kept.connectionOnly});
    });
    requests_.erase(id); // `client` and `target` live in it: last
}

void TransactionLayer::RetransmitAck(TransactionId id) {
    if (shutDown_) {
        return;
    }
    auto it = acks_.find(id);
    if (it == acks_.end()) {
        return;
    }
    KeptAck& kept = it->second;
    Transport* transport = FindTransport(kept.target.tuple, &*kept.local, true);
    if (transport == nullptr) {
        queue_.Push(EventFor(id, TransactionUserMessage::Kind::TransportError,
                             std::make_error_code(std::errc::protocol_not_supported)));
        return;
    }
    CurrentSend current;
    current.ack = id;
    Attributed(std::move(current), [&] {
        transport->Send(kept.target.tuple, kept.bytes, SendOptions{true, kept.target.tlsName, kept.connectionOnly});
    });
}

void TransactionLayer::ForgetAck(TransactionId id) {
    if (!shutDown_) {
        ForgetAckNow(id);
    }
}

void TransactionLayer::ForgetAckNow(TransactionId id) {
    if (auto it = acks_.find(id); it != acks_.end()) {
        ackAge_.erase(it->second.age);
        acks_.erase(it); // its expiry wait ends with operation_aborted
    }
}

void TransactionLayer::SendCancel(TransactionId id, TransactionId invite, std::optional<SipMessage> model) {
    if (shutDown_) {
        return;
    }
    if (model) {
        cancelModels_.insert_or_assign(id, std::move(*model));
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
        cancelModels_.erase(id);
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
    entry->local = invite.local;
    entry->connectionOnly = invite.connectionOnly;
    entry->sentBy = invite.sentBy; // the CANCEL carries the INVITE's Via
    std::optional<SipMessage> model;
    if (auto found = cancelModels_.find(id); found != cancelModels_.end()) {
        model = std::move(found->second);
        cancelModels_.erase(found);
    }
    try {
        // RFC 3261 section 9.1: Request-URI, Call-ID, To, From, the CSeq number, the top Via and
        // the Route set are the INVITE's, whatever the user's model says; the rest is the user's.
        SipMessage cancel = SipMessage::MakeRequest("CANCEL", *request.RequestUri());
        if (model) {
            cancel = std::move(*model);
            cancel.SetMethod("CANCEL");
            cancel.SetRequestUri(*request.RequestUri());
            for (HeaderType type : {HeaderType::Via, HeaderType::Route, HeaderType::From, HeaderType::To,
                                    HeaderType::CallId, HeaderType::CSeq}) {
                cancel.Remove(type);
            }
        }
        cancel.Add(HeaderType::Via, request.ValueText(HeaderType::Via, 0));
        if (!cancel.Has(HeaderType::MaxForwards)) {
            cancel.Add(HeaderType::MaxForwards, "70");
        }
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
    cancelModels_.erase(id);
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

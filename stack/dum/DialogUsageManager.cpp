#include "stack/dum/DialogUsageManager.h"

#include <boost/asio/post.hpp>

#include <stdexcept>
#include <utility>

#include "stack/base/Log.h"
#include "stack/base/Random.h"
#include "stack/body/Body.h"
#include "stack/dum/ClientRegistration.h"
#include "stack/dum/InviteSession.h"
#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"
#include "stack/message/Token.h"
#include "stack/dum/UasChecks.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

std::pair<std::string, std::string> FlowKey(const Flow& flow) {
    return {ToString(flow.local), ToString(flow.remote) + "#" + std::to_string(flow.remote.connectionId)};
}

std::string CallIdOf(const SipMessage& message) {
    const CallId* callId = message.Peek<CallId>(HeaderType::CallId);
    return callId != nullptr ? callId->Value() : std::string();
}

/// The request a Make... call made, with the usage it starts.
class RegistrationRequest final : public InitialRequest {
public:
    RegistrationRequest(std::shared_ptr<UserProfile> profile, NameAddr aor, RegistrationCore core)
        : profile_(std::move(profile)), aor_(std::move(aor)), core_(std::move(core)) {}
    const std::shared_ptr<UserProfile>& Profile() const noexcept override { return profile_; }

    std::shared_ptr<UserProfile> profile_;
    NameAddr aor_;
    RegistrationCore core_;
};

/// An INVITE a MakeInviteSession call made, with what its session needs.
class InviteRequest final : public InitialRequest {
public:
    InviteRequest(std::shared_ptr<UserProfile> profile, SipMessage invite, Uri target, std::unique_ptr<Body> offer)
        : profile_(std::move(profile)), callId_(CallIdOf(invite)), invite_(std::move(invite)), target_(std::move(target)),
          offer_(std::move(offer)) {}
    const std::shared_ptr<UserProfile>& Profile() const noexcept override { return profile_; }
    const std::string& CallId() const noexcept override { return callId_; }

    std::shared_ptr<UserProfile> profile_;
    std::string callId_;
    SipMessage invite_;
    Uri target_;
    std::unique_ptr<Body> offer_;
};

std::string_view TagOf(const SipMessage& message, HeaderType type) {
    const NameAddr* address = message.Peek<NameAddr>(type);
    const Parameter* tag = address != nullptr ? address->Params().Find("tag") : nullptr;
    return tag != nullptr ? std::string_view(tag->value) : std::string_view();
}


} // namespace

/// The stack calls this on the dialog thread (through the executor the manager attached).
class DialogUsageManager::Sink final : public TransactionUserSink {
public:
    explicit Sink(DialogUsageManager& manager) : manager_(manager) {}
    void OnTransactionUserMessage(TransactionUserMessage message) override {
        manager_.OnTransactionUserMessage(std::move(message));
    }

private:
    DialogUsageManager& manager_;
};

DialogUsageManager::DialogUsageManager(SipStack& stack, DumThread& thread, DumOptions options)
    : stack_(stack), thread_(thread), options_(options), sink_(std::make_unique<Sink>(*this)),
      masterProfile_(std::make_shared<MasterProfile>()) {
    stack_.AttachTransactionUser(thread_.Executor(), *sink_);
}

DialogUsageManager::~DialogUsageManager() {
    // The dialog thread has been joined: nothing runs concurrently. Usages unregister their
    // handles and flows as they go.
    sessions_.clear();
    registrations_.clear();
}

// ---- configuration ----------------------------------------------------------------------------------

void DialogUsageManager::SetMasterProfile(std::shared_ptr<MasterProfile> profile) {
    if (profile == nullptr) {
        throw std::invalid_argument("DialogUsageManager::SetMasterProfile: null profile");
    }
    std::lock_guard lock(profileMutex_);
    masterProfile_ = std::move(profile);
}

std::shared_ptr<MasterProfile> DialogUsageManager::GetMasterProfile() const {
    std::lock_guard lock(profileMutex_);
    return masterProfile_;
}

void DialogUsageManager::SetClientRegistrationHandler(ClientRegistrationHandler* handler) {
    registrationHandler_ = handler;
}

// ---- requests and commands -----------------------------------------------------------------------------

std::shared_ptr<InitialRequest> DialogUsageManager::MakeRegistration(const NameAddr& aor,
                                                                     std::shared_ptr<UserProfile> profile,
                                                                     std::optional<std::uint32_t> expires) {
    if (profile == nullptr) {
        profile = GetMasterProfile();
    }
    const Uri& aorUri = aor.GetUri();
    if (!aorUri.IsSip() || aorUri.Host().empty()) {
        throw std::invalid_argument("an address of record must be a sip or sips URI with a host: " + aor.ToString());
    }
    const ProfileSettings settings = profile->Snapshot();

    RegistrationSettings registration;
    registration.registrationTime = std::chrono::seconds(expires.value_or(settings.defaultRegistrationTime));
    if (registration.registrationTime.count() == 0) {
        throw std::invalid_argument("a registration needs a registration time above 0 (end it to remove it)");
    }
    registration.maximumRegistrationTime = std::chrono::seconds(settings.maxRegistrationTime);
    if (settings.registrationRetryTime != 0) {
        registration.retryTime = std::chrono::seconds(settings.registrationRetryTime);
    }
    registration.outbound = settings.clientOutboundEnabled && !settings.instanceId.empty() && settings.regId > 0;
    registration.instanceId = settings.instanceId;
    if (settings.regId > 0) {
        registration.regId = static_cast<std::uint32_t>(settings.regId);
    }
    for (const Parameter& capability : settings.userAgentCapabilities.Params()) {
        registration.capabilities.push_back(capability);
    }
    for (const std::string& tag : settings.AdvertisedOptionTags()) {
        registration.supported.push_back(tag);
    }

    // Our Contact: the address of record's user at the host and port of the transport the stack
    // picks (filled in when it is sent), or at the profile's override.
    Uri contactUri;
    contactUri.SetScheme(aorUri.Scheme());
    contactUri.SetUser(aorUri.User());
    if (settings.overrideHostAndPort) {
        contactUri.SetHost(settings.overrideHostAndPort->Host());
        if (settings.overrideHostAndPort->HasPort()) {
            contactUri.SetPort(settings.overrideHostAndPort->Port());
        }
        if (const Parameter* transport = settings.overrideHostAndPort->Params().Find("transport")) {
            contactUri.Params().Set("transport", transport->value);
        }
    } else {
        contactUri.SetHost("invalid"); // replaced by the transport's address when sent
    }
    std::shared_ptr<const RegistrationSettings> shared;
    {
        const std::lock_guard lock(profileMutex_);
        if (lastRegistrationSettings_ == nullptr || !(*lastRegistrationSettings_ == registration)) {
            lastRegistrationSettings_ = std::make_shared<const RegistrationSettings>(std::move(registration));
        }
        shared = lastRegistrationSettings_;
    }
    NameAddr aorWithoutTag = aor;
    aorWithoutTag.Params().Remove("tag");
    RegistrationCore core(aorWithoutTag, NameAddr(contactUri), std::move(shared), RandomHex(16), RandomHex(8));
    return std::make_shared<RegistrationRequest>(std::move(profile), std::move(aorWithoutTag), std::move(core));
}

std::shared_ptr<InitialRequest> DialogUsageManager::MakeInviteSession(const NameAddr& target,
                                                                      std::shared_ptr<UserProfile> profile,
                                                                      const Body* offer) {
    if (inviteHandler_ == nullptr) {
        throw std::logic_error("MakeInviteSession: no invite session handler is set");
    }
    if (profile == nullptr) {
        profile = GetMasterProfile();
    }
    const Uri& targetUri = target.GetUri();
    if (!targetUri.IsSip() || targetUri.Host().empty()) {
        throw std::invalid_argument("an INVITE needs a sip or sips URI with a host: " + target.ToString());
    }
    const ProfileSettings settings = profile->Snapshot();
    if (settings.defaultFrom.GetUri().Host().empty()) {
        throw std::invalid_argument("MakeInviteSession: the profile has no default From address");
    }
    SipMessage invite = SipMessage::MakeRequest("INVITE", targetUri);
    NameAddr to = target;
    to.Params().Remove("tag");
    NameAddr from = settings.defaultFrom;
    from.Params().Set("tag", RandomHex(8));
    invite.Add(HeaderType::To, to);
    invite.Add(HeaderType::From, from);
    invite.Add(HeaderType::CallId, CallId(RandomHex(16)));
    invite.Add(HeaderType::CSeq, CSeq(1, "INVITE"));

    // Our Contact: the From user at the transport's address (filled in when sent) or the override.
    Uri contactUri;
    contactUri.SetScheme(from.GetUri().Scheme());
    contactUri.SetUser(from.GetUri().User());
    if (settings.overrideHostAndPort) {
        contactUri.SetHost(settings.overrideHostAndPort->Host());
        if (settings.overrideHostAndPort->HasPort()) {
            contactUri.SetPort(settings.overrideHostAndPort->Port());
        }
        if (const Parameter* transport = settings.overrideHostAndPort->Params().Find("transport")) {
            contactUri.Params().Set("transport", transport->value);
        }
    } else {
        contactUri.SetHost("invalid");
    }
    invite.Add(HeaderType::Contact, NameAddr(contactUri));
    for (const std::string& method : settings.methods) {
        invite.Add(HeaderType::Allow, method);
    }
    for (const std::string& tag : settings.AdvertisedOptionTags()) {
        invite.Add(HeaderType::Supported, Token(tag));
    }
    // RFC 3262 section 4: what we take as the caller (the advertised tags follow the UAS mode).
    ReliableProvisionalUac::AddOptionTags(invite, settings.uacReliableProvisionalMode);
    if (!settings.userAgent.empty()) {
        invite.Set(HeaderType::UserAgent, settings.userAgent);
    }
    std::unique_ptr<Body> body;
    if (offer != nullptr) {
        body = offer->Clone();
        body->PrepareToEncode();
        invite.SetBody(body->Encode(), body->ContentType().ToMime());
    }
    // The first hop: the outbound proxy (as a loose Route when the profile says so), else the
    // target located by RFC 3263.
    Uri hop = targetUri;
    if (settings.outboundProxy) {
        hop = *settings.outboundProxy;
        if (settings.expressOutboundAsRouteSet) {
            Uri route = hop;
            if (!route.Params().Has("lr")) {
                route.Params().SetFlag("lr");
            }
            invite.Add(HeaderType::Route, NameAddr(route));
        }
    }
    return std::make_shared<InviteRequest>(std::move(profile), std::move(invite), std::move(hop), std::move(body));
}

void DialogUsageManager::SendCommand(std::shared_ptr<InitialRequest> request) {
    if (dynamic_cast<InviteRequest*>(request.get()) != nullptr) {
        Post([this, request = std::move(request)] {
            auto* made = static_cast<InviteRequest*>(request.get());
            if (shuttingDown_) {
                ZEL_LOG(Info, "an INVITE is dropped: the dialog layer is shutting down");
                return;
            }
            auto usage = std::make_unique<ClientInviteSession>(*this, made->profile_, std::move(made->invite_),
                                                               std::move(made->target_), std::move(made->offer_));
            ClientInviteSession& started = *usage;
            sessionsBySet_[started.set_->Id()] = started.GetId();
            sessions_.emplace(started.GetId(), std::move(usage));
            started.Start();
            Reap();
        });
        return;
    }
    auto* registration = dynamic_cast<RegistrationRequest*>(request.get());
    if (registration == nullptr) {
        throw std::invalid_argument("DialogUsageManager::SendCommand: not a request made by this manager");
    }
    Post([this, request = std::move(request)] {
        auto* made = static_cast<RegistrationRequest*>(request.get());
        if (shuttingDown_) {
            ZEL_LOG(Info, "a REGISTER for {} is dropped: the dialog layer is shutting down", made->aor_.ToString());
            return;
        }
        auto usage = std::make_unique<ClientRegistration>(*this, made->profile_, std::move(made->core_));
        ClientRegistration& started = *usage;
        registrations_.emplace(started.GetId(), std::move(usage));
        started.Start();
        Reap();
    });
}

void DialogUsageManager::Post(std::function<void()> command) {
    if (!command) {
        throw std::invalid_argument("DialogUsageManager::Post: empty command");
    }
    thread_.Post(std::move(command));
}

// ---- stack events ----------------------------------------------------------------------------------------

void DialogUsageManager::OnTransactionUserMessage(TransactionUserMessage message) {
    using Kind = TransactionUserMessage::Kind;
    switch (message.kind) {
    case Kind::Request:
        OnRequest(message);
        break;
    case Kind::Response:
        if (message.transaction == 0) {
            // A 2xx retransmitted after our INVITE transaction ended, or a second fork's 2xx.
            if (message.message != nullptr && message.message->StatusCode() >= 200 &&
                message.message->StatusCode() < 300) {
                const DialogSetId id{CallIdOf(*message.message), std::string(TagOf(*message.message, HeaderType::From))};
                if (InviteSession* session = FindSession(id)) {
                    session->OnResponse(message);
                }
            }
            break;
        }
        OnClientEvent(message);
        break;
    case Kind::Timeout:
    case Kind::TransportError:
    case Kind::Terminated:
        OnClientEvent(message);
        break;
    case Kind::FlowFailed:
    case Kind::ConnectionClosed:
        OnFlowEvent(message);
        break;
    case Kind::ResponseRefused:
        ZEL_LOG(Info, "the transaction layer refused our response for transaction {}", message.transaction);
        break;
    }
    Reap();
}

void DialogUsageManager::OnRequest(TransactionUserMessage& message) {
    if (message.message == nullptr) {
        return;
    }
    const SipMessage& request = *message.message;
    if (RouteToSession(message)) {
        return;
    }
    if (request.Method() == "ACK" || message.cancelled != 0) {
        return; // nothing of ours to acknowledge or cancel
    }
    if (message.transaction == 0) {
        return;
    }
    const std::string toTag = RandomHex(8);
    if (shuttingDown_) {
        if (std::optional<SipMessage> response = detail::MakeResponseTo(request, 503, "Service Unavailable", toTag)) {
            Respond(message.transaction, std::move(*response));
        }
        return;
    }
    const ProfileSettings settings = GetMasterProfile()->Snapshot();
    UasCheckResult result = ScreenRequestOutsideDialog(request, settings, merged_, Now(), toTag);
    if (result.drop) {
        return;
    }
    if (result.response) {
        Respond(message.transaction, std::move(*result.response));
        return;
    }
    if (request.Method() == "INVITE" && inviteHandler_ != nullptr) {
        StartServerSession(message, toTag);
        return;
    }
    // Nothing here takes this request: say so rather than leave the peer waiting.
    if (std::optional<SipMessage> response = detail::MakeResponseTo(request, 480, "Temporarily Unavailable", toTag)) {
        Respond(message.transaction, std::move(*response));
    }
}

void DialogUsageManager::Respond(TransactionId transaction, SipMessage response) {
    const std::string userAgent = GetMasterProfile()->UserAgent();
    if (!userAgent.empty() && !response.Has(HeaderType::UserAgent)) {
        response.Set(HeaderType::UserAgent, userAgent);
    }
    stack_.SendResponse(transaction, std::move(response));
}

void DialogUsageManager::OnClientEvent(TransactionUserMessage& message) {
    using Kind = TransactionUserMessage::Kind;
    const auto found = clientTransactions_.find(message.transaction);
    if (found == clientTransactions_.end()) {
        return; // stray, or its usage has gone
    }
    const std::uint64_t usageId = found->second;
    if (const auto session = sessions_.find(usageId); session != sessions_.end()) {
        InviteSession& usage = *session->second;
        switch (message.kind) {
        case Kind::Response:
            usage.OnResponse(message);
            break;
        case Kind::Timeout:
        case Kind::TransportError:
            usage.OnTransactionFailure(message.transaction, message.kind == Kind::Timeout);
            break;
        case Kind::Terminated:
            clientTransactions_.erase(message.transaction);
            if (handles_.IsLive(usageId)) {
                usage.OnTransactionEnded(message.transaction);
            }
            break;
        default:
            break;
        }
        return;
    }
    const auto registration = registrations_.find(usageId);
    if (registration == registrations_.end()) {
        clientTransactions_.erase(found);
        return;
    }
    ClientRegistration& usage = *registration->second;
    switch (message.kind) {
    case Kind::Response:
        if (message.transaction == usage.transaction_) {
            usage.OnResponse(message);
        }
        break;
    case Kind::Timeout:
        if (message.transaction == usage.transaction_) {
            usage.OnTransactionFailure(true);
        }
        break;
    case Kind::TransportError:
        if (message.transaction == usage.transaction_) {
            usage.OnTransactionFailure(false);
        }
        break;
    case Kind::Terminated:
        clientTransactions_.erase(message.transaction);
        if (handles_.IsLive(usageId)) {
            usage.OnTransactionEnded(message.transaction);
        }
        break;
    default:
        break;
    }
}

InviteSession* DialogUsageManager::FindSession(const DialogSetId& id) {
    const auto found = sessionsBySet_.find(id);
    if (found == sessionsBySet_.end()) {
        return nullptr;
    }
    const auto session = sessions_.find(found->second);
    return session != sessions_.end() ? session->second.get() : nullptr;
}

bool DialogUsageManager::RouteToSession(TransactionUserMessage& message) {
    const SipMessage& request = *message.message;
    if (message.cancelled != 0) {
        const auto found = serverInvites_.find(message.cancelled);
        if (found != serverInvites_.end()) {
            if (const auto session = sessions_.find(found->second); session != sessions_.end()) {
                session->second->OnCancel();
            }
        }
        return true; // the transaction layer has answered the CANCEL itself
    }
    const std::string_view toTag = TagOf(request, HeaderType::To);
    if (toTag.empty()) {
        return false;
    }
    InviteSession* session = FindSession(DialogSetId{CallIdOf(request), std::string(toTag)});
    if (session == nullptr) {
        return false;
    }
    if (request.Method() == "ACK") {
        session->OnAck(request);
    } else if (message.transaction != 0) {
        session->OnRequest(message);
    }
    return true;
}

void DialogUsageManager::StartServerSession(TransactionUserMessage& message, const std::string& toTag) {
    const SipMessage& request = *message.message;
    const ProfileSettings settings = GetMasterProfile()->Snapshot();
    if (auto refusal = ReliableProvisionalUas::Rejection(settings.uasReliableProvisionalMode, request, toTag)) {
        Respond(message.transaction, std::move(*refusal)); // 421: we send reliably only (RFC 3262 section 3)
        return;
    }
    const NameAddr* to = request.Peek<NameAddr>(HeaderType::To);
    NameAddr identity = to != nullptr ? *to : NameAddr();
    std::string error;
    std::optional<Dialog> dialog =
        Dialog::CreateAsUas(request, toTag, InviteSession::MakeContact(settings, message.local, identity), &error);
    if (!dialog) {
        ZEL_LOG(Info, "an INVITE that cannot make a dialog is refused: {}", error);
        if (std::optional<SipMessage> response = detail::MakeResponseTo(request, 400, "Bad Request", toTag)) {
            Respond(message.transaction, std::move(*response));
        }
        return;
    }
    InviteSession::Received received{message.message, message.transaction, message.local, message.source};
    auto usage = std::make_unique<ServerInviteSession>(*this, GetMasterProfile(), std::move(received), std::move(*dialog));
    ServerInviteSession& started = *usage;
    sessionsBySet_[started.set_->Id()] = started.GetId();
    serverInvites_[message.transaction] = started.GetId();
    sessions_.emplace(started.GetId(), std::move(usage));
    started.Start();
}

void DialogUsageManager::OnFlowEvent(TransactionUserMessage& message) {
    if (message.kind == TransactionUserMessage::Kind::ConnectionClosed) {
        // Ids first: a handler told of one session may start or end others.
        std::vector<std::uint64_t> ids;
        for (const auto& [id, session] : sessions_) {
            ids.push_back(id);
        }
        for (const std::uint64_t id : ids) {
            if (const auto session = sessions_.find(id); session != sessions_.end()) {
                session->second->OnFlowClosed(Flow{message.local, message.source});
            }
        }
    }
    const auto found = flows_.find(FlowKey(Flow{message.local, message.source}));
    if (found == flows_.end()) {
        return;
    }
    const std::uint64_t usageId = found->second;
    flows_.erase(found);
    if (const auto registration = registrations_.find(usageId); registration != registrations_.end()) {
        registration->second->OnFlowFailed();
    }
}

// ---- plumbing for usages ---------------------------------------------------------------------------------

void DialogUsageManager::Track(TransactionId transaction, std::uint64_t usage) {
    if (transaction != 0) {
        clientTransactions_[transaction] = usage;
    }
}

void DialogUsageManager::Untrack(TransactionId transaction) { clientTransactions_.erase(transaction); }

void DialogUsageManager::WatchFlow(const Flow& flow, std::uint64_t usage) { flows_[FlowKey(flow)] = usage; }

void DialogUsageManager::UnwatchFlow(const Flow& flow) { flows_.erase(FlowKey(flow)); }

void DialogUsageManager::Finished(std::uint64_t usage) { finished_.push_back(usage); }

void DialogUsageManager::Reap() {
    if (reaping_) {
        return;
    }
    reaping_ = true;
    // Only the usages that finished since the last turn: a manager with many registrations must
    // not walk all of them for every message.
    while (!finished_.empty()) {
        const std::uint64_t id = finished_.back();
        finished_.pop_back();
        registrations_.erase(id);
        if (const auto session = sessions_.find(id); session != sessions_.end()) {
            sessionsBySet_.erase(session->second->set_->Id());
            if (const InviteSession::Received* initial = session->second->Initial()) {
                serverInvites_.erase(initial->transaction);
            }
            sessions_.erase(session);
        }
    }
    reaping_ = false;
    CheckShutdown();
}

// ---- shutdown -----------------------------------------------------------------------------------------------

void DialogUsageManager::Shutdown(DumShutdownHandler& handler) {
    if (shutdownRequested_.exchange(true)) {
        return;
    }
    Post([this, &handler] {
        shuttingDown_ = true;
        shutdownHandler_ = &handler;
        shutdownTimer_.emplace(thread_.Executor());
        shutdownTimer_->expires_after(options_.shutdownTimeout);
        shutdownTimer_->async_wait([this](const boost::system::error_code& error) {
            if (error || shutdownDone_) {
                return;
            }
            ZEL_LOG(Warning, "dialog layer shutdown: {} registrations and {} sessions did not end in time; dropping them",
                    registrations_.size(), sessions_.size());
            for (auto& [id, registration] : registrations_) {
                registration->Abandon();
            }
            for (auto& [id, session] : sessions_) {
                session->Abandon();
            }
            clientTransactions_.clear();
            Reap();
            FinishShutdown();
        });
        // Ending may finish usages at once (nothing to remove), so walk over a copy of the ids.
        std::vector<std::uint64_t> ids;
        for (const auto& [id, registration] : registrations_) {
            ids.push_back(id);
        }
        for (const auto& [id, session] : sessions_) {
            ids.push_back(id);
        }
        for (const std::uint64_t id : ids) {
            if (const auto it = registrations_.find(id); it != registrations_.end()) {
                it->second->EndForShutdown();
            } else if (const auto session = sessions_.find(id); session != sessions_.end()) {
                session->second->EndForShutdown();
            }
        }
        Reap();
    });
}

void DialogUsageManager::CheckShutdown() {
    if (!shuttingDown_ || shutdownDone_) {
        return;
    }
    if (registrations_.empty() && sessions_.empty()) {
        FinishShutdown();
    }
}

void DialogUsageManager::FinishShutdown() {
    if (shutdownDone_) {
        return;
    }
    shutdownDone_ = true;
    if (shutdownTimer_) {
        shutdownTimer_->cancel();
    }
    ZEL_LOG(Info, "dialog layer shut down");
    if (shutdownHandler_ != nullptr) {
        shutdownHandler_->onDumCanBeDeleted();
    }
}

} // namespace zel::sip::stack

#include "stack/dum/DialogUsageManager.h"

#include <boost/asio/post.hpp>

#include <stdexcept>
#include <utility>

#include "stack/base/Log.h"
#include "stack/base/Random.h"
#include "stack/dum/ClientRegistration.h"
#include "stack/dum/UasChecks.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

std::pair<std::string, std::string> FlowKey(const Flow& flow) {
    return {ToString(flow.local), ToString(flow.remote) + "#" + std::to_string(flow.remote.connectionId)};
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
    NameAddr aorWithoutTag = aor;
    aorWithoutTag.Params().Remove("tag");
    RegistrationCore core(aorWithoutTag, NameAddr(contactUri), std::move(registration), RandomHex(16),
                          RandomHex(8));
    return std::make_shared<RegistrationRequest>(std::move(profile), std::move(aorWithoutTag), std::move(core));
}

void DialogUsageManager::SendCommand(std::shared_ptr<InitialRequest> request) {
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
        auto usage = std::make_unique<ClientRegistration>(*this, made->profile_, made->aor_, std::move(made->core_));
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
    if (request.Method() == "ACK" || message.cancelled != 0) {
        return; // no invite sessions here: nothing to acknowledge or cancel
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
    // Nothing here takes a new dialog or request yet: say so rather than leave the peer waiting.
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

void DialogUsageManager::OnFlowEvent(TransactionUserMessage& message) {
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
            ZEL_LOG(Warning, "dialog layer shutdown: {} registrations did not end in time; dropping them",
                    registrations_.size());
            for (auto& [id, registration] : registrations_) {
                registration->Abandon();
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
        for (const std::uint64_t id : ids) {
            if (const auto it = registrations_.find(id); it != registrations_.end()) {
                it->second->EndForShutdown();
            }
        }
        Reap();
    });
}

void DialogUsageManager::CheckShutdown() {
    if (!shuttingDown_ || shutdownDone_) {
        return;
    }
    if (registrations_.empty()) {
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

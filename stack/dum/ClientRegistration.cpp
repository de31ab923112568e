#include "stack/dum/ClientRegistration.h"

#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/Log.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/UasChecks.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

} // namespace

ClientRegistration::ClientRegistration(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile,
                                       RegistrationCore core)
    : Usage(manager.Handles()), manager_(manager), profile_(std::move(profile)), core_(std::move(core)),
      timer_(manager.Thread().Executor()) {}

ClientRegistration::~ClientRegistration() {
    timer_.cancel();
    if (lastAnswered_ != 0) {
        manager_.stack_.ForgetTarget(lastAnswered_);
    }
    StopKeepAlive();
    if (transaction_ != 0) {
        manager_.Untrack(transaction_);
    }
}

ClientRegistrationHandler* ClientRegistration::Handler() const { return manager_.GetClientRegistrationHandler(); }

std::vector<NameAddr> ClientRegistration::AllContacts() const {
    std::vector<NameAddr> contacts;
    std::string_view rest = allContacts_;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        NameAddr contact;
        if (NameAddr::TryParse(rest.substr(0, end), contact)) {
            contacts.push_back(std::move(contact));
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return contacts;
}

// ---- what the application asks ------------------------------------------------------------------

void ClientRegistration::Start() { Apply(core_.Start(Now()), nullptr); }

void ClientRegistration::End() {
    if (finished_) {
        return;
    }
    Apply(core_.End(Now()), nullptr);
}

void ClientRegistration::RequestRefresh() {
    if (finished_ || core_.GetState() != RegistrationCore::State::Registered) {
        return;
    }
    if (newFlow_) {
        Apply(core_.OnFlowFailed(Now()), nullptr);
        return;
    }
    // The core refreshes when its timer fires; firing it now is the refresh.
    timer_.cancel();
    Apply(core_.OnTimer(core_.BindingExpiry().value_or(Now())), nullptr);
}

void ClientRegistration::EndForShutdown() {
    shutdown_ = true;
    // The core knows what ending means in each state: remove a live binding (also after a failed
    // refresh), wait for a REGISTER in progress, or end at once when there is nothing to remove.
    End();
}

void ClientRegistration::Finish() {
    if (!finished_) {
        finished_ = true;
        manager_.Finished(GetId());
    }
}

void ClientRegistration::Abandon() {
    timer_.cancel();
    StopKeepAlive();
    Finish();
}

// ---- stack events -------------------------------------------------------------------------------

void ClientRegistration::OnResponse(TransactionUserMessage& message) {
    if (finished_ || message.message == nullptr || !sent_) {
        return;
    }
    const SipMessage& response = *message.message;
    const int code = response.StatusCode();
    if (code < 200) {
        return;
    }
    if (lastAnswered_ != 0 && lastAnswered_ != message.transaction) {
        manager_.stack_.ForgetTarget(lastAnswered_);
    }
    lastAnswered_ = message.transaction;
    const RegistrationCore::State state = core_.GetState();
    const bool inProgress = state == RegistrationCore::State::Registering ||
                            state == RegistrationCore::State::Refreshing || state == RegistrationCore::State::Removing;
    if ((code == 401 || code == 407) && manager_.clientAuthentication_ && inProgress) {
        const ProfileSettings settings = profile_->Snapshot();
        if (auth_.HandleChallenge(*sent_, response, settings.digestCredentials)) {
            // The answer goes to the server that challenged: its nonce is its own.
            Send(core_.Resend(), /*sameHop=*/true);
            return;
        }
    }
    if (code >= 200 && code < 300) {
        flow_ = Flow{message.local, message.source};
        if (!profile_->Snapshot().overrideHostAndPort) {
            // The stack wrote the address of the transport the REGISTER left on into our Contact
            // (the flow's local end); the registrar lists our binding under that address.
            Uri contact = sent_->Peek<NameAddr>(HeaderType::Contact) != nullptr
                              ? sent_->Peek<NameAddr>(HeaderType::Contact)->GetUri()
                              : Uri();
            contact.SetHost(message.local.address.to_string());
            contact.SetPort(message.local.port);
            if (message.local.transport == TransportType::UDP) {
                contact.Params().Remove("transport");
            } else {
                contact.Params().Set("transport", ToLower(ToString(message.local.transport)));
            }
            contact.Params().Remove("ob"); // the core adds it while outbound is asked for
            core_.SetContactUri(std::move(contact));
        }
        // ValueText writes line folds as spaces and drops stray CR and LF, so a line feed
        // separates the values unambiguously.
        allContacts_.clear();
        for (std::size_t i = 0; i < response.Count(HeaderType::Contact); ++i) {
            if (i != 0) {
                allContacts_ += '\n';
            }
            allContacts_ += response.ValueText(HeaderType::Contact, i);
        }
        allContacts_.shrink_to_fit();
    }
    // The REGISTER is answered: its copy as sent is needed no more (a registration holds on to
    // as little as it can; the core builds the next request from its own state).
    sent_.reset();
    Apply(core_.OnResponse(response, Now()), &response);
    // Only the refreshes of an outbound registration (and the answer to a challenge, which comes
    // with a transaction of its own) go back to the hop that answered: without outbound in effect
    // the transaction layer need not remember where this REGISTER went for the life of the binding.
    if (!finished_ && lastAnswered_ == message.transaction && !core_.IsOutboundInEffect()) {
        manager_.stack_.ForgetTarget(lastAnswered_);
        lastAnswered_ = 0;
    }
}

void ClientRegistration::OnTransactionFailure(bool timeout) {
    if (finished_ || !sent_) {
        return;
    }
    const SipMessage response = timeout ? LocalResponse(408, "Request Timeout") : LocalResponse(503, "Service Unavailable");
    newFlow_ = true; // the path the request took is broken: locate the registrar again
    Apply(core_.OnTransactionFailure(timeout, Now()), &response);
}

void ClientRegistration::OnTransactionEnded(TransactionId transaction) {
    if (transaction == transaction_) {
        transaction_ = 0;
    }
}

void ClientRegistration::OnFlowFailed() {
    if (finished_) {
        return;
    }
    ZEL_LOG(Info, "registration {}: its flow failed", GetId());
    StopKeepAlive();
    flow_.reset();
    newFlow_ = true;
    if (ClientRegistrationHandler* handler = Handler()) {
        const auto self = Self();
        handler->onFlowTerminated(self);
        if (!self.IsValid()) {
            return;
        }
    } else {
        RequestRefresh();
    }
}

// ---- carrying out the core's steps -----------------------------------------------------------------

void ClientRegistration::Apply(RegistrationStep step, const SipMessage* response) {
    if (step.stopTimer) {
        timer_.cancel();
    }
    if (step.wakeAt) {
        ArmTimer(*step.wakeAt);
    }
    if (step.send) {
        Send(std::move(*step.send));
    }
    ClientRegistrationHandler* handler = Handler();
    const SipMessage fallback = response != nullptr ? SipMessage() : LocalResponse(step.statusCode != 0 ? step.statusCode : 408, step.reason.empty() ? "Request Timeout" : step.reason);
    const SipMessage& answer = response != nullptr ? *response : fallback;
    switch (step.event) {
    case RegistrationStep::Event::None:
        return;
    case RegistrationStep::Event::Registered:
    case RegistrationStep::Event::Refreshed:
        newFlow_ = false;
        if (step.outboundInEffect) {
            StartKeepAlive();
        } else {
            StopKeepAlive();
        }
        if (handler != nullptr && !shutdown_) {
            handler->onSuccess(Self(), answer);
        }
        return;
    case RegistrationStep::Event::RetryQuery: {
        int seconds = -1;
        if (handler != nullptr && !shutdown_) {
            const auto self = Self();
            seconds = handler->onRequestRetry(self, static_cast<int>(step.retryAfter.count()), answer);
            if (!self.IsValid() || finished_) {
                return;
            }
        }
        if (core_.GetState() != RegistrationCore::State::RetryPending) {
            return; // the handler ended the registration from inside onRequestRetry
        }
        std::optional<std::chrono::seconds> after;
        if (seconds >= 0) {
            after = std::chrono::seconds(seconds);
        }
        Apply(core_.OnRetryAnswer(after, Now()), response);
        return;
    }
    case RegistrationStep::Event::Failed:
        timer_.cancel();
        StopKeepAlive();
        Finish();
        if (handler != nullptr && !shutdown_) {
            handler->onFailure(Self(), answer);
        }
        return;
    case RegistrationStep::Event::Removed:
        timer_.cancel();
        StopKeepAlive();
        Finish();
        if (handler != nullptr) {
            handler->onRemoved(Self(), answer);
        }
        return;
    }
}

void ClientRegistration::Send(SipMessage request, bool sameHop) {
    const ProfileSettings settings = profile_->Snapshot();
    if (manager_.clientAuthentication_) {
        auth_.Authorize(request);
    }
    if (!settings.userAgent.empty() && !request.Has(HeaderType::UserAgent)) {
        request.Set(HeaderType::UserAgent, settings.userAgent);
    }
    RequestOptions options;
    options.fillContact = !settings.overrideHostAndPort.has_value();

    // Routing: a refresh follows the previous REGISTER to the same hop over the same flow (RFC
    // 5626 section 4.2.1 asks for refreshes on the flow they were made on). A first REGISTER, or
    // one after a failure, locates its hop again: the outbound proxy, else the registrar.
    std::optional<Uri> target;
    if (settings.outboundProxy) {
        Uri proxy = *settings.outboundProxy;
        if (settings.expressOutboundAsRouteSet) {
            Uri route = proxy;
            if (!route.Params().Has("lr")) {
                route.Params().SetFlag("lr");
            }
            request.Remove(HeaderType::Route);
            request.Add(HeaderType::Route, NameAddr(route));
        }
        target = proxy;
    } else if (const Uri* requestUri = request.RequestUri()) {
        target = *requestUri;
    }

    if (ClientRegistrationHandler* handler = Handler()) {
        const auto self = Self();
        handler->onReadyToSend(self, request);
        if (!self.IsValid() || finished_) {
            return;
        }
    }

    sent_ = std::make_unique<SipMessage>(request);
    if (transaction_ != 0) {
        manager_.Untrack(transaction_);
    }
    try {
        // A refresh of an outbound registration stays on its flow (RFC 5626 section 4.2.1), and
        // the answer to a challenge goes to the server that challenged. Anything else is located
        // again (the resolver caches), so a registration never depends on the stack still
        // remembering an old transaction's target.
        if (lastAnswered_ != 0 && !newFlow_ && (sameHop || core_.IsOutboundInEffect())) {
            transaction_ = manager_.stack_.SendRequestLike(std::move(request), lastAnswered_, options);
        } else if (target) {
            transaction_ = manager_.stack_.SendRequest(std::move(request), *target, options);
        } else {
            throw std::invalid_argument("the REGISTER has no Request-URI to send it to");
        }
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "registration {}: the REGISTER cannot be sent: {}", GetId(), error.what());
        transaction_ = 0;
        manager_.Post([this, id = GetId(), &manager = manager_] {
            if (manager.Handles().IsLive(id)) {
                OnTransactionFailure(false);
                manager.Reap();
            }
        });
        return;
    }
    manager_.Track(transaction_, GetId());
}

void ClientRegistration::ArmTimer(RegistrationStep::TimePoint at) {
    timer_.expires_at(at);
    timer_.async_wait([this, id = GetId(), &manager = manager_](const boost::system::error_code& error) {
        if (error || !manager.Handles().IsLive(id)) {
            return;
        }
        OnTimer(error);
        manager.Reap();
    });
}

void ClientRegistration::OnTimer(const boost::system::error_code&) {
    if (finished_) {
        return;
    }
    const RegistrationCore::State before = core_.GetState();
    RegistrationStep step = core_.OnTimer(Now());
    if (before == RegistrationCore::State::Registered && step.send) {
        if (ClientRegistrationHandler* handler = Handler()) {
            const auto self = Self();
            handler->onRefreshRequired(self, *step.send);
            if (!self.IsValid() || finished_) {
                return;
            }
        }
    }
    Apply(std::move(step), nullptr);
}

// ---- RFC 5626 keep-alives ---------------------------------------------------------------------------

void ClientRegistration::StartKeepAlive() {
    if (!flow_ || !manager_.keepAlives_) {
        return;
    }
    const ProfileSettings settings = profile_->Snapshot();
    const bool datagram = IsDatagram(flow_->remote.transport);
    const std::uint32_t seconds = datagram ? settings.keepAliveTimeForDatagram : settings.keepAliveTimeForStream;
    // DTLS and WebSocket flows get none (the transport layer keeps only UDP, TCP and TLS alive).
    const TransportType type = flow_->remote.transport;
    if (seconds == 0 || !(type == TransportType::UDP || type == TransportType::TCP || type == TransportType::TLS)) {
        StopKeepAlive();
        manager_.WatchFlow(*flow_, GetId()); // a closed connection still means a failed flow
        return;
    }
    manager_.stack_.StartKeepAlive(*flow_, std::chrono::seconds(seconds));
    manager_.WatchFlow(*flow_, GetId());
    keepAliveRunning_ = true;
}

void ClientRegistration::StopKeepAlive() {
    if (!flow_) {
        return;
    }
    if (keepAliveRunning_) {
        manager_.stack_.StopKeepAlive(*flow_);
        keepAliveRunning_ = false;
    }
    manager_.UnwatchFlow(*flow_);
}

SipMessage ClientRegistration::LocalResponse(int code, std::string_view reason) const {
    std::optional<SipMessage> rebuilt;
    if (!sent_) {
        rebuilt = core_.LastRequest();
    }
    const SipMessage* request = sent_ ? sent_.get() : (rebuilt ? &*rebuilt : nullptr);
    if (request != nullptr) {
        if (std::optional<SipMessage> response = detail::MakeResponseTo(*request, code, reason, "")) {
            return std::move(*response);
        }
    }
    return SipMessage::MakeResponse(code, reason);
}

} // namespace zel::sip::stack

#include "stack/dum/InviteSession.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/Log.h"
#include "stack/base/Random.h"
#include "stack/body/BodyFactory.h"
#include "stack/body/MultipartBody.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/message/CSeq.h"
#include "stack/message/Token.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

/// The empty message that stands for an answered INVITE once its text is dropped (OnAck): one
/// per dialog thread, shared by all its sessions, instead of about 250 bytes per held call. Per
/// thread rather than per process because a message parses lazily even when const: sessions of
/// one dialog thread never read it at the same time.
const std::shared_ptr<const SipMessage>& DroppedRequest() {
    thread_local const std::shared_ptr<const SipMessage> empty = std::make_shared<const SipMessage>();
    return empty;
}

std::size_t TimerIndex(InviteTimer timer) noexcept {
    switch (timer) {
    case InviteTimer::Retransmit2xx:
        return 0;
    case InviteTimer::AckWait:
        return 1;
    case InviteTimer::GlareRetry:
        return 2;
    case InviteTimer::StaleCall:
        return 3;
    case InviteTimer::StaleReInvite:
        return 4;
    case InviteTimer::AnswerDue:
        return 5;
    }
    return 0;
}

std::string_view ReasonFor(int code) noexcept {
    switch (code) {
    case 180: return "Ringing";
    case 183: return "Session Progress";
    case 200: return "OK";
    case 202: return "Accepted";
    case 400: return "Bad Request";
    case 422: return "Session Interval Too Small";
    case 480: return "Temporarily Unavailable";
    case 481: return "Call/Transaction Does Not Exist";
    case 486: return "Busy Here";
    case 487: return "Request Terminated";
    case 488: return "Not Acceptable Here";
    case 491: return "Request Pending";
    case 500: return "Server Internal Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 504: return "Server Time-out";
    case 603: return "Decline";
    default: break;
    }
    if (code < 200) {
        return "Progress";
    }
    if (code < 300) {
        return "OK";
    }
    return code < 400 ? "Redirection" : code < 500 ? "Request Failure" : code < 600 ? "Server Failure" : "Global Failure";
}

/// The body of a message as a Body, or null when it has none or it cannot be read (a peer's
/// broken body is no offer; it never raises).
std::unique_ptr<Body> BodyOf(const SipMessage& message) {
    if (message.Body().empty()) {
        return nullptr;
    }
    const Mime* type = message.Peek<Mime>(HeaderType::ContentType);
    if (type == nullptr) {
        return nullptr;
    }
    auto parsed = ParseBody(*type, message.Body());
    if (!parsed) {
        ZEL_LOG(Info, "a {} body that cannot be read is ignored: {}", type->Type() + "/" + type->Subtype(),
                parsed.Error().ToString());
        return nullptr;
    }
    return std::move(parsed.Value());
}

bool HasSdp(const SipMessage& message) {
    const std::unique_ptr<Body> body = BodyOf(message);
    return body != nullptr && FindSdp(*body) != nullptr;
}

void PutBody(SipMessage& message, const Body& body) {
    std::unique_ptr<Body> copy = body.Clone();
    copy->PrepareToEncode();
    message.SetBody(copy->Encode(), copy->ContentType().ToMime());
}

} // namespace

// ---- construction --------------------------------------------------------------------------------

InviteSession::InviteSession(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile, InviteSessionCore core)
    : Usage(manager.Handles()), manager_(manager), profile_(std::move(profile)), core_(std::move(core)),
      sessionTimer_(MakeSessionTimerSettings(profile_->Snapshot())),
      sessionTimerEpoch_(std::chrono::steady_clock::now()),
      sessionTimerSpeedup_(std::max<std::uint32_t>(1, profile_->Snapshot().sessionTimerSpeedupForTests)) {
    core_.SetStaleLimits(std::chrono::seconds(profile_->StaleCallTime()), std::chrono::seconds(profile_->StaleReInviteTime()));
}

InviteSession::~InviteSession() {
    // Destroying a timer cancels its wait; its handler then sees operation_aborted.
    if (ack_ != 0) {
        manager_.stack_.ForgetAck(ack_);
    }
    for (const auto& [transaction, request] : inDialog_) {
        manager_.Untrack(transaction);
    }
}

InviteSessionHandler* InviteSession::Handler() const { return manager_.GetInviteSessionHandler(); }

// ---- application operations ----------------------------------------------------------------------

void InviteSession::ProvideOffer(const Body& offer, bool useUpdate) {
    ProvideOffer(std::shared_ptr<const Body>(offer.Clone()), useUpdate);
}

void InviteSession::ProvideOffer(std::shared_ptr<const Body> offer, bool useUpdate) {
    if (offer == nullptr) {
        throw std::invalid_argument("ProvideOffer: no body");
    }
    std::shared_ptr<const Body> previous = std::exchange(localBody_, std::move(offer));
    InviteStep step;
    try {
        step = core_.ProvideOffer(Now(), useUpdate);
    } catch (...) {
        localBody_ = std::move(previous);
        throw;
    }
    Apply(std::move(step), nullptr);
}

void InviteSession::ProvideAnswer(const Body& answer) {
    ProvideAnswer(std::shared_ptr<const Body>(answer.Clone()));
}

void InviteSession::ProvideAnswer(std::shared_ptr<const Body> answer) {
    if (answer == nullptr) {
        throw std::invalid_argument("ProvideAnswer: no body");
    }
    std::shared_ptr<const Body> previous = std::exchange(localBody_, std::move(answer));
    InviteStep step;
    try {
        step = core_.ProvideAnswer(Now());
    } catch (...) {
        localBody_ = std::move(previous);
        throw;
    }
    Apply(std::move(step), nullptr);
}

void InviteSession::Reject(int code, std::optional<Warning> warning) {
    InviteStep step = core_.Reject(code);
    warning_ = std::move(warning);
    Apply(std::move(step), nullptr);
    warning_.reset();
}

void InviteSession::End(EndReason reason) {
    if (finished_) {
        return;
    }
    ZEL_LOG(Debug, "session {} ends (reason {})", GetId(), static_cast<int>(reason));
    Apply(core_.End(reason), nullptr);
}

void InviteSession::Info(const Body& body) {
    if (dialog_ == nullptr || finished_ || core_.GetState() == InviteSessionCore::State::Ending) {
        throw std::logic_error("Info: the session has no dialog or has ended");
    }
    SendInDialog("INFO", false, &body);
}

void InviteSession::Message(const Body& body) {
    if (dialog_ == nullptr || finished_ || core_.GetState() == InviteSessionCore::State::Ending) {
        throw std::logic_error("Message: the session has no dialog or has ended");
    }
    SendInDialog("MESSAGE", false, &body);
}

bool InviteSession::IsSupportedByPeer(std::string_view optionTag) const noexcept {
    for (const std::string& tag : peerSupported_) {
        if (IEquals(tag, optionTag)) { // as Token::Matches compares option tags
            return true;
        }
    }
    return false;
}

void InviteSession::LearnSupported(const SipMessage& message) {
    if (!message.Has(HeaderType::Supported)) {
        return;
    }
    peerSupported_.clear();
    for (std::size_t i = 0; i < message.Count(HeaderType::Supported) && i < 64; ++i) {
        if (const Token* tag = message.Peek<Token>(HeaderType::Supported, i)) {
            peerSupported_.push_back(tag->Value());
        }
    }
}

// ---- carrying out the core's steps -----------------------------------------------------------------

void InviteSession::Apply(InviteStep step, const SipMessage* message) {
    for (const InviteTimer timer : step.stop) {
        StopTimer(timer);
    }
    for (const auto& [timer, at] : step.arm) {
        ArmTimer(timer, at);
    }
    for (const InviteSend& send : step.send) {
        Execute(send);
    }
    SyncPending();
    if (step.terminated) {
        Finish();
    }
    const auto self = SessionHandle();
    for (const InviteEvent event : step.events) {
        if (event != InviteEvent::Terminated && (core_.IsTerminated() && !step.terminated)) {
            return; // the handler ended the session inside an earlier call: the rest is moot
        }
        Report(event, step, message);
        if (!self.IsValid()) {
            return;
        }
    }
    SyncPending();
}

void InviteSession::SyncPending() {
    // The peer's re-INVITE / UPDATE is kept only while the core waits for our answer (or for the
    // ACK of our 2xx): answered for good, it must never be answered again.
    if (!core_.RemoteRequestPending()) {
        pending_.reset();
    }
}

void InviteSession::Report(InviteEvent event, const InviteStep& step, const SipMessage* message) {
    InviteSessionHandler* handler = Handler();
    if (handler == nullptr) {
        if (event == InviteEvent::AckNotReceived || event == InviteEvent::IllegalNegotiation ||
            event == InviteEvent::StaleCallTimeout || event == InviteEvent::StaleReInviteTimeout) {
            End(); // the handler's defaults
        }
        return;
    }
    const SipMessage empty;
    const SipMessage& msg = message != nullptr ? *message : empty;
    const InviteSessionHandle self = SessionHandle();
    auto* client = dynamic_cast<ClientInviteSession*>(this);
    auto* server = dynamic_cast<ServerInviteSession*>(this);
    // The offer or answer in `msg`, as the handler takes it.
    auto withBody = [&](auto&& callSdp, auto&& callBody) {
        std::unique_ptr<Body> body = message != nullptr ? BodyOf(*message) : nullptr;
        if (body == nullptr) {
            return;
        }
        const SdpBody* sdp = FindSdp(*body);
        if (sdp == nullptr) {
            return;
        }
        remoteBody_ = std::move(body);
        if (handler->IsGenericOfferAnswer()) {
            callBody(*remoteBody_);
        } else {
            callSdp(*FindSdp(*remoteBody_));
        }
    };
    switch (event) {
    case InviteEvent::NewSession:
        if (client != nullptr) {
            handler->onNewSession(client->Handle(), localBody_ ? OfferAnswerType::Offer : OfferAnswerType::None, msg);
        } else if (server != nullptr) {
            handler->onNewSession(server->Handle(), step.bodyIsOffer ? OfferAnswerType::Offer : OfferAnswerType::None,
                                  msg);
        }
        return;
    case InviteEvent::Provisional:
        if (client != nullptr) {
            handler->onProvisional(client->Handle(), msg);
        }
        return;
    case InviteEvent::EarlyMedia:
        if (client != nullptr) {
            withBody([&](const SdpBody& sdp) { handler->onEarlyMedia(client->Handle(), msg, sdp); },
                     [&](const Body& body) { handler->onEarlyMedia(client->Handle(), msg, body); });
        }
        return;
    case InviteEvent::Answer:
        withBody([&](const SdpBody& sdp) { handler->onAnswer(self, msg, sdp); },
                 [&](const Body& body) { handler->onAnswer(self, msg, body); });
        return;
    case InviteEvent::Offer:
        withBody([&](const SdpBody& sdp) { handler->onOffer(self, msg, sdp); },
                 [&](const Body& body) { handler->onOffer(self, msg, body); });
        return;
    case InviteEvent::OfferRequired:
        handler->onOfferRequired(self, msg);
        return;
    case InviteEvent::Connected:
        if (client != nullptr) {
            handler->onConnected(client->Handle(), msg);
        } else {
            handler->onConnected(self, msg);
        }
        return;
    case InviteEvent::AckReceived:
        handler->onAckReceived(self, msg);
        return;
    case InviteEvent::AckNotReceived:
        handler->onAckNotReceived(self);
        return;
    case InviteEvent::Failure:
        if (client != nullptr) {
            handler->onFailure(client->Handle(), msg);
        }
        return;
    case InviteEvent::Redirected:
        if (client != nullptr) {
            handler->onRedirected(client->Handle(), msg);
        }
        return;
    case InviteEvent::OfferRejected:
        handler->onOfferRejected(self, message);
        return;
    case InviteEvent::IllegalNegotiation:
        handler->onIllegalNegotiation(self, msg);
        return;
    case InviteEvent::Info:
        handler->onInfo(self, msg);
        return;
    case InviteEvent::Message:
        handler->onMessage(self, msg);
        return;
    case InviteEvent::Refer: {
        // Refer-Sub is a header the parser knows (RFC 4488), never an extension header.
        const Token* referSub = message != nullptr ? message->Peek<Token>(HeaderType::ReferSub) : nullptr;
        const bool noSub = referSub != nullptr && IEquals(referSub->Value(), "false");
        referAnswered_ = false;
        const bool taken = noSub ? handler->onReferNoSub(self, msg) : handler->onRefer(self, msg);
        if (self.IsValid() && current_ != nullptr && !referAnswered_) {
            // A REFER must get its final response: one taken but left unanswered is a fault of
            // the application (500), one refused gets 603 with the reason.
            if (taken) {
                ZEL_LOG(Warning, "session {}: onRefer took the REFER but did not answer it", GetId());
            }
            warning_ = Warning(399, "", taken ? "the transfer was not answered" : "transfer is not offered by this user agent");
            Respond(*current_, taken ? 500 : 603, false);
            warning_.reset();
        }
        return;
    }
    case InviteEvent::InfoSuccess:
        handler->onInfoSuccess(self, msg);
        return;
    case InviteEvent::InfoFailure:
        handler->onInfoFailure(self, msg);
        return;
    case InviteEvent::MessageSuccess:
        handler->onMessageSuccess(self, msg);
        return;
    case InviteEvent::MessageFailure:
        handler->onMessageFailure(self, msg);
        return;
    case InviteEvent::Prack:
        if (server != nullptr) {
            handler->onPrack(server->Handle(), msg);
        }
        return;
    case InviteEvent::Terminated:
        handler->onTerminated(self, step.terminated.value_or(TerminatedReason::Error), message);
        return;
    case InviteEvent::ConnectedConfirmed:
        handler->onConnectedConfirmed(self, msg);
        return;
    case InviteEvent::StaleCallTimeout:
        if (client != nullptr) {
            handler->onStaleCallTimeout(client->Handle());
        }
        return;
    case InviteEvent::StaleReInviteTimeout:
        handler->onStaleReInviteTimeout(self);
        return;
    case InviteEvent::RemoteAnswerChanged:
        if (message != nullptr) {
            ReportAnswerChanged(*message);
        }
        return;
    case InviteEvent::OfferRequestRejected:
        handler->onOfferRequestRejected(self, msg);
        return;
    case InviteEvent::ReferAccepted:
        handler->onReferAccepted(self, msg);
        return;
    case InviteEvent::ReferRejected:
        handler->onReferRejected(self, msg);
        return;
    }
}

void InviteSession::Execute(const InviteSend& send) {
    switch (send.kind) {
    case InviteSend::Kind::Ack:
        SendAck(send.withBody);
        return;
    case InviteSend::Kind::RetransmitAck:
        if (ack_ != 0) {
            manager_.stack_.RetransmitAck(ack_);
        }
        return;
    case InviteSend::Kind::Bye:
        SendInDialog("BYE", false);
        return;
    case InviteSend::Kind::Cancel:
        if (auto* client = dynamic_cast<ClientInviteSession*>(this); client != nullptr && client->cancel_ == 0) {
            client->SendCancel();
        }
        return;
    case InviteSend::Kind::Response: {
        Received* to = nullptr;
        if (current_ != nullptr && current_->request->Method() == send.method) {
            to = current_;
        } else if (pending_ && pending_->request->Method() == send.method) {
            to = pending_.get();
        } else if (Received* initial = Initial(); initial != nullptr && send.method == "INVITE") {
            to = initial;
        }
        if (to == nullptr) {
            ZEL_LOG(Warning, "session {}: no {} to answer {}", GetId(), send.method, send.code);
            return;
        }
        Respond(*to, send.code, send.withBody);
        return;
    }
    case InviteSend::Kind::Retransmit2xx:
        if (last2xx_) {
            manager_.stack_.SendResponse(last2xxTransaction_, *last2xx_);
        }
        return;
    case InviteSend::Kind::ReInvite:
        SendInDialog("INVITE", send.withBody);
        return;
    case InviteSend::Kind::Update:
        SendInDialog("UPDATE", send.withBody);
        return;
    case InviteSend::Kind::Prack:
        if (auto* client = dynamic_cast<ClientInviteSession*>(this)) {
            client->SendPendingPrack(send.withBody);
        }
        return;
    }
}

NameAddr InviteSession::ContactFor(const Tuple& local, const NameAddr& identity) const {
    return MakeContact(profile_->Snapshot(), local, identity);
}

NameAddr InviteSession::MakeContact(const ProfileSettings& settings, const Tuple& local, const NameAddr& identity) {
    Uri uri;
    uri.SetScheme(identity.GetUri().Scheme().empty() ? "sip" : identity.GetUri().Scheme());
    uri.SetUser(identity.GetUri().User());
    if (settings.overrideHostAndPort) {
        uri.SetHost(settings.overrideHostAndPort->Host());
        if (settings.overrideHostAndPort->HasPort()) {
            uri.SetPort(settings.overrideHostAndPort->Port());
        }
    } else {
        uri.SetHost(local.address.is_v6() ? "[" + local.address.to_string() + "]" : local.address.to_string());
        uri.SetPort(local.port);
        if (local.transport != TransportType::UDP) {
            uri.Params().Set("transport", ToLower(ToString(local.transport)));
        }
    }
    return NameAddr(uri);
}

void InviteSession::Respond(Received& to, int code, bool withBody) {
    std::optional<SipMessage> response =
        detail::MakeResponseTo(*to.request, code, ReasonFor(code), dialog_ != nullptr ? dialog_->Id().localTag : "");
    if (!response) {
        return;
    }
    const ProfileSettings settings = profile_->Snapshot();
    const bool invite = to.request->Method() == "INVITE";
    if (invite && code > 100 && code < 300) {
        response->Add(HeaderType::Contact, dialog_ != nullptr && dialog_->LocalContact()
                                               ? *dialog_->LocalContact()
                                               : ContactFor(to.local, NameAddr()));
        for (const std::string& tag : settings.AdvertisedOptionTags()) {
            response->Add(HeaderType::Supported, Token(tag));
        }
    }
    if (code == 500 && (invite || to.request->Method() == "UPDATE")) {
        // RFC 3261 section 14.2: the peer may retry after 0-10 s.
        response->Add(HeaderType::RetryAfter, std::to_string(RandomHex(1)[0] % 10));
    }
    // RFC 3261 section 13.3.1.4: a 2xx to an INVITE lists what we allow (whether the peer may
    // UPDATE, RFC 3311, which session refreshes go by, RFC 4028 section 9).
    if (code == 405 || code == 501 || (invite && code >= 200 && code < 300)) {
        for (const std::string& method : settings.methods) {
            response->Add(HeaderType::Allow, method);
        }
    }
    if (warning_ && code >= 300) {
        Warning warning = *warning_;
        response->Add(HeaderType::Warning, std::move(warning));
    }
    AddSessionTimerHeaders(to, code, *response);
    if (withBody && localBody_ != nullptr) {
        PutBody(*response, *localBody_);
    }
    if (!settings.userAgent.empty()) {
        response->Set(HeaderType::UserAgent, settings.userAgent);
    }
    if (invite && code > 100 && code < 200 && &to == Initial() && SendProvisional(*response)) {
        return; // RFC 3262: the server side sends it (reliably, later, or as it is)
    }
    if (invite && code >= 200 && &to == Initial()) {
        OnInitialAnswered(code);
    }
    Deliver(*response);
    if (invite && code >= 200 && code < 300) {
        last2xx_ = std::make_unique<SipMessage>(*response);
        last2xxTransaction_ = to.transaction;
        if (dialog_ != nullptr) {
            dialog_->Confirm();
        }
    }
    manager_.stack_.SendResponse(to.transaction, std::move(*response));
}

void InviteSession::Deliver(SipMessage& message) {
    if (InviteSessionHandler* handler = Handler()) {
        handler->onReadyToSend(SessionHandle(), message);
    }
}

void InviteSession::SendInDialog(std::string_view method, bool withBody, const Body* body) {
    if (dialog_ == nullptr) {
        ZEL_LOG(Warning, "session {}: no dialog for a {}", GetId(), method);
        return;
    }
    Dialog::OutgoingRequest outgoing = dialog_->MakeRequest(method);
    SipMessage& request = outgoing.request;
    const ProfileSettings settings = profile_->Snapshot();
    if (withBody && localBody_ != nullptr) {
        PutBody(request, *localBody_);
    } else if (body != nullptr) {
        PutBody(request, *body);
    }
    if (method == "INVITE" || method == "UPDATE") {
        for (const std::string& tag : settings.AdvertisedOptionTags()) {
            request.Add(HeaderType::Supported, Token(tag));
        }
    }
    if (method == "REFER" && referTo_) {
        request.Set(HeaderType::ReferTo, *referTo_);
    }
    sessionTimer_.AddToRequest(request);
    SipMessage sent;
    try {
        Dispatch(std::move(outgoing), settings, sent);
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "session {}: the {} cannot be sent: {}", GetId(), method, error.what());
        const SipMessage response = LocalResponse(&sent, 503, "Service Unavailable");
        manager_.Post([this, id = GetId(), &manager = manager_, method = std::string(method), response] {
            if (manager.Handles().IsLive(id) && !finished_) {
                Apply(core_.OnInDialogResponse(method, 503, false, Now()), &response);
                manager.Reap();
            }
        });
    }
}

bool InviteSession::Dispatch(Dialog::OutgoingRequest outgoing, const ProfileSettings& settings, SipMessage& sent) {
    SipMessage& request = outgoing.request;
    if (!settings.userAgent.empty()) {
        request.Set(HeaderType::UserAgent, settings.userAgent);
    }
    if (manager_.clientAuthentication_) {
        auth_.Authorize(request);
    }
    const auto self = SessionHandle();
    Deliver(request);
    if (!self.IsValid()) {
        return false;
    }
    RequestOptions options;
    options.fillContact = !settings.overrideHostAndPort.has_value();
    sent = request;
    const TransactionId transaction = manager_.stack_.SendRequest(std::move(request), outgoing.nextHop, options);
    inDialog_.emplace(transaction, sent);
    manager_.Track(transaction, GetId());
    return true;
}

void InviteSession::SendAck(bool withBody) {
    if (dialog_ == nullptr) {
        return;
    }
    Dialog::OutgoingRequest outgoing = dialog_->MakeRequest("ACK");
    SipMessage& ack = outgoing.request;
    // RFC 3261 section 22.1: the ACK of a 2xx carries the INVITE's credentials as they were.
    if (const auto* client = dynamic_cast<ClientInviteSession*>(this)) {
        const SipMessage* invite = &client->invite_;
        for (HeaderType type : {HeaderType::Authorization, HeaderType::ProxyAuthorization}) {
            for (std::size_t i = 0; i < invite->Count(type); ++i) {
                ack.Add(type, invite->ValueText(type, i));
            }
        }
    }
    if (withBody && localBody_ != nullptr) {
        PutBody(ack, *localBody_);
    }
    const ProfileSettings settings = profile_->Snapshot();
    if (!settings.userAgent.empty()) {
        ack.Set(HeaderType::UserAgent, settings.userAgent);
    }
    const auto self = SessionHandle();
    Deliver(ack);
    if (!self.IsValid()) {
        return;
    }
    if (ack_ != 0) {
        manager_.stack_.ForgetAck(ack_);
    }
    if (const CSeq* sequence = ack.Peek<CSeq>(HeaderType::CSeq)) {
        ackedInvite_ = sequence->Sequence();
    }
    try {
        ack_ = manager_.stack_.SendAck(std::move(ack), outgoing.nextHop);
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "session {}: the ACK cannot be sent: {}", GetId(), error.what());
        ack_ = 0;
    }
}

void InviteSession::ArmTimer(InviteTimer timer, InviteStep::TimePoint at) {
    // Made when first armed and dropped when stopped: a held call waits on none of them.
    std::unique_ptr<boost::asio::steady_timer>& slot = timers_[TimerIndex(timer)];
    if (slot == nullptr) {
        slot = std::make_unique<boost::asio::steady_timer>(manager_.Thread().Executor());
    }
    boost::asio::steady_timer& t = *slot;
    t.expires_at(at);
    t.async_wait([this, timer, id = GetId(), &manager = manager_](const boost::system::error_code& error) {
        if (error || !manager.Handles().IsLive(id) || finished_) {
            return;
        }
        Apply(core_.OnTimer(timer, Now()), nullptr);
        manager.Reap();
    });
}

void InviteSession::StopTimer(InviteTimer timer) {
    // Safe from the timer's own handler: the wait has completed and its handler was moved out.
    timers_[TimerIndex(timer)].reset();
}

void InviteSession::StopTimers() {
    for (auto& timer : timers_) {
        timer.reset();
    }
}

void InviteSession::Finish() {
    if (!finished_) {
        finished_ = true;
        StopTimers();
        StopSessionTimer();
        manager_.Finished(GetId());
        // An operation the application posted (End, Reject) does not pass through the manager's
        // message loop, which removes finished usages: make sure they go all the same.
        manager_.Post([&manager = manager_] { manager.Reap(); });
    }
}

SipMessage InviteSession::LocalResponse(const SipMessage* request, int code, std::string_view reason) const {
    if (request != nullptr) {
        if (std::optional<SipMessage> response = detail::MakeResponseTo(*request, code, reason, "")) {
            return std::move(*response);
        }
    }
    return SipMessage::MakeResponse(code, reason);
}

// ---- what arrives -------------------------------------------------------------------------------------

void InviteSession::OnResponse(TransactionUserMessage& message) { OnInDialogResponse(message); }

void InviteSession::OnInDialogResponse(TransactionUserMessage& message) {
    if (finished_ || message.message == nullptr) {
        return;
    }
    const auto found = inDialog_.find(message.transaction);
    if (found == inDialog_.end()) {
        RetransmitAckFor(*message.message);
        return;
    }
    const SipMessage& response = *message.message;
    const int code = response.StatusCode();
    if (code < 200) {
        return;
    }
    const std::string method(found->second.Method());
    if ((code == 401 || code == 407) && manager_.clientAuthentication_ && method != "ACK") {
        const ProfileSettings settings = profile_->Snapshot();
        if (auth_.HandleChallenge(found->second, response, settings.digestCredentials)) {
            // RFC 3261 section 22.2: the same request again with the next CSeq and credentials.
            const SipMessage refused = found->second;
            inDialog_.erase(found);
            std::unique_ptr<Body> body = BodyOf(refused);
            if (const RAck* rack = refused.Peek<RAck>(HeaderType::RAck)) {
                const NameAddr* to = refused.Peek<NameAddr>(HeaderType::To);
                const Parameter* tag = to != nullptr ? to->Params().Find("tag") : nullptr;
                if (Dialog* early = tag != nullptr ? set_->FindByRemoteTag(tag->value) : nullptr) {
                    SendPrack(*early, *rack, body.get()); // the same acknowledgement, next CSeq
                }
                return;
            }
            SendInDialog(method, false, body.get());
            return;
        }
    }
    if (OnSessionTimerResponse(message.transaction, response)) {
        return;
    }
    inDialog_.erase(found);
    if (dialog_ != nullptr) {
        dialog_->OnResponse(response);
    }
    if (code < 300) {
        LearnSupported(response);
    }
    Apply(core_.OnInDialogResponse(method, code, HasSdp(response), Now()), &response);
}

bool InviteSession::RetransmitAckFor(const SipMessage& response) {
    // A retransmitted 2xx of a re-INVITE: our ACK was lost (RFC 3261 section 13.2.2.4).
    const CSeq* sequence = response.Peek<CSeq>(HeaderType::CSeq);
    if (ack_ == 0 || !ackedInvite_ || sequence == nullptr || sequence->Method() != "INVITE" ||
        sequence->Sequence() != *ackedInvite_ || response.StatusCode() < 200 || response.StatusCode() >= 300) {
        return false;
    }
    manager_.stack_.RetransmitAck(ack_);
    return true;
}

void InviteSession::OnTransactionFailure(TransactionId transaction, bool timeout) {
    const auto found = inDialog_.find(transaction);
    if (finished_ || found == inDialog_.end()) {
        return;
    }
    const std::string method(found->second.Method());
    const SipMessage response = timeout ? LocalResponse(&found->second, 408, "Request Timeout")
                                        : LocalResponse(&found->second, 503, "Service Unavailable");
    inDialog_.erase(found);
    Apply(core_.OnInDialogResponse(method, response.StatusCode(), false, Now()), &response);
}

void InviteSession::OnTransactionEnded(TransactionId transaction) { inDialog_.erase(transaction); }

void InviteSession::OnRequest(TransactionUserMessage& message) {
    if (message.message == nullptr) {
        return;
    }
    Received received{message.message, message.transaction, message.local, message.source};
    const SipMessage& request = *received.request;
    const std::string method(request.Method());
    if (finished_ || dialog_ == nullptr) {
        Respond(received, 481, false);
        return;
    }
    const NameAddr* from = request.Peek<NameAddr>(HeaderType::From);
    const Parameter* tag = from != nullptr ? from->Params().Find("tag") : nullptr;
    if (tag == nullptr || tag->value != dialog_->Id().remoteTag) {
        Respond(received, 481, false); // another fork's dialog, ended or never followed
        return;
    }
    switch (dialog_->OnRequest(request)) {
    case Dialog::RequestVerdict::Accepted:
        break;
    case Dialog::RequestVerdict::OutOfOrder:
        Respond(received, 500, false);
        return;
    case Dialog::RequestVerdict::Malformed:
        Respond(received, 400, false);
        return;
    }
    LearnSupported(request);
    if (RefusedBySessionTimer(received)) {
        return;
    }
    if (method == "PRACK" && OnPrack(received)) {
        return;
    }
    const bool offerCarrier = method == "INVITE" || method == "UPDATE";
    if (offerCarrier) {
        // Kept until the application answers it (or the core refuses it at once below).
        if (!pending_) {
            pending_ = std::make_unique<Received>(received);
        }
    }
    Received* before = current_;
    current_ = &received;
    const auto self = SessionHandle();
    InviteStep step = core_.OnRequest(method, HasSdp(request), Now());
    Apply(std::move(step), &request);
    if (self.IsValid()) {
        current_ = before;
    }
}

void InviteSession::OnAck(const SipMessage& ack) {
    if (finished_) {
        return;
    }
    if (last2xx_) {
        // RFC 3261 section 13.3.1.4: the ACK of a 2xx has the CSeq number of the INVITE it
        // acknowledges. Another number (a late copy of an earlier ACK) acknowledges nothing now;
        // taken for the pending one it would complete, or fail, the wrong exchange.
        const CSeq* answered = last2xx_->Peek<CSeq>(HeaderType::CSeq);
        const CSeq* acknowledged = ack.Peek<CSeq>(HeaderType::CSeq);
        if (answered != nullptr && (acknowledged == nullptr || acknowledged->Sequence() != answered->Sequence())) {
            return;
        }
    }
    InviteStep step = core_.OnAck(HasSdp(ack));
    if (!step.events.empty() || !step.send.empty()) {
        // RFC 3261 section 13.3.1.4: the ACK ends the 2xx's retransmissions.
        last2xx_.reset();
        if (Received* initial = Initial(); initial != nullptr && core_.IsAccepted()) {
            // The INVITE is answered and its 2xx acknowledged: no response to it is built again
            // (its retransmissions are absorbed by its server transaction, RFC 6026), so only
            // the transaction and the flow are kept, not the request for the call's life.
            initial->request = DroppedRequest();
        }
    }
    Apply(std::move(step), &ack);
}

void InviteSession::OnCancel() {
    if (finished_) {
        return;
    }
    Apply(core_.OnCancel(), nullptr);
}

void InviteSession::EndForShutdown() {
    if (finished_) {
        return;
    }
    switch (core_.GetState()) {
    case InviteSessionCore::State::Proceeding:
        Reject(503);
        return;
    case InviteSessionCore::State::Calling:
    case InviteSessionCore::State::Early:
    case InviteSessionCore::State::Cancelling:
    case InviteSessionCore::State::Accepted:
    case InviteSessionCore::State::Connected:
    case InviteSessionCore::State::Ending:
        End(EndReason::NotSpecified);
        if (core_.GetState() == InviteSessionCore::State::Accepted) {
            // No ACK to wait for during a shutdown: the dialog is confirmed by our 2xx.
            Apply(core_.OnTimer(InviteTimer::AckWait, Now()), nullptr);
        }
        return;
    case InviteSessionCore::State::Terminated:
        return;
    }
}

void InviteSession::Abandon() {
    StopTimers();
    Finish();
}

// ---- the calling side ------------------------------------------------------------------------------

ClientInviteSession::ClientInviteSession(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile,
                                         SipMessage invite, Uri target, std::unique_ptr<Body> offer)
    : InviteSession(manager, std::move(profile),
                    InviteSessionCore::Client(offer != nullptr,
                                              InviteTimings{manager.Stack().Options().transactions.timers.t1,
                                                            manager.Stack().Options().transactions.timers.t2, {}})),
      invite_(std::move(invite)), target_(std::move(target)) {
    localBody_ = std::move(offer);
    sessionTimer_.AddToRequest(invite_);
    ownedSet_ = std::make_unique<DialogSet>(invite_);
    set_ = ownedSet_.get();
    callId_ = set_->Id().callId;
}

void ClientInviteSession::Start() { SendInvite(); }

void ClientInviteSession::SendInvite() {
    const ProfileSettings settings = profile_->Snapshot();
    SipMessage request = invite_;
    if (manager_.clientAuthentication_) {
        auth_.Authorize(request);
        invite_ = request;
    }
    RequestOptions options;
    options.fillContact = !settings.overrideHostAndPort.has_value();
    try {
        inviteTransaction_ = manager_.stack_.SendRequest(std::move(request), target_, options);
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "session {}: the INVITE cannot be sent: {}", GetId(), error.what());
        manager_.Post([this, id = GetId(), &manager = manager_] {
            if (manager.Handles().IsLive(id)) {
                OnTransactionFailure(inviteTransaction_, false);
                manager.Reap();
            }
        });
        return;
    }
    manager_.Track(inviteTransaction_, GetId());
    Apply(core_.OnInviteSent(Now()), nullptr);
}

void ClientInviteSession::OnTransactionFailure(TransactionId transaction, bool timeout) {
    if (transaction != inviteTransaction_) {
        InviteSession::OnTransactionFailure(transaction, timeout);
        return;
    }
    if (finished_) {
        return;
    }
    const SipMessage response = timeout ? LocalResponse(&invite_, 408, "Request Timeout")
                                        : LocalResponse(&invite_, 503, "Service Unavailable");
    Apply(core_.OnInviteFailure(timeout), &response);
}

void ClientInviteSession::OnResponse(TransactionUserMessage& message) {
    if (message.message == nullptr) {
        return;
    }
    const SipMessage& response = *message.message;
    const CSeq* cseq = response.Peek<CSeq>(HeaderType::CSeq);
    if (message.transaction != 0 && message.transaction != inviteTransaction_) {
        if (message.transaction != cancel_) {
            InviteSession::OnInDialogResponse(message);
        }
        return;
    }
    if (cseq == nullptr || cseq->Method() != "INVITE") {
        return;
    }
    if (finished_) {
        // A 2xx that arrives after the call ended (a fork, or a retransmission): still ACK it
        // and, when it made a dialog we never used, end it.
        if (response.StatusCode() >= 200 && response.StatusCode() < 300) {
            const DialogSet::ResponseResult result = set_->OnResponse(response);
            if (result.dialog != nullptr && result.effect == DialogSet::ResponseEffect::AdditionalSuccess) {
                OnForkSuccess(*result.dialog, response);
            } else if (result.effect == DialogSet::ResponseEffect::FirstSuccess && ack_ != 0) {
                manager_.stack_.RetransmitAck(ack_);
            }
        }
        return;
    }
    const int code = response.StatusCode();
    if ((code == 401 || code == 407) && manager_.clientAuthentication_ && message.transaction == inviteTransaction_ &&
        !core_.IsTerminated() && core_.GetState() != InviteSessionCore::State::Cancelling) {
        const ProfileSettings settings = profile_->Snapshot();
        if (auth_.HandleChallenge(invite_, response, settings.digestCredentials)) {
            SendInviteAgain();
            return;
        }
    }
    if (code == 422 && message.transaction == inviteTransaction_ && RetriedForSessionTimer(response)) {
        return;
    }
    if (const CSeq* sequence = response.Peek<CSeq>(HeaderType::CSeq);
        sequence != nullptr && sequence->Sequence() != invite_.Get<CSeq>(HeaderType::CSeq).Sequence()) {
        RetransmitAckFor(response); // a re-INVITE's 2xx that outlived its transaction
        return;
    }
    std::vector<std::string> earlyBefore; // the forks a final response may end
    for (const Dialog& fork : set_->Dialogs()) {
        if (fork.GetState() == Dialog::State::Early) {
            earlyBefore.push_back(fork.Id().remoteTag);
        }
    }
    bool won = false;
    const DialogSet::ResponseResult result = set_->OnResponse(response);
    bool reliable = false;
    if (dialog_ != nullptr && set_->FindByRemoteTag(followedTag_) == nullptr) {
        dialog_ = nullptr; // a final failure ended the early dialog we followed
    }
    switch (result.effect) {
    case DialogSet::ResponseEffect::Ignored:
        if (code >= 200 || code <= 100) {
            if (code > 100) {
                ZEL_LOG(Info, "session {}: response {} ignored: {}", GetId(), code, result.error);
            }
            return;
        }
        break; // a 1xx without a To tag still tells the application something
    case DialogSet::ResponseEffect::EarlyDialog:
        if (dialog_ == nullptr) {
            dialog_ = result.dialog;
            followedTag_ = dialog_->Id().remoteTag;
            dialog_->SetLocalContact(ContactFor(message.local, invite_.Get<NameAddr>(HeaderType::From)));
            BindFlow(message.local, message.source);
        }
        if (!TakeProvisional(*result.dialog, response, reliable)) {
            return; // a reliable 1xx seen before, or out of order (RFC 3262 section 4)
        }
        if (result.dialog != dialog_) {
            return; // another fork's early dialog: followed in the set only
        }
        break;
    case DialogSet::ResponseEffect::FirstSuccess:
        if (core_.GetState() == InviteSessionCore::State::Connected ||
            core_.GetState() == InviteSessionCore::State::Ending) {
            Apply(core_.On2xxRetransmission(), &response);
            return;
        }
        dialog_ = result.dialog;
        followedTag_ = dialog_->Id().remoteTag;
        dialog_->SetLocalContact(ContactFor(message.local, invite_.Get<NameAddr>(HeaderType::From)));
        BindFlow(message.local, message.source);
        won = true;
        break;
    case DialogSet::ResponseEffect::AdditionalSuccess:
        if (result.dialog != nullptr) {
            OnForkSuccess(*result.dialog, response);
        }
        return;
    case DialogSet::ResponseEffect::Failure:
        // The other forks' early dialogs end with the INVITE (RFC 3261 section 12.3); ours is
        // reported by onFailure.
        if (!EndOtherForks(followedTag_, earlyBefore)) {
            return;
        }
        break;
    }
    LearnSupported(response);
    if (code >= 200 && code < 300) {
        ApplySessionTimer(sessionTimer_.OnResponse(response, SessionTimerNow()));
    }
    const auto self = Handle();
    InviteStep step = core_.OnInviteResponse(code, HasSdp(response), reliable, Now());
    if (reliable && core_.PrackAwaitsAnswer()) {
        answerRAck_ = prackRAck_; // its PRACK leaves with our answer
    }
    Apply(std::move(step), &response);
    if (won && self.IsValid() && !finished_) {
        // One session follows the dialog that answered; the other forks' early dialogs end.
        EndOtherForks(followedTag_, earlyBefore);
    }
}

void ClientInviteSession::SendInviteAgain() {
    // RFC 3261 section 22.2: the INVITE again, next CSeq, same Call-ID and From tag.
    if (CSeq* sequence = invite_.Edit<CSeq>(HeaderType::CSeq)) {
        sequence->SetSequence(sequence->Sequence() + 1);
    }
    invite_.Remove(HeaderType::Via);
    manager_.Untrack(inviteTransaction_);
    ownedSet_ = std::make_unique<DialogSet>(invite_);
    set_ = ownedSet_.get();
    dialog_ = nullptr;
    reliableForks_.clear(); // the new INVITE's 1xx have RAcks of the new CSeq
    SendInvite();
}

void ClientInviteSession::OnForkSuccess(Dialog& fork, const SipMessage& response) {
    // RFC 3261 section 13.2.2.4: every 2xx is ACKed; a second dialog we do not want gets a BYE.
    ZEL_LOG(Info, "session {}: a 2xx from a second fork ({}) is acknowledged and ended", GetId(),
            fork.Id().remoteTag);
    (void)response;
    Dialog::OutgoingRequest ack = fork.MakeRequest("ACK");
    Dialog::OutgoingRequest bye = fork.MakeRequest("BYE");
    try {
        const TransactionId ackId = manager_.stack_.SendAck(std::move(ack.request), ack.nextHop);
        manager_.stack_.ForgetAck(ackId);
        const TransactionId byeId = manager_.stack_.SendRequest(std::move(bye.request), bye.nextHop);
        (void)byeId;
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "session {}: cannot end a second fork: {}", GetId(), error.what());
    }
    const std::string tag = fork.Id().remoteTag; // `fork` goes with the removal
    set_->RemoveDialog(tag);
    ForkEnded(tag);
}

// ---- the called side ----------------------------------------------------------------------------------

ServerInviteSession::ServerInviteSession(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile,
                                         Received invite, Dialog dialog)
    : InviteSession(manager, std::move(profile),
                    InviteSessionCore::Server(InviteTimings{manager.Stack().Options().transactions.timers.t1,
                                                            manager.Stack().Options().transactions.timers.t2, {}})),
      invite_(std::move(invite)) {
    ownedSet_ = std::make_unique<DialogSet>(dialog.Id().SetId());
    set_ = ownedSet_.get();
    callId_ = set_->Id().callId;
    const std::string remoteTag = dialog.Id().remoteTag;
    set_->AddDialog(std::move(dialog));
    dialog_ = set_->FindByRemoteTag(remoteTag);
}

void ServerInviteSession::Start() {
    LearnSupported(*invite_.request);
    BindFlow(invite_.local, invite_.source);
    if (RefusedBySessionTimer(invite_)) {
        return;
    }
    // Held here: a step may drop the session's own reference (once its 2xx is acknowledged).
    const std::shared_ptr<const SipMessage> request = invite_.request;
    Apply(core_.Start(HasSdp(*request)), request.get());
}

void ServerInviteSession::Provisional(int code, bool withBody) {
    if (finished_ || acceptPosted_ || core_.GetState() != InviteSessionCore::State::Proceeding) {
        throw std::logic_error("Provisional: the INVITE is answered already or the session has ended");
    }
    if (code <= 100 || code > 199) {
        throw std::logic_error("Provisional: a status code from 101 to 199 is needed, not " + std::to_string(code));
    }
    if (withBody && !core_.HasLocalBodyForAccept()) {
        throw std::logic_error("Provisional: provide an answer (or, for an INVITE without offer, an offer) first");
    }
    Respond(invite_, code, withBody);
}

void ServerInviteSession::Accept(int code) {
    if (finished_ || acceptPosted_ || core_.GetState() != InviteSessionCore::State::Proceeding) {
        throw std::logic_error("Accept: the INVITE is answered already or the session has ended");
    }
    if (code < 200 || code > 299) {
        throw std::logic_error("Accept: a 2xx status code is needed, not " + std::to_string(code));
    }
    if (!core_.HasLocalBodyForAccept()) {
        throw std::logic_error("Accept: provide an answer (or, for an INVITE without offer, an offer) first");
    }
    acceptPosted_ = true;
    manager_.Post([this, code, id = GetId(), &manager = manager_] {
        if (!manager.Handles().IsLive(id) || finished_ || core_.GetState() != InviteSessionCore::State::Proceeding) {
            return;
        }
        if (HoldSuccess(code)) {
            return; // RFC 3262 section 3: it goes once the PRACK has come
        }
        Apply(core_.Accept(code, Now()), nullptr);
        manager.Reap();
    });
}

} // namespace zel::sip::stack

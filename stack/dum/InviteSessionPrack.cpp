// Reliable provisional responses (RFC 3262) in the invite sessions: the I/O around the two cores of
// ReliableProvisional.h. The caller's side reads each 1xx of each early dialog in RSeq order and
// PRACKs it (the followed dialog's PRACK through the session core, which holds it back for our
// answer when the 1xx carried an offer); the called side numbers and retransmits its reliable 1xx,
// answers PRACKs and holds the 2xx while a 1xx with a description waits for its PRACK.

#include <utility>

#include "stack/base/Log.h"
#include "stack/body/BodyFactory.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/InviteSession.h"
#include "stack/message/Token.h"

namespace zel::sip::stack {

namespace {

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

bool CarriesSdp(const SipMessage& message) {
    if (message.Body().empty()) {
        return false;
    }
    const Mime* type = message.Peek<Mime>(HeaderType::ContentType);
    if (type == nullptr) {
        return false;
    }
    auto parsed = ParseBody(*type, message.Body());
    return parsed && FindSdp(*parsed.Value()) != nullptr;
}

void PutBody(SipMessage& message, const Body& body) {
    std::unique_ptr<Body> copy = body.Clone();
    copy->PrepareToEncode();
    message.SetBody(copy->Encode(), copy->ContentType().ToMime());
}

} // namespace

// ---- both sides -------------------------------------------------------------------------------------

void InviteSession::SendPrack(Dialog& dialog, const RAck& rack, const Body* body) {
    Dialog::OutgoingRequest outgoing = dialog.MakeRequest("PRACK");
    SipMessage& request = outgoing.request;
    request.Set(HeaderType::RAck, rack);
    if (body != nullptr) {
        PutBody(request, *body);
    }
    SipMessage sent;
    try {
        Dispatch(std::move(outgoing), profile_->Snapshot(), sent);
    } catch (const std::exception& error) {
        // Nothing waits for the PRACK's answer: the peer retransmits its 1xx and, without a PRACK,
        // ends the INVITE itself (RFC 3262 section 3).
        ZEL_LOG(Warning, "session {}: the PRACK cannot be sent: {}", GetId(), error.what());
    }
}

// ---- the calling side ---------------------------------------------------------------------------------

bool ClientInviteSession::TakeProvisional(Dialog& dialog, const SipMessage& response, bool& reliable) {
    reliable = false;
    const std::string& tag = dialog.Id().remoteTag;
    auto found = reliableForks_.find(tag);
    if (found == reliableForks_.end()) {
        found = reliableForks_.emplace(tag, ReliableProvisionalUac(invite_)).first;
    }
    const ProvisionalReceipt receipt = found->second.OnProvisional(response);
    switch (receipt.kind) {
    case ProvisionalReceipt::Kind::Unreliable:
        return true;
    case ProvisionalReceipt::Kind::Duplicate:
    case ProvisionalReceipt::Kind::OutOfOrder:
    case ProvisionalReceipt::Kind::Malformed:
        ZEL_LOG(Debug, "session {}: reliable {} (RSeq {}) discarded: {}", GetId(), response.StatusCode(),
                receipt.rseq, ToString(receipt.kind));
        return false;
    case ProvisionalReceipt::Kind::New:
        break;
    }
    if (&dialog != dialog_) {
        // Another fork: the session does not follow it, but its UAS waits for the PRACK all the
        // same. Its description is not ours to answer, so the PRACK goes without a body.
        SendPrack(dialog, *receipt.rack, nullptr);
        return true;
    }
    reliable = true;
    prackRAck_ = receipt.rack;
    return true;
}

void ClientInviteSession::SendPendingPrack(bool withAnswer) {
    if (dialog_ == nullptr) {
        return;
    }
    std::optional<RAck>& rack = withAnswer ? answerRAck_ : prackRAck_;
    if (!rack) {
        ZEL_LOG(Warning, "session {}: no reliable provisional to PRACK", GetId());
        return;
    }
    const RAck acknowledged = *rack;
    rack.reset();
    SendPrack(*dialog_, acknowledged, withAnswer ? localBody_.get() : nullptr);
}

// ---- the called side ----------------------------------------------------------------------------------

ReliableProvisionalUas& ServerInviteSession::Reliability() {
    if (!reliability_) {
        const ProfileSettings settings = profile_->Snapshot();
        const auto& timers = manager_.Stack().Options().transactions.timers;
        reliability_ = std::make_unique<ReliableProvisionalUas>(settings.uasReliableProvisionalMode, *invite_.request,
                             ReliableProvisionalTimers{timers.t1, timers.t2});
    }
    return *reliability_;
}

bool ServerInviteSession::SendProvisional(SipMessage& response) {
    ApplyReliable(Reliability().SendProvisional(std::move(response), Now()));
    return true;
}

void ServerInviteSession::OnInitialAnswered(int code) {
    if (!reliability_) {
        return;
    }
    heldSuccess_.reset();
    ReliableProvisionalStep step;
    try {
        step = reliability_->OnFinalResponseSent(code);
    } catch (const std::exception& error) {
        // A 2xx gets here only once a PRACK released it; anything else is a fault of ours, which
        // must not take the call down with an exception on the dialog thread.
        ZEL_LOG(Warning, "session {}: {}", GetId(), error.what());
        return;
    }
    ApplyReliable(std::move(step));
}

bool ServerInviteSession::HoldSuccess(int code) {
    if (!reliability_ || reliability_->MaySendSuccess()) {
        return false;
    }
    ZEL_LOG(Debug, "session {}: the {} waits for the PRACK of a reliable provisional", GetId(), code);
    heldSuccess_ = code;
    return true;
}

bool ServerInviteSession::OnPrack(Received& prack) {
    ReliableProvisionalStep step = Reliability().OnPrack(*prack.request, Now());
    const auto self = SessionHandle();
    if (step.response) {
        SipMessage response = std::move(*step.response);
        const ProfileSettings settings = profile_->Snapshot();
        if (!settings.userAgent.empty()) {
            response.Set(HeaderType::UserAgent, settings.userAgent);
        }
        Deliver(response);
        if (!self.IsValid()) {
            return true;
        }
        manager_.stack_.SendResponse(prack.transaction, std::move(response));
    }
    if (step.event != ReliableProvisionalStep::Event::PrackMatched) {
        return true;
    }
    const bool released = step.successReleased;
    ApplyReliable(std::move(step));
    if (!self.IsValid() || finished_) {
        return true;
    }
    Apply(core_.OnPrack(CarriesSdp(*prack.request)), prack.request.get());
    if (released && self.IsValid() && !finished_ && heldSuccess_ &&
        core_.GetState() == InviteSessionCore::State::Proceeding) {
        const int code = *heldSuccess_;
        heldSuccess_.reset();
        Apply(core_.Accept(code, Now()), nullptr);
    }
    return true;
}

void ServerInviteSession::ApplyReliable(ReliableProvisionalStep step) {
    using Step = ReliableProvisionalStep::Event;
    if (step.stopTimer && reliableTimer_) {
        reliableTimer_->cancel();
    }
    if (step.wakeAt) {
        if (!reliableTimer_) {
            reliableTimer_ = std::make_unique<boost::asio::steady_timer>(manager_.Thread().Executor());
        }
        reliableTimer_->expires_at(*step.wakeAt);
        reliableTimer_->async_wait([this, id = GetId(), &manager = manager_](const boost::system::error_code& error) {
            if (error || !manager.Handles().IsLive(id) || finished_) {
                return;
            }
            ApplyReliable(Reliability().OnTimer(Now()));
            manager.Reap();
        });
    }
    switch (step.event) {
    case Step::SentUnreliably:
        if (step.send) {
            SendProvisionalNow(std::move(*step.send), false);
        }
        return;
    case Step::SentReliably:
    case Step::PrackMatched: // with the next queued 1xx, if any
        if (step.send) {
            SendProvisionalNow(std::move(*step.send), true);
        }
        return;
    case Step::Retransmit:
        // The copy that left, as onReadyToSend left it: a retransmission is the same message.
        if (reliableSent_) {
            manager_.stack_.SendResponse(invite_.transaction, *reliableSent_);
        }
        return;
    case Step::GaveUp:
        ZEL_LOG(Info, "session {}: {}; the INVITE is refused", GetId(), step.reason);
        Apply(core_.OnReliableProvisionalTimeout(), nullptr);
        return;
    case Step::Refused:
        ZEL_LOG(Warning, "session {}: a provisional response is not sent: {}", GetId(), step.reason);
        return;
    case Step::Queued:
    case Step::PrackUnmatched:
    case Step::Stopped:
    case Step::None:
        return;
    }
}

void ServerInviteSession::SendProvisionalNow(SipMessage response, bool reliable) {
    const auto self = SessionHandle();
    Deliver(response);
    if (!self.IsValid() || finished_) {
        return;
    }
    core_.OnProvisionalSent(CarriesSessionDescription(response), reliable);
    if (reliable) {
        reliableSent_ = std::make_unique<SipMessage>(response);
    }
    manager_.stack_.SendResponse(invite_.transaction, std::move(response));
}

} // namespace zel::sip::stack

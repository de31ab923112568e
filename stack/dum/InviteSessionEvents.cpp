// What an invite session adds to its core's steps for the rarer callbacks: asking for an offer,
// REFER, the CANCEL the application sees, the forks a call leaves behind, a second answer that
// differs, and the flow a WebSocket dialog depends on.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "stack/base/Log.h"
#include "stack/body/BodyFactory.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/InviteSession.h"
#include "stack/message/CSeq.h"

namespace zel::sip::stack {

namespace {

/// The body of `message`, or null when it has none or it cannot be read (never raises).
std::unique_ptr<Body> ReadableBody(const SipMessage& message) {
    const Mime* type = message.Body().empty() ? nullptr : message.Peek<Mime>(HeaderType::ContentType);
    if (type == nullptr) {
        return nullptr;
    }
    auto parsed = ParseBody(*type, message.Body());
    return parsed ? std::move(parsed.Value()) : nullptr;
}

} // namespace

void InviteSession::RequestOffer() {
    if (finished_) {
        throw std::logic_error("RequestOffer: the session has ended");
    }
    Apply(core_.RequestOffer(std::chrono::steady_clock::now()), nullptr);
}

void InviteSession::Refer(const NameAddr& target) {
    if (finished_ || dialog_ == nullptr) {
        throw std::logic_error("Refer: the session has no dialog or has ended");
    }
    core_.ReferSent();
    referTo_ = std::make_unique<NameAddr>(target); // kept: a challenged REFER is sent again with it
    SendInDialog("REFER", false);
}

void InviteSession::AnswerRefer(int code) {
    if (finished_ || current_ == nullptr || current_->request->Method() != "REFER" || referAnswered_) {
        throw std::logic_error("AnswerRefer: no REFER waits for an answer (answer it inside onRefer)");
    }
    if (code < 200 || code > 699) {
        throw std::logic_error("AnswerRefer: a status code from 200 to 699 is needed, not " + std::to_string(code));
    }
    referAnswered_ = true;
    Respond(*current_, code, false);
}

void InviteSession::BindFlow(const Tuple& local, const Tuple& source) {
    // RFC 7118 section 5: the WebSocket client cannot be reached but over its own connection, so
    // the dialog lives and dies with it. Over TCP and TLS a closed connection (idle, say) is
    // opened again for the next request and says nothing about the dialog.
    if (!flow_ && source.connectionId != 0 &&
        (source.transport == TransportType::WS || source.transport == TransportType::WSS)) {
        flow_ = Flow{local, source};
    }
}

void InviteSession::OnFlowClosed(const Flow& flow) {
    if (finished_ || !flow_ || !(*flow_ == flow)) {
        return;
    }
    flow_.reset();
    ZEL_LOG(Info, "session {}: the connection of its dialog has closed", GetId());
    if (InviteSessionHandler* handler = Handler()) {
        handler->onFlowTerminated(SessionHandle());
    } else {
        End(); // the handler's default
    }
}

void InviteSession::ReportAnswerChanged(const SipMessage& message) {
    std::unique_ptr<Body> body = ReadableBody(message);
    if (body == nullptr || FindSdp(*body) == nullptr) {
        return;
    }
    if (remoteBody_ != nullptr && remoteBody_->Encode() == body->Encode()) {
        return; // the same answer again, as RFC 3262 section 5 asks
    }
    remoteBody_ = std::move(body);
    InviteSessionHandler* handler = Handler();
    if (handler == nullptr) {
        return;
    }
    if (handler->IsGenericOfferAnswer()) {
        handler->onRemoteAnswerChanged(SessionHandle(), message, *remoteBody_);
    } else {
        handler->onRemoteSdpChanged(SessionHandle(), message, *FindSdp(*remoteBody_));
    }
}

// ---- the calling side ------------------------------------------------------------------------------

void ClientInviteSession::SendCancel() {
    // The application sees (and may add to) a CANCEL as the transaction layer will build it; the
    // layer keeps the fields RFC 3261 section 9.1 fixes, so no edit can break the match.
    const Uri* requestUri = invite_.RequestUri();
    if (requestUri == nullptr) {
        return;
    }
    SipMessage cancel = SipMessage::MakeRequest("CANCEL", *requestUri);
    for (HeaderType type : {HeaderType::Route, HeaderType::From, HeaderType::To, HeaderType::CallId}) {
        for (std::size_t i = 0; i < invite_.Count(type); ++i) {
            cancel.Add(type, invite_.ValueText(type, i));
        }
    }
    if (const CSeq* sequence = invite_.Peek<CSeq>(HeaderType::CSeq)) {
        cancel.Add(HeaderType::CSeq, CSeq(sequence->Sequence(), "CANCEL"));
    }
    cancel.Add(HeaderType::MaxForwards, "70");
    if (const std::string userAgent = profile_->Snapshot().userAgent; !userAgent.empty()) {
        cancel.Set(HeaderType::UserAgent, userAgent);
    }
    const auto self = Handle();
    Deliver(cancel);
    if (!self.IsValid() || cancel_ != 0) {
        return;
    }
    try {
        cancel_ = manager_.stack_.SendCancel(inviteTransaction_, std::move(cancel));
        manager_.Track(cancel_, GetId());
    } catch (const std::exception& error) {
        ZEL_LOG(Warning, "session {}: the CANCEL cannot be sent: {}", GetId(), error.what());
    }
}

bool ClientInviteSession::ForkEnded(const std::string& tag) {
    if (std::find(forksEnded_.begin(), forksEnded_.end(), tag) != forksEnded_.end()) {
        return true;
    }
    if (forksEnded_.size() < DialogSet::kMaxDialogs) {
        forksEnded_.push_back(tag);
    }
    InviteSessionHandler* handler = Handler();
    if (finished_ || handler == nullptr || !core_.IsReported()) {
        return !finished_;
    }
    const auto self = Handle();
    handler->onForkDestroyed(self);
    return self.IsValid() && !finished_;
}

bool ClientInviteSession::EndOtherForks(std::string_view keep, const std::vector<std::string>& earlyBefore) {
    for (const std::string& tag : earlyBefore) {
        if (tag == keep) {
            continue;
        }
        set_->RemoveDialog(tag); // a later 2xx from it is an additional one: ACK and BYE
        if (!ForkEnded(tag)) {
            return false;
        }
    }
    return true;
}

} // namespace zel::sip::stack

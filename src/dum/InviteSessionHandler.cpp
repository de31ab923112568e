#include "dum/InviteSessionHandler.h"

#include "stack/base/CaseInsensitive.h"
#include "stack/body/BodyFactory.h"
#include "stack/body/MultipartBody.h"
#include "stack/dum/HandleError.h"

#include <boost/asio/ip/address.hpp>

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace zel::sip {

namespace {

// RFC 3261 section 21.4.26 and 21.5.1.
constexpr int kNotAcceptableHere = 488;
constexpr int kServerInternalError = 500;

/// The IP version of the network path the session runs on: the host of our Contact in its
/// dialog, which the stack fills with the address of the transport the request arrived on.
stack::IpVersion PathIpVersion(const stack::InviteSession& session) {
    const stack::Dialog* dialog = session.GetDialog();
    if (dialog != nullptr && dialog->LocalContact()) {
        std::string host = dialog->LocalContact()->GetUri().Host();
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address(host, error);
        if (!error && address.is_v6()) {
            return stack::IpVersion::V6;
        }
    }
    return stack::IpVersion::V4;
}

/// Lends a body to the session for the negotiation in this scope (SessionImpl::LendRemoteSDP),
/// ending the loan however the scope is left.
class RemoteLoan {
public:
    RemoteLoan(SessionImpl& session, std::shared_ptr<const stack::SdpBody> sdp) noexcept : session_(session) {
        session_.LendRemoteSDP(std::move(sdp));
    }
    ~RemoteLoan() { session_.LendRemoteSDP(nullptr); }
    RemoteLoan(const RemoteLoan&) = delete;
    RemoteLoan& operator=(const RemoteLoan&) = delete;

private:
    SessionImpl& session_;
};

bool IsMultipartMixed(const stack::Body& body) noexcept {
    return dynamic_cast<const stack::MultipartBody*>(&body) != nullptr &&
           stack::IEquals(body.Mime().Subtype(), "mixed");
}

/// The body of a received message, or null when it has none or it cannot be read (a peer's
/// broken body is reported to nobody; it must not make us raise).
std::unique_ptr<stack::Body> BodyOf(const stack::SipMessage& message) {
    if (message.Body().empty()) {
        return nullptr;
    }
    const auto* type = message.Peek<stack::Mime>(stack::HeaderType::ContentType);
    if (type == nullptr) {
        return nullptr;
    }
    auto parsed = stack::ParseBody(*type, message.Body());
    return parsed ? std::move(parsed.Value()) : nullptr;
}

void WriteFailure(const char* what, const char* error) {
    std::cout << what << error << std::endl;
}

} // namespace

InviteSessionHandler::InviteSessionHandler(stack::DialogUsageManager& dum, const IMediaNegotiator& mediaNegotiator,
                                           const IComputerNameProvider& computerName)
    : stack::InviteSessionHandler(/*genericOfferAnswer=*/true), dum_(dum), mediaNegotiator_(mediaNegotiator),
      computerName_(computerName) {}

std::size_t InviteSessionHandler::Count() const {
    const std::lock_guard lock(lock_);
    return sessions_.size();
}

// ---- sessions ---------------------------------------------------------------------------------------

void InviteSessionHandler::CreateSessionIfOneDoesNotExist(const stack::InviteSessionHandle& session,
                                                          const stack::SipMessage& message) {
    if (sessions_.count(session) != 0) {
        return;
    }
    // Not made with make_shared: the C interface keeps weak references to sessions, which would
    // otherwise hold the whole object's memory after the call has ended.
    std::shared_ptr<SessionImpl> created(new SessionImpl(dum_, session, computerName_));
    sessions_.emplace(session, created);
    NewSession(created, message);
}

std::shared_ptr<SessionImpl> InviteSessionHandler::Find(const stack::InviteSessionHandle& session) const {
    const auto entry = sessions_.find(session);
    return entry != sessions_.end() ? entry->second : nullptr;
}

void InviteSessionHandler::AcceptIfServer(const stack::InviteSessionHandle& session) {
    if (auto* server = dynamic_cast<stack::ServerInviteSession*>(session.Get());
        server != nullptr && !server->IsAccepted()) {
        server->Accept(200);
    }
}

// ---- contents -------------------------------------------------------------------------------------

const stack::SdpBody* InviteSessionHandler::FindSDP(const stack::Body& body) noexcept {
    if (const auto* sdp = dynamic_cast<const stack::SdpBody*>(&body)) {
        return sdp;
    }
    if (IsMultipartMixed(body)) {
        for (const auto& part : static_cast<const stack::MultipartBody&>(body).Parts()) {
            if (const stack::SdpBody* found = FindSDP(*part)) {
                return found;
            }
        }
    }
    return nullptr;
}

void InviteSessionHandler::HandleContent(const stack::InviteSessionHandle& session, const stack::Body& body,
                                         const std::function<void(const stack::SdpBody&)>& onSdp) {
    if (const auto* sdp = dynamic_cast<const stack::SdpBody*>(&body)) {
        if (onSdp) {
            onSdp(*sdp);
        }
        return;
    }
    if (IsMultipartMixed(body)) {
        for (const auto& part : static_cast<const stack::MultipartBody&>(body).Parts()) {
            HandleContent(session, *part, onSdp);
        }
        return;
    }
    const std::lock_guard lock(lock_);
    if (auto found = Find(session)) {
        found->MessageContent(body.ContentType().Encode(), body.Encode());
    }
}

// ---- the call's course -------------------------------------------------------------------------------

void InviteSessionHandler::onNewSession(stack::ClientInviteSessionHandle session, stack::OfferAnswerType,
                                        const stack::SipMessage& message) {
    const std::lock_guard lock(lock_);
    const stack::InviteSessionHandle handle(session);
    CreateSessionIfOneDoesNotExist(handle, message);
    // The offer went out with the INVITE before the session existed; it is the local SDP now.
    const std::shared_ptr<const stack::Body>& local = session->SharedLocalBody();
    if (local == nullptr) {
        return;
    }
    if (const stack::SdpBody* sdp = FindSDP(*local)) {
        if (auto found = Find(handle)) {
            // The SDP part shares the ownership of the session's body: one copy for both.
            found->AdoptLocalSDP(std::shared_ptr<const stack::SdpBody>(local, sdp));
            found->Publish();
        }
    }
}

void InviteSessionHandler::onNewSession(stack::ServerInviteSessionHandle session, stack::OfferAnswerType,
                                        const stack::SipMessage& message) {
    const std::lock_guard lock(lock_);
    CreateSessionIfOneDoesNotExist(stack::InviteSessionHandle(session), message);
}

void InviteSessionHandler::onFailure(stack::ClientInviteSessionHandle session, const stack::SipMessage& message) {
    const std::lock_guard lock(lock_);
    const stack::InviteSessionHandle handle(session);
    CreateSessionIfOneDoesNotExist(handle, message);
    if (auto found = Find(handle)) {
        found->Failure(message.StatusCode(), std::string(message.ReasonPhrase()), message);
    }
}

void InviteSessionHandler::onConnected(stack::ClientInviteSessionHandle session, const stack::SipMessage&) {
    const std::lock_guard lock(lock_);
    if (auto found = Find(stack::InviteSessionHandle(session))) {
        found->Connected();
    }
}

void InviteSessionHandler::onConnected(stack::InviteSessionHandle session, const stack::SipMessage&) {
    const std::lock_guard lock(lock_);
    if (auto found = Find(session)) {
        found->Connected();
    }
}

void InviteSessionHandler::onTerminated(stack::InviteSessionHandle session, stack::TerminatedReason reason,
                                        const stack::SipMessage* message) {
    const std::lock_guard lock(lock_);
    // Keep the object alive through the emissions: a callback may drop other shares of it.
    const std::shared_ptr<SessionImpl> ended = Find(session);
    if (!ended) {
        return;
    }
    if (message != nullptr) {
        if (const std::unique_ptr<stack::Body> body = BodyOf(*message)) {
            HandleContent(session, *body, {});
        }
    }
    const auto value = static_cast<std::int32_t>(reason);
    const TerminatedReason mapped = value >= static_cast<std::int32_t>(TerminatedReason::Timeout) &&
                                            value <= static_cast<std::int32_t>(TerminatedReason::Referred)
                                        ? static_cast<TerminatedReason>(value)
                                        : TerminatedReason::Error;
    ended->Terminated(mapped, message);
    sessions_.erase(session);
}

void InviteSessionHandler::onReadyToSend(stack::InviteSessionHandle session, stack::SipMessage& message) {
    const std::lock_guard lock(lock_);
    if (auto found = Find(session)) {
        found->ReadyToSend(message);
    }
}

// ---- offer/answer -------------------------------------------------------------------------------------

void InviteSessionHandler::ShareOfferIfUnchanged(const stack::InviteSession& session, SessionImpl& found,
                                                 const stack::SdpBody& narrowed, const stack::SdpBody& received) {
    // Narrowing changes an offer only where it leaves out crypto lines we did not choose; most
    // offers come through as they were. Then the session reads the dialog layer's body itself,
    // which the dialog layer keeps for the exchange anyway and never changes once held (a new
    // exchange replaces it), so every getter answers as from the copy, a label pointer stays
    // valid as long, and host threads read an immutable body as before. That saves a whole SDP
    // body per call.
    if (found.GetRemoteSDP() != &narrowed) {
        return; // the negotiator kept no remote SDP of this exchange
    }
    const std::shared_ptr<const stack::Body>& remote = session.SharedRemoteBody();
    if (remote == nullptr || FindSDP(*remote) != &received || !(narrowed.Session() == received.Session())) {
        return;
    }
    found.ShareRemoteSDP(std::shared_ptr<const stack::SdpBody>(remote, &received));
}

void InviteSessionHandler::onOffer(stack::InviteSessionHandle session, const stack::SipMessage&,
                                   const stack::SdpBody& sdp) {
    const std::lock_guard lock(lock_);
    auto found = Find(session);
    if (!found) {
        return;
    }
    // The negotiator narrows the offer to what it accepted, so it works on a copy, which the
    // session then keeps as its remote SDP rather than copying it again.
    auto offer = std::make_shared<stack::SdpBody>(sdp);
    const RemoteLoan loan(*found, offer);
    try {
        mediaNegotiator_.NegotiateAnswer(*found, *offer);
    } catch (...) {
        // What the attempt left is what the host may read, as after a success.
        found->Publish();
        throw;
    }
    ShareOfferIfUnchanged(*session, *found, *offer, sdp);
    found->Publish();
    found->MediaNegotiated();
}

void InviteSessionHandler::onOffer(stack::InviteSessionHandle session, const stack::SipMessage& message,
                                   const stack::Body& body) {
    const std::lock_guard lock(lock_);
    auto found = Find(session);
    if (!found) {
        return;
    }
    try {
        HandleContent(session, body, [&](const stack::SdpBody& sdp) { onOffer(session, message, sdp); });
        if (std::shared_ptr<const stack::SdpBody> answer = found->ShareLocalSDP()) {
            session->ProvideAnswer(std::move(answer));
        }
        AcceptIfServer(session);
    } catch (const stack::HandleError&) {
        // The session went away under a host callback: there is nothing left to refuse, and
        // Reject would only raise the same error again.
        throw;
    } catch (const std::invalid_argument& error) {
        WriteFailure("Failed to negotiate answer: ", error.what());
        found->Reject(kNotAcceptableHere, error.what());
    } catch (const std::exception& error) {
        WriteFailure("Failed to negotiate answer: ", error.what());
        found->Reject(kServerInternalError, error.what());
    }
}

void InviteSessionHandler::onOfferRequired(stack::InviteSessionHandle session, const stack::SipMessage&) {
    const std::lock_guard lock(lock_);
    auto found = Find(session);
    if (!found) {
        return;
    }
    try {
        mediaNegotiator_.MakeOffer(*found, PathIpVersion(*session));
        found->Publish();
        session->ProvideOffer(found->ShareLocalSDP());
        AcceptIfServer(session);
    } catch (const stack::HandleError&) {
        throw;
    } catch (const std::exception& error) {
        found->Publish();
        WriteFailure("Failed to generate offer: ", error.what());
        found->Reject(kServerInternalError, error.what());
    }
}

void InviteSessionHandler::onAnswer(stack::InviteSessionHandle session, const stack::SipMessage&,
                                    const stack::SdpBody& sdp) {
    std::string failure;
    {
        const std::lock_guard lock(lock_);
        auto found = Find(session);
        if (!found) {
            return;
        }
        // The answer is the dialog layer's remote body: the session shares it instead of
        // keeping a copy of its own.
        const std::shared_ptr<const stack::Body>& remote = session->SharedRemoteBody();
        const RemoteLoan loan(*found, remote != nullptr && FindSDP(*remote) == &sdp
                                          ? std::shared_ptr<const stack::SdpBody>(remote, &sdp)
                                          : nullptr);
        try {
            mediaNegotiator_.VerifyAnswer(*found, sdp);
            found->Publish();
            found->MediaNegotiated();
            return;
        } catch (const stack::HandleError&) {
            throw;
        } catch (const std::exception& error) {
            found->Publish();
            failure = error.what();
        }
    }
    // Ended outside the lock: the end may report the termination at once, which takes the lock
    // and fires host callbacks of its own.
    WriteFailure("Failed to verify answer: ", failure.c_str());
    session->End(stack::EndReason::IllegalNegotiation);
}

void InviteSessionHandler::onAnswer(stack::InviteSessionHandle session, const stack::SipMessage& message,
                                    const stack::Body& body) {
    HandleContent(session, body, [&](const stack::SdpBody& sdp) { onAnswer(session, message, sdp); });
}

} // namespace zel::sip

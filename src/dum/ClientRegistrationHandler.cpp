#include "dum/ClientRegistrationHandler.h"

#include "stack/base/Log.h"
#include "stack/dum/HandleError.h"
#include "stack/message/Warning.h"

#include <iostream>
#include <string>
#include <vector>

namespace zel::sip {

namespace {

// 439 First Hop Lacks Outbound Support (RFC 5626 section 11.6).
constexpr int kFirstHopLacksOutboundSupport = 439;

void WriteMarker(const char* name) {
    std::cout << "\r\n" << name << "\r\n" << std::endl;
}

} // namespace

// ---- ClientRegistrationImpl ---------------------------------------------------------------------

ClientRegistrationImpl::ClientRegistrationImpl(stack::DialogUsageManager& dum,
                                               stack::ClientRegistrationHandle registration)
    : handle_(std::move(registration)), dum_(dum), aor_(handle_->GetUserProfile()->DefaultFrom()) {}

stack::NameAddr* ClientRegistrationImpl::GetAoR() noexcept {
    return handle_.IsValid() ? &aor_ : nullptr;
}

void ClientRegistrationImpl::Remove() {
    if (dum_.Thread().IsCurrentThread()) {
        // Ending may report the removal at once, and the handler then drops this object: use a
        // copy of the handle and touch nothing of this object afterwards.
        const stack::ClientRegistrationHandle handle = handle_;
        handle->End();
        return;
    }
    // Handles resolve on the dialog thread only. Tell the caller now about a registration that has
    // ended (Get raises the dialog layer's error for it); one that ends between this check and the
    // posted task needs no removal anyway.
    if (!handle_.IsValid()) {
        (void)handle_.Get();
    }
    dum_.Post([handle = handle_] {
        try {
            handle->End();
        } catch (const stack::HandleError&) {
            // It ended on its own meanwhile.
        }
    });
}

// ---- ClientRegistrationHandler ------------------------------------------------------------------

void ClientRegistrationHandler::onSuccess(stack::ClientRegistrationHandle registration, const stack::SipMessage&) {
    WriteMarker("Success");
    CreateRegistrationIfOneDoesNotExist(registration);
    if (auto found = Find(registration)) {
        found->Success();
    }
}

void ClientRegistrationHandler::onRemoved(stack::ClientRegistrationHandle registration, const stack::SipMessage&) {
    WriteMarker("Removed");
    const auto entry = registrations_.find(registration);
    if (entry == registrations_.end()) {
        return;
    }
    // Keep the object alive through the emission: a callback may drop other shares of it.
    const std::shared_ptr<ClientRegistrationImpl> removed = entry->second;
    removed->Removed();
    registrations_.erase(registration);
}

int ClientRegistrationHandler::onRequestRetry(stack::ClientRegistrationHandle, int, const stack::SipMessage&) {
    WriteMarker("RequestRetry");
    return -1;
}

void ClientRegistrationHandler::onFailure(stack::ClientRegistrationHandle registration,
                                          const stack::SipMessage& response) {
    WriteMarker("Failure");
    if (response.StatusCode() == kFirstHopLacksOutboundSupport) {
        RegisterWithoutOutbound(registration);
        return;
    }
    std::string warning;
    if (const auto* first = response.Peek<stack::Warning>(stack::HeaderType::Warning)) {
        warning = first->Text();
    }
    CreateRegistrationIfOneDoesNotExist(registration);
    if (auto found = Find(registration)) {
        const std::string reason(response.ReasonPhrase());
        found->Failure(response.StatusCode(), reason.c_str(), warning.c_str());
    }
}

void ClientRegistrationHandler::RemoveAll() {
    // Ending one that is not registered reports its removal at once (onRemoved erases it from the
    // map), so walk over a copy of the handles.
    std::vector<stack::ClientRegistrationHandle> handles;
    handles.reserve(registrations_.size());
    for (const auto& entry : registrations_) {
        handles.push_back(entry.first);
    }
    for (const auto& handle : handles) {
        try {
            handle->End();
        } catch (const stack::HandleError&) {
            // Ended already (after a failure, say): nothing to remove, and the others still are.
        }
    }
}

void ClientRegistrationHandler::CreateRegistrationIfOneDoesNotExist(
    const stack::ClientRegistrationHandle& registration) {
    if (registrations_.count(registration) != 0) {
        return;
    }
    auto created = std::make_shared<ClientRegistrationImpl>(dum_, registration);
    registrations_.emplace(registration, created);
    NewRegistration(created);
}

std::shared_ptr<ClientRegistrationImpl>
ClientRegistrationHandler::Find(const stack::ClientRegistrationHandle& registration) const {
    const auto entry = registrations_.find(registration);
    return entry != registrations_.end() ? entry->second : nullptr;
}

void ClientRegistrationHandler::RegisterWithoutOutbound(const stack::ClientRegistrationHandle& registration) {
    const std::shared_ptr<stack::UserProfile> profile = registration->GetUserProfile();
    profile->SetInstanceId({});
    profile->SetRegId(0);
    profile->SetClientOutboundEnabled(false);
    try {
        dum_.SendCommand(dum_.MakeRegistration(profile->DefaultFrom(), profile));
    } catch (const std::exception& error) {
        // Nothing the host asked for directly: it sees no registration, as for any 439.
        ZEL_LOG(Err, "registering {} again without outbound failed: {}", profile->DefaultFrom().ToString(),
                error.what());
    }
}

} // namespace zel::sip

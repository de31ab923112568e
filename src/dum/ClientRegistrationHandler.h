#pragma once

#include "dum/IClientRegistration.h"
#include "stack/dum/ClientRegistration.h"
#include "stack/dum/ClientRegistrationHandler.h"
#include "stack/dum/DialogUsageManager.h"

#include <boost/signals2/signal.hpp>

#include <map>
#include <memory>

namespace zel::sip {

/// The host's registration object: the dialog layer's handle of one client registration and the
/// three outcome signals.
///
/// The address of record is copied once, when the object is made on the dialog thread, from the
/// registration profile's default From: profiles hand out copies only (they are guarded by a
/// mutex), so a pointer into a profile cannot be given to the host. The copy is what the host
/// reads and may change; a change stays in this object and does not reach the profile.
class ClientRegistrationImpl final : public IClientRegistration {
public:
    /// Dialog thread: `registration` must resolve.
    ClientRegistrationImpl(stack::DialogUsageManager& dum, stack::ClientRegistrationHandle registration);

    stack::NameAddr* GetAoR() noexcept override;
    void Remove() override;

    const stack::ClientRegistrationHandle& Handle() const noexcept { return handle_; }

private:
    stack::ClientRegistrationHandle handle_;
    stack::DialogUsageManager& dum_;
    stack::NameAddr aor_;
};

/// The user agent's handler of client registrations: one ClientRegistrationImpl per dialog-layer
/// registration that has had an answer, announced through `NewRegistration` before its first
/// outcome; the RFC 5626 fallback when the first hop answers 439; and the removal of every
/// registration when the user agent goes.
///
/// Every notification writes a marker line ("\r\nSuccess\r\n" and so on) to standard output first,
/// which tools and logs that watch the process rely on.
///
/// Threads: everything, RemoveAll included, runs on the dialog thread, so the map needs no lock.
class ClientRegistrationHandler final : public stack::ClientRegistrationHandler {
public:
    explicit ClientRegistrationHandler(stack::DialogUsageManager& dum) noexcept : dum_(dum) {}

    /// A registration had its first answer; host callbacks connected to it during the emission
    /// receive the outcome that follows.
    boost::signals2::signal<void(const std::shared_ptr<ClientRegistrationImpl>&)> NewRegistration;

    void onSuccess(stack::ClientRegistrationHandle registration, const stack::SipMessage& response) override;
    void onRemoved(stack::ClientRegistrationHandle registration, const stack::SipMessage& response) override;
    /// Never retries: returns -1.
    int onRequestRetry(stack::ClientRegistrationHandle registration, int retrySeconds,
                       const stack::SipMessage& response) override;
    void onFailure(stack::ClientRegistrationHandle registration, const stack::SipMessage& response) override;

    /// Asks every registration in the map to end. Entries whose registration has ended already are
    /// skipped; entries stay until their onRemoved. Dialog thread.
    void RemoveAll();

    /// Registrations in the map (for tests and diagnostics). Dialog thread.
    std::size_t Count() const noexcept { return registrations_.size(); }

private:
    void CreateRegistrationIfOneDoesNotExist(const stack::ClientRegistrationHandle& registration);
    std::shared_ptr<ClientRegistrationImpl> Find(const stack::ClientRegistrationHandle& registration) const;
    /// 439: register again through the same profile without RFC 5626 outbound.
    void RegisterWithoutOutbound(const stack::ClientRegistrationHandle& registration);

    stack::DialogUsageManager& dum_;
    std::map<stack::ClientRegistrationHandle, std::shared_ptr<ClientRegistrationImpl>> registrations_;
};

} // namespace zel::sip

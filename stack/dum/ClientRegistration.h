#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "stack/core/SipStack.h"
#include "stack/dum/ClientRegistrationHandler.h"
#include "stack/dum/DumThread.h"
#include "stack/dum/HandleManager.h"
#include "stack/dum/Profile.h"
#include "stack/dum/RegistrationCore.h"
#include "stack/dum/auth/ClientAuth.h"
#include "stack/message/NameAddr.h"

namespace zel::sip::stack {

class DialogUsageManager;

/// One client registration usage (RFC 3261 section 10): the I/O around a RegistrationCore. It
/// sends the core's REGISTERs through the stack (answering digest challenges, passing each one
/// through the handler's onReadyToSend), runs the core's timer on the dialog thread, keeps an
/// RFC 5626 flow alive while outbound is in effect, and reports to the ClientRegistrationHandler.
///
/// Threads: dialog thread only. Lifetime: owned by the manager; it ends (and its handles stop
/// resolving) right after onRemoved or onFailure has returned, or when the manager shuts down.
class ClientRegistration final : public Usage {
public:
    /// The address of record being registered.
    NameAddr AddressOfRecord() const { return core_.AddressOfRecord(); }
    /// The profile the registration was made with; the application may change it and register
    /// again with it.
    const std::shared_ptr<UserProfile>& GetUserProfile() const noexcept { return profile_; }

    /// Removes our binding (Expires 0 for our Contact only); onRemoved follows. Ending a
    /// registration that is not registered (failed, or never answered) removes it at once.
    void End();
    /// Sends a refresh now instead of waiting for the refresh time (or a new registration after
    /// a failed flow). Ignored unless registered.
    void RequestRefresh();

    /// The Contacts the registrar listed in its last 2xx (every binding of the address of record),
    /// parsed from the text kept of them on each call; values that cannot be read are left out.
    std::vector<NameAddr> AllContacts() const;
    /// Whether RFC 5626 outbound is in effect (asked for and confirmed by the registrar).
    bool IsOutboundInEffect() const noexcept { return core_.IsOutboundInEffect(); }
    /// The flow the registration was made over, once a 2xx has come.
    const std::optional<Flow>& GetFlow() const noexcept { return flow_; }
    RegistrationCore::State GetState() const noexcept { return core_.GetState(); }

    ClientRegistration(DialogUsageManager& manager, std::shared_ptr<UserProfile> profile, RegistrationCore core);
    ~ClientRegistration() override;

private:
    friend class DialogUsageManager;

    /// Sends the first REGISTER.
    void Start();
    /// Events of the REGISTER transaction in progress.
    void OnResponse(TransactionUserMessage& message);
    void OnTransactionFailure(bool timeout);
    void OnTransactionEnded(TransactionId transaction);
    /// The flow the registration is bound to failed or closed.
    void OnFlowFailed();
    /// Manager shutdown: remove the binding if there is one, else end now.
    void EndForShutdown();
    /// Ends without telling the handler (shutdown timeout).
    void Abandon();
    bool IsFinished() const noexcept { return finished_; }
    /// Marks the usage finished; the manager removes it once the current call stack has unwound.
    void Finish();

    void Apply(RegistrationStep step, const SipMessage* response);
    /// Sends a REGISTER of the core; `sameHop` keeps it on the hop the last answer came from.
    void Send(SipMessage request, bool sameHop = false);
    void ArmTimer(RegistrationStep::TimePoint at);
    void OnTimer(const boost::system::error_code& error);
    void StartKeepAlive();
    void StopKeepAlive();
    /// A response made here for a failure that produced none (408 timeout, 503 transport error).
    SipMessage LocalResponse(int code, std::string_view reason) const;
    ClientRegistrationHandle Self() { return ClientRegistrationHandle(*this); }
    ClientRegistrationHandler* Handler() const;

    DialogUsageManager& manager_;
    std::shared_ptr<UserProfile> profile_;
    RegistrationCore core_;
    ClientAuth auth_;
    // Bound to the dialog thread's io_context executor rather than the type-erased default: 48
    // bytes less per registration, and so is each wait in flight.
    boost::asio::basic_waitable_timer<std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>,
                                      DumThread::ExecutorType>
        timer_;
    std::unique_ptr<SipMessage> sent_;            // the REGISTER in progress as handed to the stack
    TransactionId transaction_ = 0;               // its transaction, 0 when none
    TransactionId lastAnswered_ = 0;              // the last transaction that got a final response
    bool newFlow_ = false;                        // the next REGISTER must not reuse the old flow
    std::optional<Flow> flow_;
    bool keepAliveRunning_ = false;
    // The registrar's Contact values of its last 2xx as received, one per line: a binding list is
    // read rarely, so it is kept as text rather than as parsed name-addresses.
    std::string allContacts_;
    bool finished_ = false;
    bool shutdown_ = false;
};

} // namespace zel::sip::stack

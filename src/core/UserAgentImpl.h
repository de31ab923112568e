#pragma once

#include "config/Config.h"
#include "core/IComputerNameProvider.h"
#include "core/IRandomNumberGenerator.h"
#include "core/IUserAgent.h"
#include "dum/ClientRegistrationHandler.h"
#include "dum/IContentsFactory.h"
#include "dum/InviteSessionHandler.h"
#include "sdp/ILocalSDPFactory.h"
#include "sdp/IMediaNegotiator.h"
#include "stack/core/SipStack.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/DumThread.h"
#include "stack/dum/Profile.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zel::sip {

/// The text every User-Agent header starts with.
inline constexpr std::string_view UserAgentPrefix{"Zelmor - "};

/// The object behind a user agent handle: the SIP stack with its transports, the dialog usage
/// manager with its master profile and handlers, the offer/answer objects, the optional SIP
/// message trace, and the threads that run them.
///
/// Construction builds and starts everything (docs/ARCHITECTURE.md, "User agent" gives the order
/// and where it differs from the stack it was first described against). A construction that fails
/// raises the error (an Address that is not an IP literal, a port in use, security files the stack
/// rejects, an ExternalContactUri that is not a URI) after stopping every thread it had started.
///
/// Destruction removes every registration, waits for the dialog layer to shut down (bounded by
/// the dialog layer's shutdown timeout), then stops and joins the threads. It must not run on the
/// dialog thread (from inside a callback of this user agent): see IsOwnThread.
class UserAgentImpl final : public virtual IUserAgent {
public:
    explicit UserAgentImpl(const Config& config);
    ~UserAgentImpl() override;

    void SetDefaultFrom(const char* from, const char* password, const char* user, const char* realm) override;
    void Register(const char* aor, const char* password, const char* outboundProxy, const char* user,
                  const char* realm) override;
    std::string Invite(const char* to, const char* from, const char* password, const Contents* contents,
                       std::uint64_t contentsCount, AddressType addressType, const char* user,
                       const char* realm) override;

    /// The dialog usage manager; not owned by the caller.
    stack::DialogUsageManager& GetDialogUsageManager() const noexcept { return *dum_; }

    /// Whether the caller runs on one of this user agent's threads, where destroying it would wait
    /// for itself. Any thread.
    bool IsOwnThread() const noexcept;

    /// The RFC 5626 instance identifier, "<urn:uuid:...>".
    const std::string& InstanceId() const noexcept { return instanceId_; }

    /// Sets `profile`'s default From and, when a password is given, adds its digest credential.
    /// Shared with outgoing calls made with a From of their own.
    static void SetDefaultFrom(stack::UserProfile& profile, const char* from, const char* password, const char* user,
                               const char* realm);

private:
    void StopIOThread() noexcept;
    void Shutdown() noexcept;

    // Declared in the order of construction; destruction runs the other way.
    boost::asio::io_context ioContext_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> workGuard_;
    std::thread ioThread_;
    std::unique_ptr<stack::SipStack> stack_;
    std::unique_ptr<stack::DumThread> dumThread_;
    std::unique_ptr<stack::DialogUsageManager> dum_;
    std::shared_ptr<IRandomNumberGenerator> random_;
    std::shared_ptr<IComputerNameProvider> computerName_;
    std::shared_ptr<ILocalSDPFactory> localSDPFactory_;
    std::shared_ptr<IMediaNegotiator> mediaNegotiator_;
    std::shared_ptr<IContentsFactory> contentsFactory_;
    std::shared_ptr<ClientRegistrationHandler> registrationHandler_;
    std::shared_ptr<InviteSessionHandler> inviteHandler_;
    std::string instanceId_;
    /// Guarded by requestMutex_, with the reading and writing of profiles by the operations.
    std::int32_t nextRegId_ = 1;
    std::mutex requestMutex_;
};

} // namespace zel::sip

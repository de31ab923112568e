#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "stack/core/SipStack.h"
#include "stack/dum/ClientRegistrationHandler.h"
#include "stack/dum/DumShutdownHandler.h"
#include "stack/dum/DumThread.h"
#include "stack/dum/HandleManager.h"
#include "stack/dum/DialogId.h"
#include "stack/dum/InviteSessionHandler.h"
#include "stack/dum/MergedRequests.h"
#include "stack/dum/Profile.h"
#include "stack/dum/RegistrationCore.h"
#include "stack/message/NameAddr.h"

namespace zel::sip::stack {

class ClientRegistration;
class Body;
class InviteSession;
class ClientInviteSession;
class ServerInviteSession;

/// Settings of a DialogUsageManager that are not per profile.
struct DumOptions {
    /// The longest a shutdown waits for usages to end (registrations removed, transactions
    /// finished). Past it, what is left is dropped and the shutdown handler is told all the same.
    /// The default is one non-INVITE transaction with the default timers (64 * T1 = 32 s), the
    /// longest a removal can take against a registrar that has gone silent.
    std::chrono::milliseconds shutdownTimeout{32000};
};

/// A request made on any thread by a Make... call, to be sent with SendCommand: it carries the
/// profile it was made with and the usage it will start. Opaque to the application.
class InitialRequest {
public:
    virtual ~InitialRequest() = default;
    /// The profile the request was made with (the usage keeps it).
    virtual const std::shared_ptr<UserProfile>& Profile() const noexcept = 0;
    /// The Call-ID of an INVITE (a new one per MakeInviteSession call): what the application
    /// matches the session it starts by. Empty for other requests.
    virtual const std::string& CallId() const noexcept {
        static const std::string none;
        return none;
    }
};

/// The dialog usage manager: the transaction user of a SipStack. It builds requests from
/// profiles, runs the usages (client registrations now; invite sessions build on the same
/// structure), answers requests outside any dialog as RFC 3261 section 8.2 says, authenticates
/// with digest, keeps RFC 5626 flows alive through the stack, and calls the application's handlers.
///
/// Threads: everything runs on the dialog thread (`DumThread`), whose loop also receives the
/// stack's events (the manager attaches itself as the stack's transaction user) and runs every
/// timer. Other threads may call the members documented as thread-safe: the Make... functions
/// (they read profile snapshots only), SendCommand, Post and Shutdown. Handler calls come on the
/// dialog thread only.
///
/// Lifetime: built with a stack and a dialog thread that outlive it. Usual order: construct, set
/// the master profile and handlers, start the dialog thread; at the end Shutdown, wait for
/// `onDumCanBeDeleted`, stop and join the dialog thread, destroy the manager, then the stack.
class DialogUsageManager {
public:
    /// Attaches to `stack` as its transaction user on `thread`'s loop.
    DialogUsageManager(SipStack& stack, DumThread& thread, DumOptions options = {});
    ~DialogUsageManager();
    DialogUsageManager(const DialogUsageManager&) = delete;
    DialogUsageManager& operator=(const DialogUsageManager&) = delete;

    // ---- configuration (any thread) -----------------------------------------------------------

    /// The profile requests are made with unless a user profile is given, and the one incoming
    /// requests are checked against. Thread-safe.
    void SetMasterProfile(std::shared_ptr<MasterProfile> profile);
    std::shared_ptr<MasterProfile> GetMasterProfile() const;

    /// The handler of client registrations; must outlive the manager. Set before the first
    /// registration is sent.
    void SetClientRegistrationHandler(ClientRegistrationHandler* handler);
    ClientRegistrationHandler* GetClientRegistrationHandler() const noexcept { return registrationHandler_; }

    /// The handler of invite sessions; must outlive the manager. Set it before the dialog thread
    /// starts or on the dialog thread. Without one, INVITEs from peers are answered 480 and
    /// MakeInviteSession raises std::logic_error.
    void SetInviteSessionHandler(InviteSessionHandler* handler) noexcept { inviteHandler_ = handler; }
    InviteSessionHandler* GetInviteSessionHandler() const noexcept { return inviteHandler_; }

    /// Digest client authentication for challenged requests (on by default).
    void SetClientAuthentication(bool enabled) noexcept { clientAuthentication_ = enabled; }
    /// RFC 5626 keep-alives for outbound registrations (on by default); their intervals come
    /// from the profile of each registration.
    void SetKeepAlives(bool enabled) noexcept { keepAlives_ = enabled; }

    // ---- requests and commands (any thread) -------------------------------------------------

    /// A REGISTER for `aor` (RFC 3261 section 10.2) made with `profile` (its settings as they are
    /// now): From and To `aor`, our Contact with the profile's capabilities (and RFC 5626
    /// +sip.instance and reg-id when the profile enables client outbound with an instance id and a
    /// reg-id), Expires `expires` or the profile's default registration time. Send it with
    /// SendCommand. Raises std::invalid_argument when `aor` is not a sip or sips URI or the
    /// profile's settings cannot make a registration.
    std::shared_ptr<InitialRequest> MakeRegistration(const NameAddr& aor, std::shared_ptr<UserProfile> profile,
                                                     std::optional<std::uint32_t> expires = std::nullopt);

    /// An INVITE to `target` (RFC 3261 section 13.2.1) made with `profile` (its settings as they are
    /// now): Request-URI and To `target`, From the profile's default From with a new tag, a new
    /// Call-ID, CSeq 1, our Contact (filled with the transport's address when sent), Allow,
    /// Supported and User-Agent from the profile, and `offer` as the body (none: the peer makes
    /// the offer in its 2xx). Send it with SendCommand; the session (a ClientInviteSession) starts
    /// then, and the handler hears of it with the first response. Raises std::invalid_argument when
    /// `target` is not a sip or sips URI or the profile has no default From, std::logic_error
    /// without an invite session handler. Thread-safe.
    std::shared_ptr<InitialRequest> MakeInviteSession(const NameAddr& target, std::shared_ptr<UserProfile> profile,
                                                      const Body* offer);

    /// Sends `request` on the dialog thread, where it starts its usage. Thread-safe; requests
    /// run in the order posted. Dropped when the manager is shutting down.
    void SendCommand(std::shared_ptr<InitialRequest> request);

    /// Runs `command` on the dialog thread, after everything posted before it. Thread-safe.
    void Post(std::function<void()> command);

    /// Ends every usage (registrations removed, dialogs ended), lets their transactions finish,
    /// and then calls `handler.onDumCanBeDeleted()` once on the dialog thread: at the latest
    /// DumOptions::shutdownTimeout after this call. Later requests from peers are refused with 503.
    /// Thread-safe; a second call is ignored. `handler` must live until it has been called.
    void Shutdown(DumShutdownHandler& handler);

    // ---- dialog thread ------------------------------------------------------------------------

    /// The handle registry of this manager's usages.
    HandleManager& Handles() noexcept { return handles_; }
    /// Live client registrations (for tests and diagnostics). Dialog thread.
    std::size_t RegistrationCount() const noexcept { return registrations_.size(); }
    /// Live invite sessions (for tests and diagnostics). Dialog thread.
    std::size_t InviteSessionCount() const noexcept { return sessions_.size(); }
    bool IsShuttingDown() const noexcept { return shuttingDown_; }

    SipStack& Stack() noexcept { return stack_; }
    DumThread& Thread() noexcept { return thread_; }

private:
    friend class ClientRegistration;
    friend class InviteSession;
    friend class ClientInviteSession;
    friend class ServerInviteSession;
    class Sink;

    /// Stack events, on the dialog thread.
    void OnTransactionUserMessage(TransactionUserMessage message);
    void OnRequest(TransactionUserMessage& message);
    void OnClientEvent(TransactionUserMessage& message);
    void OnFlowEvent(TransactionUserMessage& message);
    /// Requests in a dialog of an invite session, ACKs and CANCELs; true when a session took it.
    bool RouteToSession(TransactionUserMessage& message);
    /// An INVITE outside any dialog that passed the checks: a new ServerInviteSession.
    void StartServerSession(TransactionUserMessage& message, const std::string& toTag);
    InviteSession* FindSession(const DialogSetId& id);

    /// Sends a response to the server transaction `transaction` with our User-Agent added.
    void Respond(TransactionId transaction, SipMessage response);

    /// Registration plumbing (used by ClientRegistration).
    void Track(TransactionId transaction, std::uint64_t usage);
    void Untrack(TransactionId transaction);
    void WatchFlow(const Flow& flow, std::uint64_t usage);
    void UnwatchFlow(const Flow& flow);
    /// A usage has finished; Reap removes it.
    void Finished(std::uint64_t usage);
    /// Removes usages that have finished, then checks whether a shutdown is complete.
    void Reap();
    void CheckShutdown();
    void FinishShutdown();

    SipStack& stack_;
    DumThread& thread_;
    DumOptions options_;
    HandleManager handles_;
    std::unique_ptr<Sink> sink_;

    mutable std::mutex profileMutex_;
    std::shared_ptr<MasterProfile> masterProfile_;
    // The settings of the last registration made, shared with the next one that asks for the
    // same (usually all of a user agent's): their lists would otherwise be copied into every
    // registration for its whole life. Guarded by profileMutex_.
    std::shared_ptr<const RegistrationSettings> lastRegistrationSettings_;
    ClientRegistrationHandler* registrationHandler_ = nullptr;
    InviteSessionHandler* inviteHandler_ = nullptr;
    bool clientAuthentication_ = true;
    bool keepAlives_ = true;

    // dialog thread only
    std::map<std::uint64_t, std::unique_ptr<ClientRegistration>> registrations_;
    std::map<std::uint64_t, std::unique_ptr<InviteSession>> sessions_;
    std::unordered_map<DialogSetId, std::uint64_t> sessionsBySet_;    // our dialog sets -> session
    std::unordered_map<TransactionId, std::uint64_t> serverInvites_;  // INVITEs we received -> session
    std::unordered_map<TransactionId, std::uint64_t> clientTransactions_;
    std::map<std::pair<std::string, std::string>, std::uint64_t> flows_; // flow key -> usage
    MergedRequests merged_;
    std::vector<std::uint64_t> finished_; // usages to remove at the next Reap
    bool reaping_ = false;

    std::atomic<bool> shutdownRequested_{false};
    bool shuttingDown_ = false;
    bool shutdownDone_ = false;
    DumShutdownHandler* shutdownHandler_ = nullptr;
    std::optional<boost::asio::steady_timer> shutdownTimer_;
};

} // namespace zel::sip::stack

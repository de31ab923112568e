#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "stack/core/StackOptions.h"
#include "stack/dns/ServerLocator.h"
#include "stack/message/SipMessage.h"
#include "stack/transaction/CongestionManager.h"
#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/TransactionLayer.h"
#include "stack/transaction/TransactionUserQueue.h"
#include "stack/transport/SecuritySettings.h"
#include "stack/transport/TransportOptions.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack {

/// The SIP stack: transports, server location and the transaction layer on one io_context, run by
/// the stack event thread that the stack owns. The transaction user (the dialog layer) sends
/// through SendRequest and SendResponse and takes what arrives from Queue().
///
/// Threads: the event thread starts in the constructor and ends in Shutdown. Every public member
/// may be called from any thread; the work is handed to the event thread. AddTransport and
/// Shutdown block until the event thread has done their part, so they must not be called on the
/// event thread itself (they raise std::logic_error there).
///
/// Lifetime: the destructor shuts down. Destroying the stack on its own event thread is a
/// programming error that ends the process (the thread cannot join itself).
class SipStack {
public:
    /// Starts the event thread. Raises std::invalid_argument for bad options (StackOptions::Validate)
    /// and std::runtime_error when DNS cannot be set up.
    explicit SipStack(StackOptions options = {});
    ~SipStack();

    SipStack(const SipStack&) = delete;
    SipStack& operator=(const SipStack&) = delete;

    /// Adds a transport of `type` and `version`, bound to `address` (an IP address literal of that
    /// version; empty for all interfaces) and `port` (0 lets the system pick), and returns the
    /// tuple really bound. `security` is required for TLS, DTLS and WSS and ignored otherwise.
    /// Raises std::invalid_argument for a bad address or missing security settings,
    /// std::system_error naming the address and port when it cannot bind, std::runtime_error for
    /// security files that cannot be loaded, and std::logic_error after Shutdown or on the event
    /// thread.
    Tuple AddTransport(TransportType type, IpVersion version, std::string_view address, std::uint16_t port,
                       const SecuritySettings* security = nullptr);

    /// Sends `request` in a new client transaction to `target` and returns its id; what follows
    /// (responses, timeout, transport error, termination) reaches Queue() under that id. The stack
    /// puts its own Via on top. An ACK (for a 2xx) is sent without a transaction and produces events
    /// only when it cannot be sent. Raises std::invalid_argument for a message that is not a request
    /// with a valid Request-URI and a CSeq of its method, std::logic_error after Shutdown.
    TransactionId SendRequest(SipMessage request, const Tuple& target);
    /// The same towards the targets RFC 3263 server location gives for `target` (a sip or sips URI),
    /// moving to the next one on a transport error, a timeout or a 503. Raises as above, and
    /// std::invalid_argument for a URI of another scheme.
    TransactionId SendRequest(SipMessage request, const Uri& target);

    /// Cancels the INVITE sent as `invite` (RFC 3261 section 9.1) and returns the id of the CANCEL's
    /// own transaction; see TransactionLayer::SendCancel. Raises std::logic_error after Shutdown.
    TransactionId SendCancel(TransactionId invite);

    /// Sends `response` through the server transaction `transaction` (the id of the received
    /// request). Dropped (and logged) when that transaction has ended or its state does not allow
    /// the response. Raises std::invalid_argument when `response` is not a response,
    /// std::logic_error after Shutdown.
    void SendResponse(TransactionId transaction, SipMessage response);

    /// Received requests, responses and transaction events. Closed by Shutdown.
    TransactionUserQueue& Queue() noexcept { return queue_; }

    /// Orderly shutdown: stop accepting calls, close the transports and forget the transactions,
    /// let the event loop finish what is left (up to StackOptions::drainTimeout, then stop it), join
    /// the event thread, close the queue. Idempotent and safe from any thread but the event thread,
    /// where it raises std::logic_error and does nothing.
    void Shutdown();

    /// True on the stack event thread.
    bool IsEventThread() const noexcept { return std::this_thread::get_id() == eventThreadId_.load(); }

private:
    void RunEventLoop();
    void CheckRunning() const;

    StackOptions options_;
    SteadyTransactionClock clock_;
    TransactionUserQueue queue_;
    CongestionManager congestion_;
    boost::asio::io_context io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> workGuard_;
    std::unique_ptr<ServerLocator> locator_;
    std::unique_ptr<TransactionLayer> layer_;
    std::promise<void> finished_;
    std::mutex controlMutex_; // AddTransport against Shutdown
    std::atomic<bool> stopping_{false};
    bool joined_ = false;
    std::atomic<std::thread::id> eventThreadId_{};
    std::thread thread_;
};

} // namespace zel::sip::stack

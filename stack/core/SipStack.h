#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "stack/core/StackOptions.h"
#include "stack/dns/ServerLocator.h"
#include "stack/message/SipMessage.h"
#include "stack/transaction/CongestionManager.h"
#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/RequestRouting.h"
#include "stack/transaction/TransactionLayer.h"
#include "stack/transaction/TransactionUserQueue.h"
#include "stack/transaction/TransactionUserSink.h"
#include "stack/transport/SecuritySettings.h"
#include "stack/transport/TransportOptions.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack {

/// The SIP stack: transports, server location and the transaction layer on one io_context, run by
/// the stack event thread that the stack owns. The transaction user (the dialog layer) sends
/// through SendRequest, SendAck and SendResponse and gets what arrives through the sink it attaches
/// (AttachTransactionUser), on its own event loop; tools without one poll Queue().
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

    /// Attaches the transaction user (the dialog layer): from now on everything the stack queues
    /// for it is delivered by calling `sink` on `executor` (the transaction user's own event loop),
    /// in queue order, several messages per posted task. Call it once, before transports receive
    /// anything and before requests are sent; without it, take the messages from Queue().
    ///
    /// Lifetime: the executor's loop may be stopped (and its thread joined) before the stack shuts
    /// down; tasks left in it hold the queue, never the stack. After Shutdown returns the sink is
    /// not called again (Shutdown waits for a call in progress on another thread), so the sink
    /// must outlive Shutdown, or the executor's loop, whichever ends first.
    /// Raises std::logic_error when a transaction user is already attached or after Shutdown.
    void AttachTransactionUser(boost::asio::any_io_executor executor, TransactionUserSink& sink);

    /// Sends `request` in a new client transaction to the targets RFC 3263 server location gives for
    /// `target` (a sip or sips URI), moving to the next one on a transport error, a timeout or a 503,
    /// and returns its id; what follows (responses, timeout, transport error, termination) reaches
    /// the transaction user under that id. The stack puts its own Via on top (sent-by, a new
    /// branch per target, rport) and adds Max-Forwards when missing. An ACK is sent as by SendAck.
    /// Raises std::invalid_argument for a message that is not a request with a valid Request-URI and
    /// a CSeq of its method, or for a URI of another scheme; std::logic_error after Shutdown.
    TransactionId SendRequest(SipMessage request, const Uri& target, RequestOptions options = {});
    /// The same to the one fixed `target`, without server location or failover. A connection id in
    /// `target` picks that connection when it is still open, else any to the same address.
    TransactionId SendRequest(SipMessage request, const Tuple& target, RequestOptions options = {});
    /// The same on the flow `flow`: through the transport bound to `flow.local`, to `flow.remote`.
    /// A stream flow (`remote.connectionId` != 0) means that connection only: when it is gone the
    /// request fails (TransportError, std::errc::not_connected); no new connection is opened.
    TransactionId SendRequest(SipMessage request, const Flow& flow, RequestOptions options = {});
    /// The same to the very tuple (transport, address, port, connection) the transaction `earlier`
    /// ended up using, after failover; no new server location. When `earlier` is unknown or was
    /// forgotten (ForgetTarget, or pushed out by a few thousand newer ones), the request fails with
    /// TransportError, std::errc::no_such_device_or_address.
    TransactionId SendRequestLike(SipMessage request, TransactionId earlier, RequestOptions options = {});
    /// Lets the stack forget where the transaction `transaction` went (see SendRequestLike).
    /// Unknown ids are ignored, and so is every call after Shutdown (clean-up never raises, so
    /// destructors may call it).
    void ForgetTarget(TransactionId transaction);

    /// Sends the ACK of a 2xx (RFC 3261 section 13.2.2.4), which has no transaction: encoded once,
    /// with one Via branch, and remembered with the tuple it went to, so that RetransmitAck sends
    /// the very same bytes again. Returns the ACK's id. A failure to send comes back as a
    /// TransportError under that id (no Terminated). Routing as for SendRequest: through server
    /// location (the first target that has a transport), to a tuple, on a flow, or like `earlier`.
    /// Raises std::invalid_argument when `ack` is not an ACK request with a CSeq of ACK,
    /// std::logic_error after Shutdown.
    TransactionId SendAck(SipMessage ack, const Uri& target, RequestOptions options = {});
    TransactionId SendAck(SipMessage ack, const Tuple& target, RequestOptions options = {});
    TransactionId SendAck(SipMessage ack, const Flow& flow, RequestOptions options = {});
    TransactionId SendAckLike(SipMessage ack, TransactionId earlier, RequestOptions options = {});
    /// Sends the ACK `ack` again, byte for byte, to the same tuple (a 2xx retransmission came in).
    /// Forgotten ACKs are ignored. Raises std::logic_error after Shutdown.
    void RetransmitAck(TransactionId ack);
    /// Forgets the ACK `ack`; it is forgotten by itself 64*T1 after it was sent. Ignored after
    /// Shutdown.
    void ForgetAck(TransactionId ack);

    /// Cancels the INVITE sent as `invite` (RFC 3261 section 9.1) and returns the id of the CANCEL's
    /// own transaction; see TransactionLayer::SendCancel. Raises std::logic_error after Shutdown.
    TransactionId SendCancel(TransactionId invite);
    /// The same with `model`, a CANCEL the user may have edited (extra headers): the transaction
    /// layer keeps its headers except those RFC 3261 section 9.1 takes from the INVITE. Raises
    /// std::invalid_argument when `model` is not a request, std::logic_error after Shutdown.
    TransactionId SendCancel(TransactionId invite, SipMessage model);

    /// Sends `response` through the server transaction `transaction` (the id of the received
    /// request). When that transaction has ended, is unknown, or its state does not allow the
    /// response, the response comes back as a ResponseRefused message. Raises
    /// std::invalid_argument when `response` is not a response, std::logic_error after Shutdown.
    void SendResponse(TransactionId transaction, SipMessage response);

    /// Keeps `flow` alive (RFC 5626 section 4.4): CRLF pings on TCP and TLS flows, STUN Binding
    /// requests on UDP flows, every `interval` (randomised to 80-100%). A flow that stops
    /// answering is reported as a FlowFailed message and no longer kept alive. Starting a flow
    /// again changes its interval. Thread-safe (posted). Raises std::invalid_argument for a
    /// non-positive interval or a transport other than UDP, TCP and TLS, std::logic_error after
    /// Shutdown; a flow whose local end has no transport is reported as FlowFailed.
    void StartKeepAlive(const Flow& flow, std::chrono::milliseconds interval);
    /// Stops keeping `flow` alive; unknown flows are ignored, and so is every call after Shutdown.
    /// Thread-safe (posted).
    void StopKeepAlive(const Flow& flow);

    /// Received requests, responses and transaction events, when no transaction user is attached.
    /// Closed by Shutdown.
    TransactionUserQueue& Queue() noexcept { return *queue_; }

    /// Orderly shutdown: stop accepting calls, close the transports and forget the transactions,
    /// let the event loop finish what is left (up to StackOptions::drainTimeout, then stop it), join
    /// the event thread, close the queue. Idempotent and safe from any thread but the event thread,
    /// where it raises std::logic_error and does nothing.
    void Shutdown();

    /// The options the stack was built with (the dialog layer reads the timer values).
    const StackOptions& Options() const noexcept { return options_; }

    /// True on the stack event thread.
    bool IsEventThread() const noexcept { return std::this_thread::get_id() == eventThreadId_.load(); }

private:
    void RunEventLoop();
    TransactionId Post(SipMessage request, TransactionLayer::RequestTarget target, RequestOptions options, bool ack);
    void CheckRunning() const;

    StackOptions options_;
    SteadyTransactionClock clock_;
    std::shared_ptr<TransactionUserQueue> queue_; // shared with tasks posted to the transaction user
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

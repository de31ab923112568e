#pragma once

#include "stack/transport/Stun.h"
#include "stack/transport/Transport.h"
#include "stack/transport/Tuple.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

namespace zel::sip::stack {

/// Why a flow was given up.
enum class FlowFailure : std::uint8_t {
    /// No CRLF pong, or no STUN response after all retransmissions.
    NoResponse,
    /// The STUN server saw us from another address or port than before: a NAT rebound the flow
    /// (RFC 5626 section 4.4.2).
    MappedAddressChanged,
};

std::string_view ToString(FlowFailure failure) noexcept;

/// Told when a kept-alive flow fails, on the io_context's thread. The flow is no longer kept alive
/// when this is called; the handler may start it again or start others.
class KeepAliveHandler {
public:
    virtual ~KeepAliveHandler() = default;
    virtual void OnFlowFailed(const Tuple& flow, FlowFailure reason) = 0;
};

/// Timings of the keep-alive exchanges. The interval of each flow comes from the caller (the
/// profile's datagram or stream interval).
struct KeepAliveTimings {
    /// How long a CRLF pong may take (RFC 5626 section 4.4.1: 10 seconds).
    std::chrono::milliseconds pongTimeout = std::chrono::seconds(10);
    /// STUN's initial retransmission timeout over UDP, doubled per retransmission (RFC 5389
    /// section 7.2.1: 500 ms); after `stunRequestCount` sends the last wait is 16 times it.
    std::chrono::milliseconds stunInitialTimeout = std::chrono::milliseconds(500);
    unsigned stunRequestCount = 7;
};

/// RFC 5626 keep-alives for flows: CRLF CRLF pings answered by a CRLF pong on stream flows (TCP,
/// TLS), STUN Binding requests answered with XOR-MAPPED-ADDRESS on UDP flows. Each flow is pinged
/// after a random 80% to 100% of its interval (RFC 5626 section 4.4.1), counted from the previous
/// answer; a flow that stops answering, or whose mapped address changes, is reported failed and
/// forgotten.
///
/// Answers reach the manager through the layer above the transports: it passes
/// `TransportReceiver::OnKeepAlivePong` to `OnPong` and `TransportReceiver::OnStunResponse` to
/// `OnStunResponse`.
///
/// Threads: every call on the io_context's thread (the stack event thread); not thread-safe.
/// Lifetime: the destructor stops every flow; pending timers then find nothing to do. The handler
/// must outlive the manager.
class KeepAliveManager {
public:
    KeepAliveManager(boost::asio::io_context& io, KeepAliveHandler& handler, KeepAliveTimings timings = {});
    ~KeepAliveManager();
    KeepAliveManager(const KeepAliveManager&) = delete;
    KeepAliveManager& operator=(const KeepAliveManager&) = delete;

    /// Keeps `flow` alive through `transport` (the transport the flow belongs to), pinging every
    /// `interval` (randomised as above). Starting a flow that is already kept alive changes its
    /// interval. Raises std::invalid_argument for a non-positive interval, a null transport, or a
    /// transport other than UDP, TCP or TLS.
    void Start(std::shared_ptr<Transport> transport, const Tuple& flow, std::chrono::milliseconds interval);

    /// Stops keeping `flow` alive; unknown flows are ignored.
    void Stop(const Tuple& flow);

    bool IsKeptAlive(const Tuple& flow) const;

    /// The address a STUN server last saw the UDP flow come from, once known.
    std::optional<stun::TransportAddress> MappedAddress(const Tuple& flow) const;

    /// A CRLF pong arrived on the stream flow `source`.
    void OnPong(const Tuple& source);

    /// A STUN response arrived from `source`; responses that match no request are ignored.
    void OnStunResponse(const Tuple& source, std::string_view message);

    /// The wait before the next ping: `interval` scaled into [80%, 100%] by `uniform` in [0, 1).
    static std::chrono::milliseconds Randomised(std::chrono::milliseconds interval, double uniform) noexcept;

private:
    struct Flow;

    std::shared_ptr<Flow> Find(const Tuple& flow) const;
    void ScheduleNextPing(const std::shared_ptr<Flow>& flow);
    void Arm(const std::shared_ptr<Flow>& flow, std::chrono::milliseconds wait);
    void OnTimer(const std::shared_ptr<Flow>& flow);
    void SendPing(Flow& flow);
    void Answered(const std::shared_ptr<Flow>& flow);
    void Fail(const std::shared_ptr<Flow>& flow, FlowFailure reason);

    boost::asio::io_context& io_;
    KeepAliveHandler& handler_;
    KeepAliveTimings timings_;
    std::vector<std::shared_ptr<Flow>> flows_;
    std::mt19937_64 random_;
};

} // namespace zel::sip::stack

// RFC 5626 flow keep-alives. Per flow:
//
//   Waiting --(random 80-100% of the interval)--> send ping --> Awaiting
//   Awaiting --pong / STUN response--> Waiting
//   Awaiting --timeout (stream: 10 s; UDP: after STUN's retransmissions)--> failed, forgotten
//   Awaiting --XOR-MAPPED-ADDRESS differs from the last one--> failed, forgotten

#include "stack/transport/KeepAliveManager.h"

#include "stack/transport/KeepAliveSender.h"

#include <algorithm>
#include <stdexcept>

namespace zel::sip::stack {

struct KeepAliveManager::Flow {
    explicit Flow(boost::asio::io_context& io) : timer(io) {}

    std::shared_ptr<Transport> transport;
    Tuple tuple;
    std::chrono::milliseconds interval{};
    boost::asio::steady_timer timer;
    bool awaiting = false;
    bool stopped = false;
    /// STUN: sends of the current transaction and the wait after the last one.
    unsigned sends = 0;
    std::chrono::milliseconds retransmitTimeout{};
    stun::TransactionId transaction{};
    std::optional<stun::TransportAddress> mapped;
};

namespace {

bool SameFlow(const Tuple& flow, const Tuple& source) {
    return flow.transport == source.transport && flow.address == source.address && flow.port == source.port &&
           (flow.connectionId == 0 || flow.connectionId == source.connectionId);
}

} // namespace

std::string_view ToString(FlowFailure failure) noexcept {
    switch (failure) {
    case FlowFailure::NoResponse:
        return "no response";
    case FlowFailure::MappedAddressChanged:
        return "mapped address changed";
    }
    return "unknown";
}

KeepAliveManager::KeepAliveManager(boost::asio::io_context& io, KeepAliveHandler& handler, KeepAliveTimings timings)
    : io_(io), handler_(handler), timings_(timings), random_(std::random_device{}()) {
    if (timings_.stunRequestCount == 0)
        timings_.stunRequestCount = 1;
}

KeepAliveManager::~KeepAliveManager() {
    for (auto& flow : flows_) {
        flow->stopped = true;
        flow->timer.cancel();
    }
}

std::chrono::milliseconds KeepAliveManager::Randomised(std::chrono::milliseconds interval, double uniform) noexcept {
    uniform = std::clamp(uniform, 0.0, 1.0);
    const auto scaled = static_cast<std::chrono::milliseconds::rep>(static_cast<double>(interval.count()) *
                                                                    (0.8 + 0.2 * uniform));
    return std::chrono::milliseconds(std::max<std::chrono::milliseconds::rep>(scaled, 1));
}

void KeepAliveManager::Start(std::shared_ptr<Transport> transport, const Tuple& flow,
                             std::chrono::milliseconds interval) {
    if (!transport)
        throw std::invalid_argument("keep-alive needs the flow's transport");
    if (interval.count() <= 0)
        throw std::invalid_argument("keep-alive interval must be positive");
    if (flow.transport != TransportType::UDP && flow.transport != TransportType::TCP &&
        flow.transport != TransportType::TLS)
        throw std::invalid_argument("no keep-alive for " + std::string(ToString(flow.transport)) + " flows");
    if (auto existing = Find(flow)) {
        existing->interval = interval;
        return;
    }
    auto state = std::make_shared<Flow>(io_);
    state->transport = std::move(transport);
    state->tuple = flow;
    state->interval = interval;
    flows_.push_back(state);
    ScheduleNextPing(state);
}

void KeepAliveManager::Stop(const Tuple& flow) {
    auto state = Find(flow);
    if (!state)
        return;
    state->stopped = true;
    state->timer.cancel();
    std::erase(flows_, state);
}

bool KeepAliveManager::IsKeptAlive(const Tuple& flow) const { return Find(flow) != nullptr; }

std::optional<stun::TransportAddress> KeepAliveManager::MappedAddress(const Tuple& flow) const {
    const auto state = Find(flow);
    return state ? state->mapped : std::nullopt;
}

std::shared_ptr<KeepAliveManager::Flow> KeepAliveManager::Find(const Tuple& flow) const {
    const auto found = std::find_if(flows_.begin(), flows_.end(), [&](const auto& state) { return state->tuple == flow; });
    return found == flows_.end() ? nullptr : *found;
}

void KeepAliveManager::ScheduleNextPing(const std::shared_ptr<Flow>& flow) {
    flow->awaiting = false;
    Arm(flow, Randomised(flow->interval, std::uniform_real_distribution<double>(0.0, 1.0)(random_)));
}

void KeepAliveManager::Arm(const std::shared_ptr<Flow>& flow, std::chrono::milliseconds wait) {
    flow->timer.expires_after(wait);
    flow->timer.async_wait([this, weak = std::weak_ptr<Flow>(flow)](const boost::system::error_code& error) {
        const auto state = weak.lock();
        if (error || !state || state->stopped)
            return;
        OnTimer(state);
    });
}

void KeepAliveManager::OnTimer(const std::shared_ptr<Flow>& flow) {
    const bool datagram = flow->tuple.transport == TransportType::UDP;
    if (!flow->awaiting) {
        flow->awaiting = true;
        flow->sends = 0;
        flow->retransmitTimeout = timings_.stunInitialTimeout;
        if (datagram)
            flow->transaction = stun::RandomTransactionId();
    } else if (!datagram || flow->sends >= timings_.stunRequestCount) {
        return Fail(flow, FlowFailure::NoResponse);
    } else {
        flow->retransmitTimeout *= 2;
    }
    SendPing(*flow);
    if (!datagram)
        return Arm(flow, timings_.pongTimeout);
    // RFC 5389 section 7.2.1: the last request is given 16 initial timeouts to be answered.
    Arm(flow, flow->sends >= timings_.stunRequestCount ? timings_.stunInitialTimeout * 16 : flow->retransmitTimeout);
}

void KeepAliveManager::SendPing(Flow& flow) {
    ++flow.sends;
    std::string bytes = flow.tuple.transport == TransportType::UDP ? stun::MakeBindingRequest(flow.transaction)
                                                                   : std::string("\r\n\r\n");
    // UDP, TCP and TLS transports all send keep-alives outside the SIP message path; a transport
    // without that ability gets no ping, and the missing answer fails the flow.
    if (auto* sender = dynamic_cast<KeepAliveSender*>(flow.transport.get()))
        sender->SendKeepAlive(flow.tuple, std::move(bytes));
}

void KeepAliveManager::Answered(const std::shared_ptr<Flow>& flow) { ScheduleNextPing(flow); }

void KeepAliveManager::Fail(const std::shared_ptr<Flow>& flow, FlowFailure reason) {
    const Tuple tuple = flow->tuple;
    Stop(tuple);
    handler_.OnFlowFailed(tuple, reason); // may destroy this manager: nothing after it
}

void KeepAliveManager::OnPong(const Tuple& source) {
    for (const auto& flow : flows_) {
        if (flow->awaiting && flow->tuple.transport != TransportType::UDP && SameFlow(flow->tuple, source))
            return Answered(flow);
    }
}

void KeepAliveManager::OnStunResponse(const Tuple& source, std::string_view message) {
    const auto parsed = stun::Parse(message);
    if (!parsed.message || parsed.message->method != stun::kBindingMethod)
        return;
    const auto& response = *parsed.message;
    const bool success = response.messageClass == stun::MessageClass::SuccessResponse;
    if (!success && response.messageClass != stun::MessageClass::ErrorResponse)
        return;
    for (const auto& flow : flows_) {
        if (!flow->awaiting || flow->tuple.transport != TransportType::UDP || !SameFlow(flow->tuple, source) ||
            flow->transaction != response.transactionId)
            continue;
        if (success) {
            // RFC 5389 section 7.3.3: a success response without a mapped address is discarded.
            if (!response.mappedAddress || !response.unknownRequired.empty())
                return;
            if (flow->mapped && *flow->mapped != *response.mappedAddress)
                return Fail(flow, FlowFailure::MappedAddressChanged);
            flow->mapped = response.mappedAddress;
        }
        // An error response still shows that the server and the path to it are alive.
        return Answered(flow);
    }
}

} // namespace zel::sip::stack

// UDP transport (RFC 3261 section 18): one socket, one datagram per message. STUN messages on
// the same socket (RFC 5626 section 4.4.2) are told apart by their header: Binding requests are
// answered here, responses go to the receiver for the keep-alive manager.

#include "stack/transport/KeepAliveSender.h"
#include "stack/transport/Stun.h"
#include "stack/transport/TransportReceiver.h"
#include "stack/transport/Transports.h"
#include "stack/transport/detail/Endpoints.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>

#include <stdexcept>
#include <vector>

namespace zel::sip::stack {

namespace {

using boost::asio::ip::udp;

/// A datagram of nothing but CR and LF is a keep-alive, not a message.
bool IsKeepAlive(std::string_view datagram) {
    return datagram.find_first_not_of("\r\n") == std::string_view::npos;
}

class UdpTransport final : public Transport,
                           public KeepAliveSender,
                           public std::enable_shared_from_this<UdpTransport> {
public:
    UdpTransport(boost::asio::io_context& io, const TransportOptions& options)
        : socket_(io), options_(options), receiveBuffer_(options.limits.maxMessageBytes + 1) {
        if (!options.receiver)
            throw std::invalid_argument("UDP transport needs a receiver");
        const auto address = detail::BindAddress(options, TransportType::UDP);
        boost::system::error_code error;
        socket_.open(address.is_v6() ? udp::v6() : udp::v4(), error);
        if (!error && address.is_v6())
            socket_.set_option(boost::asio::ip::v6_only(true), error);
        if (!error)
            socket_.bind(udp::endpoint(address, options.port), error);
        if (error)
            detail::ThrowBindError(error, TransportType::UDP, address, options.port);
        const auto bound = socket_.local_endpoint();
        local_ = Tuple{bound.address(), bound.port(), TransportType::UDP};
    }

    void Start() { Receive(); }

    TransportType Type() const noexcept override { return TransportType::UDP; }
    const Tuple& LocalTuple() const noexcept override { return local_; }
    TransportStatistics Statistics() const override { return statistics_; }

    void Send(const Tuple& destination, std::string message, SendOptions options) override {
        boost::asio::dispatch(socket_.get_executor(),
                              [self = shared_from_this(), destination, message = std::move(message),
                               retransmission = options.retransmission]() mutable {
                                  self->DoSend(destination, std::move(message), retransmission);
                              });
    }

    void SendKeepAlive(const Tuple& flow, std::string bytes) override {
        boost::asio::dispatch(socket_.get_executor(),
                              [self = shared_from_this(), flow, bytes = std::move(bytes)]() mutable {
                                  self->SendRaw(flow, std::move(bytes));
                              });
    }

    void Close() override {
        boost::asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->DoClose(); });
    }

private:
    void Receive() {
        socket_.async_receive_from(boost::asio::buffer(receiveBuffer_), sender_,
                                   [self = shared_from_this()](const boost::system::error_code& error,
                                                               std::size_t size) { self->OnReceive(error, size); });
    }

    void OnReceive(const boost::system::error_code& error, std::size_t size) {
        if (closed_)
            return;
        // Errors of one datagram (an ICMP report, a truncated read) never end the loop.
        if (!error && size > options_.limits.maxMessageBytes)
            ++statistics_.messagesDropped;
        else if (!error && size > 0) {
            const std::string_view datagram(receiveBuffer_.data(), size);
            if (stun::LooksLikeStun(datagram)) {
                HandleStun(datagram);
            } else if (!IsKeepAlive(datagram)) {
                ++statistics_.messagesReceived;
                const Tuple source{sender_.address(), sender_.port(), TransportType::UDP};
                if (options_.messageLogger)
                    options_.messageLogger->inboundMessage(source, local_, datagram);
                options_.receiver->OnMessage(source, local_, datagram);
            }
        }
        if (!closed_)
            Receive();
    }

    void DoSend(const Tuple& destination, std::string message, bool retransmission) {
        auto fail = [&](std::errc reason) {
            ++statistics_.messagesDropped;
            if (!closed_)
                options_.receiver->OnSendFailed(destination, std::make_error_code(reason));
        };
        if (closed_)
            return fail(std::errc::operation_canceled);
        if (message.size() > options_.limits.maxMessageBytes)
            return fail(std::errc::message_size);
        if (!detail::SameVersion(destination.address, Version()))
            return fail(std::errc::address_family_not_supported);
        if (pendingBytes_ + message.size() > options_.limits.maxPendingOutboundBytes)
            return fail(std::errc::no_buffer_space);

        if (options_.messageLogger) {
            if (retransmission)
                options_.messageLogger->outboundRetransmit(local_, destination, message);
            else
                options_.messageLogger->outboundMessage(local_, destination, message);
        }
        pendingBytes_ += message.size();
        auto bytes = std::make_shared<std::string>(std::move(message));
        socket_.async_send_to(boost::asio::buffer(*bytes), udp::endpoint(destination.address, destination.port),
                              [self = shared_from_this(), bytes, destination](const boost::system::error_code& error,
                                                                              std::size_t) {
                                  self->pendingBytes_ -= bytes->size();
                                  if (self->closed_)
                                      return;
                                  if (error) {
                                      ++self->statistics_.messagesDropped;
                                      self->options_.receiver->OnSendFailed(destination, error);
                                  } else {
                                      ++self->statistics_.messagesSent;
                                  }
                              });
    }

    /// A STUN message is never SIP: requests are answered as a Binding server would, responses
    /// go to the keep-alive manager through the receiver, anything malformed is dropped.
    void HandleStun(std::string_view datagram) {
        const auto parsed = stun::Parse(datagram);
        if (!parsed.message) {
            ++statistics_.messagesDropped;
            return;
        }
        const Tuple source{sender_.address(), sender_.port(), TransportType::UDP};
        if (parsed.message->messageClass == stun::MessageClass::Request) {
            std::string answer = stun::AnswerBindingRequest(*parsed.message, {source.address, source.port});
            if (!answer.empty())
                SendRaw(source, std::move(answer));
        } else if (parsed.message->messageClass != stun::MessageClass::Indication) {
            options_.receiver->OnStunResponse(source, local_, datagram);
        }
    }

    /// Sends bytes that are not a SIP message (STUN): not logged, not counted, failures ignored.
    void SendRaw(const Tuple& destination, std::string bytes) {
        if (closed_ || !detail::SameVersion(destination.address, Version()) ||
            pendingBytes_ + bytes.size() > options_.limits.maxPendingOutboundBytes)
            return;
        pendingBytes_ += bytes.size();
        auto shared = std::make_shared<std::string>(std::move(bytes));
        socket_.async_send_to(boost::asio::buffer(*shared), udp::endpoint(destination.address, destination.port),
                              [self = shared_from_this(), shared](const boost::system::error_code&, std::size_t) {
                                  self->pendingBytes_ -= shared->size();
                              });
    }

    void DoClose() {
        if (closed_)
            return;
        closed_ = true;
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

    udp::socket socket_;
    TransportOptions options_;
    Tuple local_;
    std::vector<char> receiveBuffer_;
    udp::endpoint sender_;
    std::size_t pendingBytes_ = 0;
    bool closed_ = false;
    TransportStatistics statistics_;
};

} // namespace

std::shared_ptr<Transport> MakeUdpTransport(boost::asio::io_context& io, const TransportOptions& options) {
    auto transport = std::make_shared<UdpTransport>(io, options);
    transport->Start();
    return transport;
}

} // namespace zel::sip::stack

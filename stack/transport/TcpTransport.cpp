// TCP transport (RFC 3261 section 18): Content-Length framing over plain connections.

#include "stack/transport/KeepAliveSender.h"
#include "stack/transport/Transports.h"
#include "stack/transport/detail/FramedConnection.h"
#include "stack/transport/detail/StreamTransport.h"

#include <boost/asio/write.hpp>

namespace zel::sip::stack {

namespace {

using boost::asio::ip::tcp;

class TcpConnection final : public detail::FramedConnection {
public:
    TcpConnection(detail::ConnectionOwner& owner, const TransportLimits& limits, tcp::socket socket, bool outgoing)
        : FramedConnection(owner, TransportType::TCP, limits, outgoing, {}), socket_(std::move(socket)) {}

protected:
    tcp::socket& Socket() override { return socket_; }

    /// Nothing to negotiate; reads are tried before any wait, so they must never block.
    void Handshake(Completion done) override {
        boost::system::error_code error;
        socket_.non_blocking(true, error);
        done(error);
    }

    std::size_t ReadAvailable(boost::asio::mutable_buffer buffer, boost::system::error_code& error) override {
        return socket_.read_some(buffer, error);
    }

    void WaitReadable(Completion done) override { socket_.async_wait(tcp::socket::wait_read, std::move(done)); }

    void Write(std::string_view bytes, Completion done) override {
        boost::asio::async_write(socket_, boost::asio::buffer(bytes),
                                 [done = std::move(done)](const boost::system::error_code& error, std::size_t) {
                                     done(error);
                                 });
    }

private:
    tcp::socket socket_;
};

class TcpTransport final : public detail::StreamTransport, public KeepAliveSender {
public:
    TcpTransport(boost::asio::io_context& io, const TransportOptions& options)
        : StreamTransport(io, TransportType::TCP, options) {}

    /// A CRLF CRLF ping on the flow's own connection (RFC 5626 section 4.4.1).
    void SendKeepAlive(const Tuple& flow, std::string bytes) override { SendKeepAliveOnFlow(flow, std::move(bytes)); }

protected:
    std::shared_ptr<detail::Connection> MakeConnection(tcp::socket socket, bool outgoing, const std::string&) override {
        return std::make_shared<TcpConnection>(*this, Limits(), std::move(socket), outgoing);
    }
};

} // namespace

std::shared_ptr<Transport> MakeTcpTransport(boost::asio::io_context& io, const TransportOptions& options) {
    auto transport = std::make_shared<TcpTransport>(io, options);
    transport->Start();
    return transport;
}

} // namespace zel::sip::stack

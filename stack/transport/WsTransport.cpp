// WS transport: SIP over WebSocket (RFC 7118) on plain TCP.

#include "stack/transport/Transports.h"
#include "stack/transport/detail/StreamTransport.h"
#include "stack/transport/detail/WebSocketConnection.h"

namespace zel::sip::stack {

namespace {

using boost::asio::ip::tcp;

class WsTransport final : public detail::StreamTransport {
public:
    WsTransport(boost::asio::io_context& io, const TransportOptions& options)
        : StreamTransport(io, TransportType::WS, options) {}

protected:
    std::shared_ptr<detail::Connection> MakeConnection(tcp::socket socket, bool outgoing,
                                                       const std::string& serverName) override {
        return std::make_shared<detail::WebSocketConnection<tcp::socket>>(
            *this, Limits(), std::move(socket), outgoing, serverName, nullptr, ClientVerificationMode::None);
    }
};

} // namespace

std::shared_ptr<Transport> MakeWsTransport(boost::asio::io_context& io, const TransportOptions& options) {
    auto transport = std::make_shared<WsTransport>(io, options);
    transport->Start();
    return transport;
}

} // namespace zel::sip::stack

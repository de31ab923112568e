// WSS transport: SIP over secure WebSocket (RFC 7118), TLS checked as for the TLS transport.

#include "stack/transport/TlsContext.h"
#include "stack/transport/Transports.h"
#include "stack/transport/detail/StreamTransport.h"
#include "stack/transport/detail/WebSocketConnection.h"

namespace zel::sip::stack {

namespace {

using boost::asio::ip::tcp;
using TlsStream = boost::asio::ssl::stream<tcp::socket>;

class WssTransport final : public detail::StreamTransport {
public:
    WssTransport(boost::asio::io_context& io, const TransportOptions& options, const SecuritySettings& security)
        : StreamTransport(io, TransportType::WSS, options), context_(MakeSslContext(security, TlsProtocol::Tls)),
          verification_(security.clientVerification) {}

protected:
    std::shared_ptr<detail::Connection> MakeConnection(tcp::socket socket, bool outgoing,
                                                       const std::string& serverName) override {
        return std::make_shared<detail::WebSocketConnection<TlsStream>>(*this, Limits(), std::move(socket), outgoing,
                                                                        serverName, context_, verification_);
    }

private:
    std::shared_ptr<boost::asio::ssl::context> context_;
    ClientVerificationMode verification_;
};

} // namespace

std::shared_ptr<Transport> MakeWssTransport(boost::asio::io_context& io, const TransportOptions& options,
                                            const SecuritySettings& security) {
    auto transport = std::make_shared<WssTransport>(io, options, security);
    transport->Start();
    return transport;
}

} // namespace zel::sip::stack

// TLS transport (RFC 3261 section 26.2): Content-Length framing over asio::ssl, with the RFC 5922
// identity checks on the client side.

#include "stack/transport/KeepAliveSender.h"
#include "stack/transport/TlsContext.h"
#include "stack/transport/Transports.h"
#include "stack/transport/detail/FramedConnection.h"
#include "stack/transport/detail/StreamTransport.h"
#include "stack/transport/detail/TlsVerification.h"

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

namespace zel::sip::stack {

namespace {

using boost::asio::ip::tcp;
namespace ssl = boost::asio::ssl;

class TlsConnection final : public detail::FramedConnection {
public:
    TlsConnection(detail::ConnectionOwner& owner, const TransportLimits& limits, tcp::socket socket, bool outgoing,
                  const std::string& serverName, std::shared_ptr<ssl::context> context,
                  ClientVerificationMode verification)
        : FramedConnection(owner, TransportType::TLS, limits, outgoing, serverName), context_(std::move(context)),
          stream_(std::move(socket), *context_), verification_(verification) {}

    bool PeerVerifiedFor(const std::string& name) const override {
        return detail::PeerVerifiedFor(const_cast<ssl::stream<tcp::socket>&>(stream_).native_handle(), name);
    }

protected:
    tcp::socket& Socket() override { return stream_.next_layer(); }

    void Handshake(Completion done) override {
        if (IsOutgoing()) {
            expectedName_ = ServerName().empty() ? Peer().address.to_string() : ServerName();
            detail::PrepareClient(stream_.native_handle(), expectedName_);
            stream_.async_handshake(ssl::stream_base::client, std::move(done));
        } else {
            detail::PrepareServer(stream_.native_handle(), verification_);
            stream_.async_handshake(ssl::stream_base::server, std::move(done));
        }
    }

    void ReadSome(boost::asio::mutable_buffer buffer, ReadCompletion done) override {
        stream_.async_read_some(buffer, std::move(done));
    }

    void Write(std::string_view bytes, Completion done) override {
        boost::asio::async_write(stream_, boost::asio::buffer(bytes),
                                 [done = std::move(done)](const boost::system::error_code& error, std::size_t) {
                                     done(error);
                                 });
    }

private:
    std::shared_ptr<ssl::context> context_;
    ssl::stream<tcp::socket> stream_;
    ClientVerificationMode verification_;
    std::string expectedName_;
};

class TlsTransport final : public detail::StreamTransport, public KeepAliveSender {
public:
    TlsTransport(boost::asio::io_context& io, const TransportOptions& options, const SecuritySettings& security)
        : StreamTransport(io, TransportType::TLS, options), context_(MakeSslContext(security, TlsProtocol::Tls)),
          verification_(security.clientVerification) {}

    /// A CRLF CRLF ping on the flow's own connection (RFC 5626 section 4.4.1).
    void SendKeepAlive(const Tuple& flow, std::string bytes) override { SendKeepAliveOnFlow(flow, std::move(bytes)); }

protected:
    std::shared_ptr<detail::Connection> MakeConnection(tcp::socket socket, bool outgoing,
                                                       const std::string& serverName) override {
        return std::make_shared<TlsConnection>(*this, Limits(), std::move(socket), outgoing, serverName, context_,
                                               verification_);
    }

private:
    std::shared_ptr<ssl::context> context_;
    ClientVerificationMode verification_;
};

} // namespace

std::shared_ptr<Transport> MakeTlsTransport(boost::asio::io_context& io, const TransportOptions& options,
                                            const SecuritySettings& security) {
    auto transport = std::make_shared<TlsTransport>(io, options, security);
    transport->Start();
    return transport;
}

} // namespace zel::sip::stack

// TLS transport (RFC 3261 section 26.2): Content-Length framing over TLS streams that drive OpenSSL on
// the socket itself (detail/TlsStream), with the RFC 5922 identity checks on the client side.

#include "stack/transport/KeepAliveSender.h"
#include "stack/transport/TlsContext.h"
#include "stack/transport/Transports.h"
#include "stack/transport/detail/FramedConnection.h"
#include "stack/transport/detail/StreamTransport.h"
#include "stack/transport/detail/TlsStream.h"
#include "stack/transport/detail/TlsVerification.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/context.hpp>

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
          stream_(std::move(socket)), verification_(verification) {}

    bool PeerVerifiedFor(const std::string& name) const override {
        return detail::PeerVerifiedFor(stream_.Native(), name);
    }

protected:
    tcp::socket& Socket() override { return stream_.Socket(); }

    void Handshake(Completion done) override {
        // The OpenSSL object exists from the handshake on: a connection still connecting holds none.
        if (!stream_.Create(context_->native_handle(), !IsOutgoing()))
            return done(boost::asio::error::no_memory);
        if (IsOutgoing()) {
            expectedName_ = ServerName().empty() ? Peer().address.to_string() : ServerName();
            detail::PrepareClient(stream_.Native(), expectedName_);
        } else {
            detail::PrepareServer(stream_.Native(), verification_);
        }
        stream_.AsyncHandshake(std::move(done));
    }

    std::size_t ReadAvailable(boost::asio::mutable_buffer buffer, boost::system::error_code& error) override {
        return stream_.ReadSome(buffer, error);
    }

    void WaitReadable(Completion done) override { stream_.AsyncWaitReadable(std::move(done)); }

    void Write(std::string_view bytes, Completion done) override { stream_.AsyncWrite(bytes, std::move(done)); }

private:
    std::shared_ptr<ssl::context> context_;
    detail::TlsStream stream_;
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

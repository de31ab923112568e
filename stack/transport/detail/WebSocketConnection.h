#pragma once

// SIP over WebSocket (RFC 7118) on Boost.Beast: the "sip" subprotocol is required of the client
// and echoed by the server; each WebSocket message carries exactly one SIP message, in a text or
// binary frame. Included only by the WS and WSS transports (Beast is heavy to compile).

#include "stack/transport/detail/Connection.h"
#include "stack/transport/detail/TlsVerification.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <optional>
#include <type_traits>
#include <vector>

namespace zel::sip::stack::detail {

/// The subprotocol of RFC 7118 section 4.1.
inline constexpr std::string_view kSipSubprotocol = "sip";

/// True when a Sec-WebSocket-Protocol list offers "sip".
inline bool OffersSip(std::string_view list) {
    std::vector<std::string> protocols;
    boost::algorithm::split(protocols, list, boost::algorithm::is_any_of(","));
    for (auto& protocol : protocols)
        if (boost::algorithm::iequals(boost::algorithm::trim_copy(protocol), kSipSubprotocol))
            return true;
    return false;
}

/// A WebSocket connection over `NextLayer`: a TCP socket (WS) or a TLS stream over one (WSS).
template <class NextLayer>
class WebSocketConnection final : public Connection {
public:
    static constexpr bool kSecure = !std::is_same_v<NextLayer, boost::asio::ip::tcp::socket>;

    WebSocketConnection(ConnectionOwner& owner, const TransportLimits& limits, boost::asio::ip::tcp::socket socket,
                        bool outgoing, const std::string& serverName,
                        std::shared_ptr<boost::asio::ssl::context> context, ClientVerificationMode verification)
        : Connection(owner, kSecure ? TransportType::WSS : TransportType::WS, limits, outgoing, serverName),
          context_(std::move(context)), ws_(MakeStream(std::move(socket), context_.get())),
          verification_(verification) {
        ws_.read_message_max(limits.maxMessageBytes);
        ws_.auto_fragment(false);
    }

    bool PeerVerifiedFor(const std::string& name) const override {
        if constexpr (kSecure)
            return detail::PeerVerifiedFor(const_cast<Stream&>(ws_).next_layer().native_handle(), name);
        else
            return static_cast<void>(name), false;
    }

protected:
    boost::asio::ip::tcp::socket& Socket() override { return boost::beast::get_lowest_layer(ws_); }

    void Handshake(Completion done) override {
        auto self = std::static_pointer_cast<WebSocketConnection>(shared_from_this());
        auto next = [self, done = std::move(done)](const boost::system::error_code& error) mutable {
            if (error || self->IsClosed())
                return done(error);
            if (self->IsOutgoing())
                self->ClientUpgrade(std::move(done));
            else
                self->ServerUpgrade(std::move(done));
        };
        if constexpr (kSecure) {
            if (IsOutgoing()) {
                expectedName_ = ServerName().empty() ? Peer().address.to_string() : ServerName();
                PrepareClient(ws_.next_layer().native_handle(), expectedName_);
                ws_.next_layer().async_handshake(boost::asio::ssl::stream_base::client, std::move(next));
            } else {
                PrepareServer(ws_.next_layer().native_handle(), verification_);
                ws_.next_layer().async_handshake(boost::asio::ssl::stream_base::server, std::move(next));
            }
        } else {
            next({});
        }
    }

    void Read() override {
        auto self = std::static_pointer_cast<WebSocketConnection>(shared_from_this());
        ws_.async_read(readBuffer_, [self](const boost::system::error_code& error, std::size_t) {
            if (self->IsClosed())
                return;
            if (error) {
                const bool tooBig = error == boost::beast::websocket::error::message_too_big;
                return self->Fail(error, tooBig);
            }
            const auto data = self->readBuffer_.cdata();
            const std::string_view message(static_cast<const char*>(data.data()), data.size());
            // A message of CR and LF only is a keep-alive some clients send; it carries no SIP.
            const bool keepAlive = message.find_first_not_of("\r\n") == std::string_view::npos;
            if (!keepAlive && !self->Deliver(message))
                return;
            self->readBuffer_.clear();
            self->Read();
        });
    }

    void Write(std::string_view bytes, Completion done) override {
        ws_.text(true);
        ws_.async_write(boost::asio::buffer(bytes),
                        [done = std::move(done)](const boost::system::error_code& error, std::size_t) { done(error); });
    }

private:
    using Stream = boost::beast::websocket::stream<NextLayer>;

    static Stream MakeStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* context) {
        if constexpr (kSecure)
            return Stream(std::move(socket), *context);
        else
            return Stream(std::move(socket));
    }

    void ServerUpgrade(Completion done) {
        namespace http = boost::beast::http;
        request_.emplace();
        request_->header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
        request_->body_limit(0);
        auto self = std::static_pointer_cast<WebSocketConnection>(shared_from_this());
        http::async_read(ws_.next_layer(), httpBuffer_, *request_,
                         [self, done = std::move(done)](const boost::system::error_code& error, std::size_t) mutable {
                             if (error || self->IsClosed())
                                 return done(error);
                             const auto& request = self->request_->get();
                             if (!boost::beast::websocket::is_upgrade(request) ||
                                 !OffersSip(request[http::field::sec_websocket_protocol]))
                                 return done(make_error_code(boost::system::errc::protocol_not_supported));
                             self->ws_.set_option(boost::beast::websocket::stream_base::decorator(
                                 [](boost::beast::websocket::response_type& response) {
                                     response.set(http::field::sec_websocket_protocol, kSipSubprotocol);
                                 }));
                             self->ws_.async_accept(request, std::move(done));
                         });
    }

    void ClientUpgrade(Completion done) {
        namespace http = boost::beast::http;
        ws_.set_option(boost::beast::websocket::stream_base::decorator(
            [](boost::beast::websocket::request_type& request) {
                request.set(http::field::sec_websocket_protocol, kSipSubprotocol);
            }));
        // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + host + "]".
        const bool bracketed = ServerName().empty() && Peer().address.is_v6();
        std::string host;
        if (bracketed)
            host.push_back('[');
        host.append(ServerName().empty() ? Peer().address.to_string() : ServerName());
        if (bracketed)
            host.push_back(']');
        host.append(1, ':').append(std::to_string(Peer().port));
        auto self = std::static_pointer_cast<WebSocketConnection>(shared_from_this());
        ws_.async_handshake(response_, host, "/",
                            [self, done = std::move(done)](const boost::system::error_code& error) mutable {
                                if (!error && !boost::algorithm::iequals(
                                                  self->response_[http::field::sec_websocket_protocol], kSipSubprotocol))
                                    return done(make_error_code(boost::system::errc::protocol_not_supported));
                                done(error);
                            });
    }

    std::shared_ptr<boost::asio::ssl::context> context_;
    Stream ws_;
    ClientVerificationMode verification_;
    std::string expectedName_;
    boost::beast::flat_buffer readBuffer_;
    boost::beast::flat_buffer httpBuffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> request_;
    boost::beast::websocket::response_type response_;
};

} // namespace zel::sip::stack::detail

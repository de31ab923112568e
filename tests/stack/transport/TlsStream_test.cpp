// The TLS stream under the TLS transport, against itself over one loopback TCP connection whose
// socket buffers are small: a write larger than they hold waits for the reader and arrives whole,
// bytes OpenSSL holds after a short read are handed out without waiting on the socket, and the end
// of the connection is an error value.

#include "stack/transport/detail/TlsStream.h"

#include "stack/transport/TlsContext.h"

#include "TestCertificates.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

class TlsStreamTest : public test::CertificateTest {
protected:
    /// A client and a server stream over one loopback connection, through their handshake.
    void Connect() {
        tcp::acceptor acceptor(io, tcp::endpoint(make_address("127.0.0.1"), 0));
        acceptor.set_option(tcp::socket::receive_buffer_size(4096)); // the accepted socket inherits it
        tcp::socket clientSocket(io);
        clientSocket.open(tcp::v4());
        clientSocket.set_option(tcp::socket::send_buffer_size(4096));
        clientSocket.connect(acceptor.local_endpoint());
        client = std::make_unique<detail::TlsStream>(std::move(clientSocket));
        server = std::make_unique<detail::TlsStream>(acceptor.accept());

        serverContext = MakeSslContext(Settings("server"), TlsProtocol::Tls);
        clientContext = MakeSslContext(SecuritySettings{}, TlsProtocol::Tls);
        ASSERT_TRUE(client->Create(clientContext->native_handle(), false));
        ASSERT_TRUE(server->Create(serverContext->native_handle(), true));
        int done = 0;
        boost::system::error_code clientError, serverError;
        client->AsyncHandshake([&](const boost::system::error_code& error) {
            clientError = error;
            ++done;
        });
        server->AsyncHandshake([&](const boost::system::error_code& error) {
            serverError = error;
            ++done;
        });
        ASSERT_TRUE(test::RunUntil(io, [&] { return done == 2; }));
        ASSERT_FALSE(clientError) << clientError.message();
        ASSERT_FALSE(serverError) << serverError.message();
    }

    /// Reads on the server as the framed connection does, in pieces smaller than a record, until
    /// `ended` (with the error that ended reading).
    void ReadOnServer() {
        std::array<char, 1000> buffer{};
        for (;;) {
            boost::system::error_code error;
            const std::size_t size = server->ReadSome(boost::asio::buffer(buffer), error);
            if (error == boost::asio::error::would_block) {
                server->AsyncWaitReadable([this](const boost::system::error_code& waitError) {
                    if (waitError)
                        readError = waitError;
                    else
                        ReadOnServer();
                });
                return;
            }
            if (error) {
                readError = error;
                return;
            }
            received.append(buffer.data(), size);
        }
    }

    boost::asio::io_context io;
    std::shared_ptr<boost::asio::ssl::context> clientContext, serverContext;
    std::unique_ptr<detail::TlsStream> client, server;
    std::string received;
    boost::system::error_code readError;
};

TEST_F(TlsStreamTest, AWriteLargerThanTheSocketBuffersWaitsForTheReaderAndArrivesWhole) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::string sent(4 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + i % 23);
    bool written = false;
    boost::system::error_code writeError;
    client->AsyncWrite(sent, [&](const boost::system::error_code& error) {
        writeError = error;
        written = true;
    });
    while (io.poll() > 0) {
    }
    EXPECT_FALSE(written) << "the socket buffers cannot hold it all";

    ReadOnServer();
    ASSERT_TRUE(test::RunUntil(io, [&] { return written && received.size() == sent.size(); }))
        << received.size() << " of " << sent.size() << " bytes arrived";
    EXPECT_FALSE(writeError) << writeError.message();
    EXPECT_TRUE(received == sent) << "the bytes arrived changed";
    EXPECT_FALSE(readError) << readError.message();
}

TEST_F(TlsStreamTest, TheEndOfTheConnectionIsAnError) {
    // A close_notify ends reading with eof, after everything sent before it.
    ASSERT_NO_FATAL_FAILURE(Connect());
    bool written = false;
    client->AsyncWrite("last words", [&](const boost::system::error_code&) { written = true; });
    ASSERT_TRUE(test::RunUntil(io, [&] { return written; }));
    SSL_shutdown(client->Native());
    ReadOnServer();
    ASSERT_TRUE(test::RunUntil(io, [&] { return readError.failed(); }));
    EXPECT_EQ(received, "last words");
    EXPECT_EQ(readError, boost::asio::error::eof) << readError.message();

    // A socket closed without one is a truncated stream. The client takes in what the server sent
    // after the handshake (TLS 1.3 tickets) first: unread bytes would make its close a reset.
    received.clear();
    readError = {};
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::array<char, 100> scratch{};
    boost::system::error_code clientError;
    while (client->ReadSome(boost::asio::buffer(scratch), clientError) > 0) {
    }
    ASSERT_EQ(clientError, boost::asio::error::would_block) << clientError.message();
    client->Socket().close();
    ReadOnServer();
    ASSERT_TRUE(test::RunUntil(io, [&] { return readError.failed(); }));
    EXPECT_EQ(readError, boost::asio::ssl::error::stream_truncated) << readError.message();
    EXPECT_TRUE(received.empty());
}

} // namespace
} // namespace zel::sip::stack

#include "stack/transport/detail/TlsStream.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace zel::sip::stack::detail {

/// The BIO between OpenSSL and the stream's socket: reads and writes go straight to the socket
/// (asio's calls, which never raise SIGPIPE), and a call that would block is reported to OpenSSL as
/// one to retry and noted for the stream, which then waits for the socket.
struct TlsStreamBio {
    static TlsStream& StreamOf(BIO* bio) { return *static_cast<TlsStream*>(BIO_get_data(bio)); }

    static bool WouldBlock(const boost::system::error_code& error) {
        return error == boost::asio::error::would_block || error == boost::asio::error::try_again;
    }

    static int Read(BIO* bio, char* data, std::size_t size, std::size_t* read) {
        TlsStream& stream = StreamOf(bio);
        BIO_clear_retry_flags(bio);
        boost::system::error_code error;
        const std::size_t got = stream.socket_.read_some(boost::asio::buffer(data, size), error);
        if (WouldBlock(error)) {
            stream.readBlocked_ = true;
            BIO_set_retry_read(bio);
            return 0;
        }
        if (error == boost::asio::error::eof) {
            stream.eof_ = true;
            return 0;
        }
        if (error) {
            stream.socketError_ = error;
            return 0;
        }
        *read = got;
        return 1;
    }

    static int Write(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
        TlsStream& stream = StreamOf(bio);
        BIO_clear_retry_flags(bio);
        boost::system::error_code error;
        const std::size_t sent = stream.socket_.write_some(boost::asio::buffer(data, size), error);
        if (WouldBlock(error)) {
            stream.writeBlocked_ = true;
            BIO_set_retry_write(bio);
            return 0;
        }
        if (error) {
            stream.socketError_ = error;
            return 0;
        }
        *written = sent;
        return 1;
    }

    static long Control(BIO* bio, int command, long, void*) {
        switch (command) {
        case BIO_CTRL_FLUSH:
            return 1; // nothing is buffered here
        case BIO_CTRL_EOF:
            return StreamOf(bio).eof_ ? 1 : 0;
        default:
            return 0;
        }
    }

    /// Made once per process and never freed, like OpenSSL's own methods.
    static BIO_METHOD* Method() {
        static BIO_METHOD* const method = [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zel TLS socket");
            if (made && (BIO_meth_set_read_ex(made, Read) != 1 || BIO_meth_set_write_ex(made, Write) != 1 ||
                         BIO_meth_set_ctrl(made, Control) != 1)) {
                BIO_meth_free(made);
                made = nullptr;
            }
            return made;
        }();
        return method;
    }
};

TlsStream::TlsStream(boost::asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

TlsStream::~TlsStream() { SSL_free(ssl_); } // frees the BIO with it

bool TlsStream::Create(SSL_CTX* context, bool server) {
    boost::system::error_code error;
    socket_.non_blocking(true, error); // the BIO's reads and writes must never block
    BIO_METHOD* method = TlsStreamBio::Method();
    if (error || !method || ssl_)
        return false;
    ssl_ = SSL_new(context);
    BIO* bio = ssl_ ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
        return false;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    // OpenSSL's record buffers (about 17 KiB each way) exist only while a record is under way.
    SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS);
    if (server)
        SSL_set_accept_state(ssl_);
    else
        SSL_set_connect_state(ssl_);
    return true;
}

TlsStream::Want TlsStream::Classify(int result, boost::system::error_code& error) {
    switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
        // OpenSSL wants more without the socket having run dry: try again rather than wait.
        return readBlocked_ ? Want::Read : Want::Retry;
    case SSL_ERROR_WANT_WRITE:
        return writeBlocked_ ? Want::Write : Want::Retry;
    case SSL_ERROR_ZERO_RETURN:
        error = boost::asio::error::eof; // the peer's close_notify
        break;
    case SSL_ERROR_SYSCALL:
        error = socketError_ ? socketError_ : boost::system::error_code(boost::asio::ssl::error::stream_truncated);
        break;
    case SSL_ERROR_SSL: {
        const unsigned long code = ERR_get_error();
        if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            error = boost::asio::ssl::error::stream_truncated;
        else
            error = boost::system::error_code(static_cast<int>(code), boost::asio::error::get_ssl_category());
        break;
    }
    default:
        error = boost::asio::error::operation_not_supported;
        break;
    }
    ERR_clear_error();
    return Want::Retry;
}

void TlsStream::Await(Want want, Completion next) {
    if (want == Want::Retry) {
        // A close in between aborts, as it aborts a wait on the socket: the connection frees the
        // bytes of a write it was sending when it closes, so they must not be touched again.
        boost::asio::post(socket_.get_executor(), [this, next = std::move(next)] {
            next(socket_.is_open() ? boost::system::error_code() : boost::asio::error::operation_aborted);
        });
        return;
    }
    socket_.async_wait(want == Want::Read ? boost::asio::ip::tcp::socket::wait_read
                                          : boost::asio::ip::tcp::socket::wait_write,
                       std::move(next));
}

void TlsStream::Post(Completion done, const boost::system::error_code& error) {
    boost::asio::post(socket_.get_executor(), [done = std::move(done), error] { done(error); });
}

void TlsStream::BeginCall() {
    // The error queue is per thread and shared with every other OpenSSL user on it.
    ERR_clear_error();
    readBlocked_ = writeBlocked_ = false;
    socketError_ = {};
}

void TlsStream::AsyncHandshake(Completion done) {
    if (!ssl_)
        return Post(std::move(done), boost::asio::error::not_connected);
    BeginCall();
    const int result = SSL_do_handshake(ssl_);
    if (result == 1)
        return Post(std::move(done), {});
    boost::system::error_code error;
    const Want want = Classify(result, error);
    if (error)
        return Post(std::move(done), error);
    Await(want, [this, done = std::move(done)](const boost::system::error_code& waitError) mutable {
        if (waitError)
            return done(waitError);
        AsyncHandshake(std::move(done));
    });
}

std::size_t TlsStream::ReadSome(boost::asio::mutable_buffer buffer, boost::system::error_code& error) {
    error = {};
    if (!ssl_) {
        error = boost::asio::error::not_connected;
        return 0;
    }
    BeginCall();
    std::size_t read = 0;
    const int result = SSL_read_ex(ssl_, buffer.data(), buffer.size(), &read);
    if (result == 1)
        return read;
    readWants_ = Classify(result, error);
    if (!error)
        error = boost::asio::error::would_block;
    return 0;
}

void TlsStream::AsyncWaitReadable(Completion done) { Await(readWants_, std::move(done)); }

void TlsStream::AsyncWrite(std::string_view bytes, Completion done) {
    if (!ssl_)
        return Post(std::move(done), boost::asio::error::not_connected);
    if (bytes.empty())
        return Post(std::move(done), {});
    BeginCall();
    std::size_t written = 0;
    // Partial writes are not enabled: success means every byte went into records.
    const int result = SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written);
    if (result == 1)
        return Post(std::move(done), {});
    boost::system::error_code error;
    const Want want = Classify(result, error);
    if (error)
        return Post(std::move(done), error);
    // OpenSSL expects the same bytes again; it remembers how far it got.
    Await(want, [this, bytes, done = std::move(done)](const boost::system::error_code& waitError) mutable {
        if (waitError)
            return done(waitError);
        AsyncWrite(bytes, std::move(done));
    });
}

} // namespace zel::sip::stack::detail

#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <string_view>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace zel::sip::stack::detail {

/// TLS over a TCP socket, with OpenSSL reading and writing the (non-blocking) socket itself
/// through a small BIO. Unlike asio::ssl::stream, it keeps no staging buffers (asio's stream holds
/// two 17 KiB buffers and a BIO pair with two more for as long as the connection lives); the only
/// record buffers are OpenSSL's own, which it frees whenever the connection is idle
/// (SSL_MODE_RELEASE_BUFFERS). Readiness comes from the socket, so a read is always tried first and
/// the caller waits only after one reported `would_block`: bytes OpenSSL has decrypted but not yet
/// handed out make no socket readable.
///
/// Every call on the io_context's thread. Completions always run later, never inside the call that
/// started them; each one is held until it runs, so a completion that holds a share of the object
/// that owns this stream keeps the stream alive for as long as an operation is pending.
class TlsStream {
public:
    using Completion = std::function<void(const boost::system::error_code&)>;

    explicit TlsStream(boost::asio::ip::tcp::socket socket);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    boost::asio::ip::tcp::socket& Socket() noexcept { return socket_; }
    /// The OpenSSL object once `Create` succeeded, else null.
    SSL* Native() const noexcept { return ssl_; }

    /// Makes the OpenSSL object from `context` for one side of the handshake; false when OpenSSL
    /// cannot (out of memory). Called once, on a connected socket, before `AsyncHandshake`.
    bool Create(SSL_CTX* context, bool server);
    /// Runs the handshake to its end.
    void AsyncHandshake(Completion done);
    /// Decrypted bytes available now, up to the size of `buffer`: their count, or 0 with `error` set
    /// to `would_block` (wait with `AsyncWaitReadable`, then read again), `eof` (the peer closed) or
    /// another error. Never blocks.
    std::size_t ReadSome(boost::asio::mutable_buffer buffer, boost::system::error_code& error);
    /// Waits until a `ReadSome` that reported `would_block` may make progress.
    void AsyncWaitReadable(Completion done);
    /// Writes all of `bytes`, which must stay valid and unchanged until `done` runs. One write at a
    /// time.
    void AsyncWrite(std::string_view bytes, Completion done);

private:
    enum class Want { Read, Write, Retry };

    /// Resets what the BIO notes before each call into OpenSSL.
    void BeginCall();
    /// What the failed OpenSSL call `result` needs: a wait or a retry; or (in `error`) nothing more.
    Want Classify(int result, boost::system::error_code& error);
    /// Runs `next` once the socket is ready as `want` says (at once for a retry), with the wait's error.
    void Await(Want want, Completion next);
    void Post(Completion done, const boost::system::error_code& error);

    boost::asio::ip::tcp::socket socket_;
    SSL* ssl_ = nullptr;
    /// The last socket read or write the BIO made would have blocked / the socket reported EOF.
    bool readBlocked_ = false;
    bool writeBlocked_ = false;
    bool eof_ = false;
    /// The socket error the BIO last met, for SSL_ERROR_SYSCALL.
    boost::system::error_code socketError_;
    /// What the last `ReadSome` that reported `would_block` waits for.
    Want readWants_ = Want::Read;

    friend struct TlsStreamBio;
};

} // namespace zel::sip::stack::detail

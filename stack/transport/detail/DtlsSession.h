#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace zel::sip::stack::detail {

/// One DTLS 1.2 association (RFC 6347) with one peer, as an OpenSSL object over two memory BIOs:
/// it takes received datagrams and hands back the datagrams to send and the records received. It
/// does no socket I/O and keeps no clock of its own: the owner asks `Timeout` and calls
/// `HandleTimeout` when it passes (handshake retransmissions).
///
/// One call of `Receive` takes exactly one datagram; every application record is one SIP message.
/// Not thread-safe: one owner on one thread.
class DtlsSession {
public:
    enum class State { Handshaking, Open, Closed };

    /// A new SSL object of `context` over memory BIOs, sized for `mtu`-byte datagrams; null when
    /// OpenSSL cannot make one.
    static SSL* NewSsl(SSL_CTX* context, std::size_t mtu);

    /// Takes ownership of `ssl` (from `NewSsl`), whose role (connect or accept state) is already set.
    explicit DtlsSession(SSL* ssl);
    ~DtlsSession();
    DtlsSession(const DtlsSession&) = delete;
    DtlsSession& operator=(const DtlsSession&) = delete;

    /// Advances the handshake with what the BIOs hold (starts it on the client side).
    void Continue();

    /// Feeds one datagram; the application records it completes are appended to `records`.
    void Receive(std::string_view datagram, std::vector<std::string>& records);

    /// Encrypts one message as one record; false (and the session closed) when OpenSSL refuses.
    bool Write(std::string_view message);

    /// Sends close_notify (collected by the next `TakeDatagrams`) and closes.
    void Shutdown();

    /// What OpenSSL wrote since the last call, cut at record boundaries into datagrams of at most
    /// `mtu` bytes (a single larger record travels alone).
    std::vector<std::string> TakeDatagrams(std::size_t mtu);

    /// How long until the handshake retransmission timer runs out, when it runs.
    std::optional<std::chrono::microseconds> Timeout() const;

    /// Retransmits the last flight when its timer ran out; closes after too many.
    void HandleTimeout();

    State GetState() const noexcept { return state_; }
    /// Why the session closed: OpenSSL's reason in the asio SSL category, or connection_reset when
    /// the peer sent close_notify.
    const std::error_code& Error() const noexcept { return error_; }
    SSL* Native() const noexcept { return ssl_; }

    /// Splits concatenated DTLS records into datagrams of at most `mtu` bytes. Exposed for tests.
    static std::vector<std::string> PackRecords(std::string_view records, std::size_t mtu);

private:
    void Fail(int result);
    void ReadRecords(std::vector<std::string>& records);

    SSL* ssl_;
    State state_ = State::Handshaking;
    std::error_code error_;
};

} // namespace zel::sip::stack::detail

#include "stack/transport/detail/DtlsSession.h"

#include <boost/asio/ssl/error.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>

namespace zel::sip::stack::detail {

namespace {

/// type, version, epoch, sequence number, length (RFC 6347 section 4.1).
constexpr std::size_t kRecordHeaderSize = 13;

} // namespace

SSL* DtlsSession::NewSsl(SSL_CTX* context, std::size_t mtu) {
    SSL* ssl = SSL_new(context);
    if (!ssl)
        return nullptr;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!in || !out) {
        BIO_free(in);
        BIO_free(out);
        SSL_free(ssl);
        return nullptr;
    }
    // An empty BIO means "wait for the next datagram", not end of file.
    BIO_set_mem_eof_return(in, -1);
    BIO_set_mem_eof_return(out, -1);
    SSL_set_bio(ssl, in, out);
    // A memory BIO knows no path MTU: handshake messages are fragmented for the one we give.
    SSL_set_options(ssl, SSL_OP_NO_QUERY_MTU);
    SSL_set_mtu(ssl, static_cast<long>(mtu));
    return ssl;
}

DtlsSession::DtlsSession(SSL* ssl) : ssl_(ssl) {}

DtlsSession::~DtlsSession() { SSL_free(ssl_); }

void DtlsSession::Fail(int result) {
    const int reason = SSL_get_error(ssl_, result);
    if (reason == SSL_ERROR_ZERO_RETURN) {
        error_ = std::make_error_code(std::errc::connection_reset);
    } else {
        const unsigned long code = ERR_peek_last_error();
        if (code != 0)
            error_ = boost::system::error_code(static_cast<int>(code), boost::asio::error::get_ssl_category());
        else
            error_ = std::make_error_code(std::errc::protocol_error);
    }
    ERR_clear_error();
    state_ = State::Closed;
}

void DtlsSession::Continue() {
    if (state_ != State::Handshaking)
        return;
    const int result = SSL_do_handshake(ssl_);
    if (result == 1) {
        state_ = State::Open;
        return;
    }
    const int reason = SSL_get_error(ssl_, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
        ERR_clear_error();
        return;
    }
    Fail(result);
}

void DtlsSession::Receive(std::string_view datagram, std::vector<std::string>& records) {
    if (state_ == State::Closed)
        return;
    BIO_write(SSL_get_rbio(ssl_), datagram.data(), static_cast<int>(datagram.size()));
    Continue();
    if (state_ == State::Open)
        ReadRecords(records);
    // Whatever OpenSSL did not consume (a bad record it skipped) must not join the next datagram.
    (void)BIO_reset(SSL_get_rbio(ssl_));
}

void DtlsSession::ReadRecords(std::vector<std::string>& records) {
    std::array<char, 16 * 1024 + 256> buffer;
    for (;;) {
        const int size = SSL_read(ssl_, buffer.data(), static_cast<int>(buffer.size()));
        if (size > 0) {
            records.emplace_back(buffer.data(), static_cast<std::size_t>(size));
            continue;
        }
        const int reason = SSL_get_error(ssl_, size);
        if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return;
        }
        return Fail(size);
    }
}

bool DtlsSession::Write(std::string_view message) {
    if (state_ != State::Open)
        return false;
    const int result = SSL_write(ssl_, message.data(), static_cast<int>(message.size()));
    if (result == static_cast<int>(message.size()))
        return true;
    Fail(result);
    return false;
}

void DtlsSession::Shutdown() {
    if (state_ == State::Open)
        SSL_shutdown(ssl_);
    ERR_clear_error();
    state_ = State::Closed;
}

std::vector<std::string> DtlsSession::TakeDatagrams(std::size_t mtu) {
    BIO* out = SSL_get_wbio(ssl_);
    const auto pending = BIO_ctrl_pending(out);
    if (pending == 0)
        return {};
    std::string bytes(pending, '\0');
    const int read = BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(read > 0 ? static_cast<std::size_t>(read) : 0);
    return PackRecords(bytes, mtu);
}

std::vector<std::string> DtlsSession::PackRecords(std::string_view records, std::size_t mtu) {
    std::vector<std::string> datagrams;
    std::string current;
    while (!records.empty()) {
        std::size_t size = records.size(); // anything unparseable travels as it is
        if (records.size() >= kRecordHeaderSize) {
            const std::size_t length = (static_cast<std::uint8_t>(records[11]) << 8) | static_cast<std::uint8_t>(records[12]);
            size = std::min(records.size(), kRecordHeaderSize + length);
        }
        if (!current.empty() && current.size() + size > mtu)
            datagrams.push_back(std::move(current)), current.clear();
        current.append(records.substr(0, size));
        records.remove_prefix(size);
    }
    if (!current.empty())
        datagrams.push_back(std::move(current));
    return datagrams;
}

std::optional<std::chrono::microseconds> DtlsSession::Timeout() const {
    timeval left{};
    if (state_ == State::Closed || DTLSv1_get_timeout(ssl_, &left) != 1)
        return std::nullopt;
    return std::chrono::seconds(left.tv_sec) + std::chrono::microseconds(left.tv_usec);
}

void DtlsSession::HandleTimeout() {
    if (state_ == State::Closed)
        return;
    if (DTLSv1_handle_timeout(ssl_) < 0) {
        error_ = std::make_error_code(std::errc::timed_out);
        ERR_clear_error();
        state_ = State::Closed;
    }
}

} // namespace zel::sip::stack::detail

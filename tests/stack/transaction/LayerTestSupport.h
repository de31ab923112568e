#pragma once

// A transaction layer on a real UDP transport on the loopback, and a raw UDP peer to talk to it.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TransactionTestSupport.h"
#include "stack/transaction/TransactionLayer.h"
#include "stack/transport/Transports.h"

namespace zel::sip::stack::test {

/// Runs `io` until `done` or `limit` (a guard against hangs, not a timing assumption).
inline bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (io.stopped()) {
            io.restart();
        }
        io.run_one_for(milliseconds(10));
    }
    return done();
}

/// Runs `io` for `duration` of wall time: for checking that nothing (more) happens.
inline void RunFor(boost::asio::io_context& io, milliseconds duration) {
    RunUntil(io, [] { return false; }, duration);
}

/// A raw UDP socket on 127.0.0.1 that records every datagram it receives.
class UdpPeer {
public:
    explicit UdpPeer(boost::asio::io_context& io)
        : socket_(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
        Receive();
    }

    Tuple Where() const {
        return Tuple{socket_.local_endpoint().address(), socket_.local_endpoint().port(), TransportType::UDP, 0};
    }
    std::uint16_t Port() const { return socket_.local_endpoint().port(); }

    void SendTo(const Tuple& to, const std::string& text) {
        socket_.send_to(boost::asio::buffer(text), boost::asio::ip::udp::endpoint(to.address, to.port));
    }

    /// The received datagrams whose first line starts with `prefix`.
    std::vector<std::string> Starting(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const auto& datagram : received) {
            if (datagram.starts_with(prefix)) {
                out.push_back(datagram);
            }
        }
        return out;
    }

    std::vector<std::string> received;

private:
    void Receive() {
        socket_.async_receive_from(boost::asio::buffer(buffer_), from_, [this](const auto& error, std::size_t size) {
            if (error) {
                return;
            }
            received.emplace_back(buffer_.data(), size);
            Receive();
        });
    }

    boost::asio::ip::udp::socket socket_;
    std::array<char, 65536> buffer_{};
    boost::asio::ip::udp::endpoint from_;
};

/// Replaces each "{name}" in `text` by its value and turns LF into CRLF.
inline std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
        const std::string placeholder = "{" + name + "}";
        for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at)) {
            text.replace(at, placeholder.size(), value);
        }
    }
    return Wire(text);
}

/// The value of the header line `name` (first occurrence), "" when absent.
inline std::string HeaderOf(const std::string& message, std::string_view name) {
    const std::string key = "\r\n" + std::string(name) + ": ";
    const std::size_t at = message.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + key.size();
    return message.substr(start, message.find("\r\n", start) - start);
}

} // namespace zel::sip::stack::test

#pragma once

// A TCP forwarder on loopback that a test can cut: it accepts connections on a port of its own,
// opens one to the target for each, copies bytes both ways, and on DropAll closes every pair, as a
// NAT or a broken link would. One thread, poll(), stopped and joined by the destructor.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace zel::sip::test {

class TcpForwarder {
public:
    explicit TcpForwarder(std::uint16_t targetPort) : target_(targetPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof(address);
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("TcpForwarder: cannot listen");
        }
        port_ = ntohs(address.sin_port);
        if (::pipe(wake_) != 0) {
            throw std::runtime_error("TcpForwarder: pipe failed");
        }
        thread_ = std::thread([this] { Run(); });
    }

    ~TcpForwarder() {
        stop_ = true;
        Wake();
        thread_.join();
        for (auto& [a, b] : pairs_) {
            ::close(a);
            ::close(b);
        }
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    TcpForwarder(const TcpForwarder&) = delete;
    TcpForwarder& operator=(const TcpForwarder&) = delete;

    std::uint16_t Port() const noexcept { return port_; }
    /// Connections accepted so far.
    std::size_t Accepted() const noexcept { return accepted_.load(); }

    /// Closes every forwarded connection (both ends, with a reset towards the client).
    void DropAll() {
        drop_ = true;
        Wake();
    }

private:
    static sockaddr_in Loopback(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void Wake() {
        const char byte = 0;
        [[maybe_unused]] const auto ignored = ::write(wake_[1], &byte, 1);
    }

    void Run() {
        char buffer[16384];
        while (!stop_) {
            if (drop_.exchange(false)) {
                for (auto& [a, b] : pairs_) {
                    const linger reset{1, 0};
                    ::setsockopt(a, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
                    ::close(a);
                    ::close(b);
                }
                pairs_.clear();
            }
            std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            for (const auto& [a, b] : pairs_) {
                fds.push_back({a, POLLIN, 0});
                fds.push_back({b, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 1000) <= 0) {
                continue;
            }
            if (fds[1].revents != 0) {
                [[maybe_unused]] const auto ignored = ::read(wake_[0], buffer, sizeof(buffer));
                continue;
            }
            if (fds[0].revents & POLLIN) {
                const int client = ::accept(listener_, nullptr, nullptr);
                const int server = ::socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in target = Loopback(target_);
                if (client >= 0 && server >= 0 &&
                    ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0) {
                    pairs_.emplace_back(client, server);
                    ++accepted_;
                } else {
                    if (client >= 0) {
                        ::close(client);
                    }
                    if (server >= 0) {
                        ::close(server);
                    }
                }
                continue;
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                auto& pair = pairs_[(i - 2) / 2];
                const int from = fds[i].fd;
                const int to = from == pair.first ? pair.second : pair.first;
                const ssize_t n = ::read(from, buffer, sizeof(buffer));
                if (n <= 0 || ::write(to, buffer, static_cast<std::size_t>(n)) != n) {
                    ::close(pair.first);
                    ::close(pair.second);
                    pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>((i - 2) / 2));
                    break; // the descriptor list no longer matches
                }
            }
        }
    }

    std::uint16_t target_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<std::pair<int, int>> pairs_; // client side, kamailio side
    std::atomic<std::size_t> accepted_{0};
    std::atomic<bool> drop_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace zel::sip::test

#pragma once

// A dnsmasq process serving test records on 127.0.0.1, for tests of the DNS layer against a real
// server. Needs dnsmasq (Debian package dnsmasq-base).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace zel::sip::stack::test {

/// A UDP socket bound to a free loopback port.
class LoopbackUdpSocket {
public:
    LoopbackUdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        if (fd_ < 0)
            throw std::runtime_error("socket failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("bind failed");
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackUdpSocket() { Close(); }
    LoopbackUdpSocket(const LoopbackUdpSocket&) = delete;
    LoopbackUdpSocket& operator=(const LoopbackUdpSocket&) = delete;

    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }
    std::uint16_t Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

/// Runs dnsmasq with the given configuration lines (naptr-record=, srv-host=, host-record=, ...) as
/// the only authority for the "test" domain, with a TTL of 300 s on its records. The destructor (or
/// Stop) ends the process and waits for it.
class Dnsmasq {
public:
    explicit Dnsmasq(const std::vector<std::string>& records) {
        char pattern[] = "/tmp/zel-dnsmasq-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        directory_ = pattern;
        {
            std::ofstream conf(directory_ / "dnsmasq.conf");
            conf << "local=/test/\nlocal-ttl=300\n";
            for (const auto& line : records)
                conf << line << '\n';
        }
        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt)
            Start();
        if (pid_ <= 0)
            throw std::runtime_error("dnsmasq did not start; is dnsmasq-base installed? See " +
                                     (directory_ / "dnsmasq.log").string());
    }

    ~Dnsmasq() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    /// Ends the server; its port is closed afterwards.
    void Stop() {
        if (pid_ <= 0)
            return;
        // The whole group: TCP queries are answered by child processes.
        ::kill(-pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::uint16_t Port() const { return port_; }
    /// "127.0.0.1:port", for DnsSettings::servers.
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void Start() {
        {
            LoopbackUdpSocket probe;
            port_ = probe.Port();
        }
        const std::string log = (directory_ / "dnsmasq.log").string();
        std::vector<std::string> args{"dnsmasq",
                                      // In the foreground, but answering TCP in child processes as
                                      // in production: --no-daemon serves a TCP connection inline
                                      // and ignores UDP while the client keeps it open.
                                      "--keep-in-foreground",
                                      "--log-facility=-",
                                      "--port=" + std::to_string(port_),
                                      "--listen-address=127.0.0.1",
                                      "--bind-interfaces",
                                      "--no-resolv",
                                      "--no-hosts",
                                      "--pid-file=",
                                      "--log-queries",
                                      "--conf-file=" + (directory_ / "dnsmasq.conf").string()};
        if (::geteuid() == 0)
            args.push_back("--user=root");
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // Root's PATH has /usr/sbin; other users' often does not.
        const bool inSbin = ::access("/usr/sbin/dnsmasq", X_OK) == 0;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        pid_t pid = -1;
        const int spawned = inSbin ? ::posix_spawn(&pid, "/usr/sbin/dnsmasq", &actions, &attributes, argv.data(), environ)
                                   : ::posix_spawnp(&pid, "dnsmasq", &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            pid = -1;
        if (pid <= 0)
            return;
        pid_ = pid;
        if (!WaitUntilAnswering()) {
            Stop();
        }
    }

    /// Sends a query for "ready.test" until dnsmasq answers (or exits). A readiness wait, not a
    /// timing assertion: at most about five seconds.
    bool WaitUntilAnswering() {
        static constexpr std::array<unsigned char, 28> kQuery{0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00,
                                                              0x00, 0x00, 0x00, 0x00, 0x00, 5,    'r',
                                                              'e',  'a',  'd',  'y',  4,    't',  'e',
                                                              's',  't',  0,    0x00, 0x01, 0x00, 0x01};
        LoopbackUdpSocket client;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port_);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int attempt = 0; attempt < 100; ++attempt) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            ::sendto(client.Fd(), kQuery.data(), kQuery.size(), 0, reinterpret_cast<sockaddr*>(&server),
                     sizeof server);
            pollfd wait{client.Fd(), POLLIN, 0};
            if (::poll(&wait, 1, 50) == 1) {
                std::array<unsigned char, 512> answer{};
                if (::recv(client.Fd(), answer.data(), answer.size(), 0) > 0)
                    return true;
            }
        }
        return false;
    }

    std::filesystem::path directory_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

} // namespace zel::sip::stack::test

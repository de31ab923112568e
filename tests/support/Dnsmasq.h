#pragma once

// dnsmasq (Debian package dnsmasq-base) serving test records on 127.0.0.1, for tests of the DNS
// layer and of server location against a real server.

#include <poll.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"

namespace zel::sip::test {

/// Runs dnsmasq with the given configuration lines (naptr-record=, srv-host=, host-record=, ...) as
/// the only authority for the "test" domain, with a TTL of 300 s on its records. The constructor
/// returns once it answers; the destructor (or Stop) ends it and its forks.
class Dnsmasq {
public:
    static bool Installed() { return ProgramInstalled("dnsmasq"); }

    explicit Dnsmasq(const std::vector<std::string>& records) {
        std::ofstream conf(dir_.File("dnsmasq.conf"));
        conf << "local=/test/\nlocal-ttl=300\n";
        for (const auto& line : records) {
            conf << line << '\n';
        }
        conf.close();
        // The port is free when picked but may be taken before dnsmasq binds it: try a few.
        for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
            Start();
        }
        if (!process_) {
            throw std::runtime_error("dnsmasq did not start; is dnsmasq-base installed? Its output:\n" + lastOutput_);
        }
    }

    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    /// Ends the server; its port is closed afterwards.
    void Stop() { process_.reset(); }

    std::uint16_t Port() const noexcept { return port_; }
    /// "127.0.0.1:port", for DnsSettings::servers.
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void Start() {
        {
            LoopbackUdpSocket probe;
            port_ = probe.Port();
        }
        std::vector<std::string> arguments{"dnsmasq",
                                           // In the foreground, but answering TCP in child processes
                                           // as in production: --no-daemon serves a TCP connection
                                           // inline and ignores UDP while the client keeps it open.
                                           "--keep-in-foreground",
                                           "--log-facility=-",
                                           "--port=" + std::to_string(port_),
                                           "--listen-address=127.0.0.1",
                                           "--bind-interfaces",
                                           "--no-resolv",
                                           "--no-hosts",
                                           "--pid-file=",
                                           "--log-queries",
                                           "--conf-file=" + dir_.File("dnsmasq.conf")};
        if (::geteuid() == 0) {
            arguments.push_back("--user=root");
        }
        ChildProcess::Options options;
        options.ownProcessGroup = true;
        try {
            process_ = std::make_unique<ChildProcess>(arguments, dir_.File("dnsmasq.log"), options);
        } catch (const std::runtime_error& error) {
            lastOutput_ = error.what();
            return;
        }
        if (!WaitUntil([this] { return !process_->Running() || Answers(); }, std::chrono::seconds(5)) ||
            !process_->Running()) {
            lastOutput_ = process_->Output();
            process_.reset();
        }
    }

    /// Whether a query for "ready.test" is answered within 50 ms.
    bool Answers() const {
        static constexpr std::array<unsigned char, 28> kQuery{0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00,
                                                              0x00, 0x00, 0x00, 0x00, 0x00, 5,    'r',
                                                              'e',  'a',  'd',  'y',  4,    't',  'e',
                                                              's',  't',  0,    0x00, 0x01, 0x00, 0x01};
        LoopbackUdpSocket client;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port_);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::sendto(client.Fd(), kQuery.data(), kQuery.size(), 0, reinterpret_cast<sockaddr*>(&server),
                     sizeof(server)) < 0) {
            return false;
        }
        pollfd wait{client.Fd(), POLLIN, 0};
        if (::poll(&wait, 1, 50) != 1) {
            return false;
        }
        std::array<unsigned char, 512> answer{};
        return ::recv(client.Fd(), answer.data(), answer.size(), 0) > 0;
    }

    TempDir dir_;
    std::uint16_t port_ = 0;
    std::string lastOutput_;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zel::sip::test

#pragma once

// A transaction user for tests on its own thread, and SIPp as a child process that is always
// killed and reaped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "stack/core/SipStack.h"

extern char** environ;

namespace zel::sip::stack::test {

using std::chrono::milliseconds;

/// Threads of this process, from /proc.
inline std::size_t ThreadCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator{}));
}

/// A response to `request`: Via, From, To (with `toTag` added), Call-ID and CSeq copied.
inline SipMessage AnswerTo(const SipMessage& request, int code, std::string_view reason, std::string_view toTag) {
    SipMessage response = SipMessage::MakeResponse(code, reason);
    for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq}) {
        for (std::size_t i = 0; i < request.Count(type); ++i) {
            response.Add(type, request.ValueText(type, i));
        }
    }
    if (NameAddr* to = response.Edit<NameAddr>(HeaderType::To); to != nullptr && !to->Params().Has("tag")) {
        to->Params().Set("tag", toTag);
    }
    return response;
}

/// Answers OPTIONS, BYE and anything else 200, INVITE 180 then 200, and retransmits each 2xx of an
/// INVITE (T1 doubling up to T2) until its ACK or BYE comes, as a dialog layer must (RFC 3261
/// section 13.3.1.4). Counts every request it sees by Call-ID, CSeq and method.
class TestTransactionUser {
public:
    TestTransactionUser(SipStack& stack, milliseconds t1, milliseconds t2)
        : stack_(stack), t1_(t1), t2_(t2), thread_([this] { Run(); }) {}
    ~TestTransactionUser() { Stop(); }

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    /// Requests but ACK, by "Call-ID CSeq": how often each reached the user.
    std::map<std::string, int> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<TransactionUserMessage> Others() const {
        std::lock_guard lock(mutex_);
        return others_;
    }

private:
    struct PendingOk {
        TransactionId transaction;
        SipMessage response;
        std::chrono::steady_clock::time_point next;
        std::chrono::steady_clock::time_point giveUp;
        milliseconds interval;
    };

    void Run() {
        while (!stop_) {
            if (auto entry = stack_.Queue().Pop(milliseconds(5))) {
                Handle(*entry);
            }
            Retransmit();
        }
    }

    void Handle(const TransactionUserMessage& entry) {
        if (entry.kind != TransactionUserMessage::Kind::Request) {
            std::lock_guard lock(mutex_);
            others_.push_back(entry);
            return;
        }
        const SipMessage& request = *entry.message;
        const std::string callId(request.Raw(HeaderType::CallId));
        if (request.Method() == "ACK") {
            pending_.erase(callId);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            ++requests_[callId + " " + std::string(request.Raw(HeaderType::CSeq))];
        }
        if (request.Method() == "CANCEL") {
            return;
        }
        const std::string tag = "tu" + std::to_string(entry.transaction);
        if (request.Method() == "INVITE") {
            stack_.SendResponse(entry.transaction, AnswerTo(request, 180, "Ringing", tag));
            SipMessage ok = AnswerTo(request, 200, "OK", tag);
            ok.Add(HeaderType::Contact, "<sip:tu@127.0.0.1>");
            stack_.SendResponse(entry.transaction, ok);
            const auto now = std::chrono::steady_clock::now();
            pending_.insert_or_assign(callId, PendingOk{entry.transaction, std::move(ok), now + t1_, now + 64 * t1_, t1_});
            return;
        }
        if (request.Method() == "BYE") {
            pending_.erase(callId);
        }
        stack_.SendResponse(entry.transaction, AnswerTo(request, 200, "OK", tag));
    }

    void Retransmit() {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            PendingOk& ok = it->second;
            if (now >= ok.giveUp) {
                it = pending_.erase(it);
                continue;
            }
            if (now >= ok.next) {
                stack_.SendResponse(ok.transaction, ok.response);
                ok.interval = std::min(2 * ok.interval, t2_);
                ok.next = now + ok.interval;
            }
            ++it;
        }
    }

    SipStack& stack_;
    milliseconds t1_;
    milliseconds t2_;
    std::atomic<bool> stop_{false};
    std::map<std::string, PendingOk> pending_; // the user's thread only
    mutable std::mutex mutex_;
    std::map<std::string, int> requests_;
    std::vector<TransactionUserMessage> others_;
    std::thread thread_;
};

inline bool SippInstalled() { return std::system("command -v sipp >/dev/null 2>&1") == 0; }

/// A port free for both UDP and TCP on the loopback, for SIPp's own socket.
inline std::uint16_t FreePort() {
    boost::asio::io_context io;
    for (;;) {
        boost::asio::ip::udp::socket udp(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        const auto port = udp.local_endpoint().port();
        boost::system::error_code error;
        boost::asio::ip::tcp::acceptor tcp(io);
        tcp.open(boost::asio::ip::tcp::v4());
        tcp.bind(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port), error);
        if (!error) {
            return port;
        }
    }
}

/// SIPp running as a child process; killed and reaped in every path.
class SippProcess {
public:
    /// Starts `sipp` with `arguments` (after the program name), output to /dev/null unless
    /// `outputPath` is given. Raises std::runtime_error when it cannot be started.
    explicit SippProcess(std::vector<std::string> arguments, const std::string& outputPath = "/dev/null") {
        arguments.insert(arguments.begin(), "sipp");
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int spawned = posix_spawnp(&pid_, "sipp", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            throw std::runtime_error("sipp could not be started");
        }
    }
    ~SippProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    SippProcess(const SippProcess&) = delete;
    SippProcess& operator=(const SippProcess&) = delete;

    /// SIPp's exit status (0: every call succeeded), or nullopt when it had not ended within
    /// `limit` (it is killed then).
    std::optional<int> Wait(milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
};

} // namespace zel::sip::stack::test

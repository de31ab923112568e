#pragma once

// The one place where tests start other programs (SIPp, kamailio, dnsmasq, openssl, python
// clients), find free loopback ports and wait for readiness. Header-only: every test executable
// includes what it needs.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zel::sip::test {

/// Whether `program` can be found on PATH (tests of a real peer skip themselves without it).
inline bool ProgramInstalled(const std::string& program) {
    return std::system(("command -v '" + program + "' >/dev/null 2>&1").c_str()) == 0;
}

/// Polls `ready` every few milliseconds until it is true or `timeout` has passed; returns its last
/// answer. This is the readiness probe tests use instead of sleeping.
inline bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ready()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

/// A loopback port that is free for both UDP and TCP right now (the system picks it, so parallel
/// test processes do not collide).
inline std::uint16_t FreePort() {
    for (int attempt = 0; attempt < 64; ++attempt) {
        const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (tcp < 0 || ::bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::getsockname(tcp, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (tcp >= 0) {
                ::close(tcp);
            }
            continue;
        }
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        const bool udpFree = udp >= 0 && ::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        if (udp >= 0) {
            ::close(udp);
        }
        ::close(tcp);
        if (udpFree) {
            return ntohs(address.sin_port);
        }
    }
    throw std::runtime_error("no free loopback port");
}

/// True when something accepts TCP connections on 127.0.0.1:`port`.
inline bool TcpPortOpen(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(s);
    return open;
}

/// True when a UDP socket is bound on 127.0.0.1:`port` by someone (our bind fails).
inline bool UdpPortBound(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0;
    ::close(s);
    return bound;
}

/// A scratch folder for one test, removed with everything in it by the destructor.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zel-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const noexcept { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

/// Another program run for one test. Standard output and error go to `outputPath`; standard input
/// is a pipe the test may write to (`Write`) or /dev/null. The destructor stops it (SIGTERM, then
/// SIGKILL after a grace period) and reaps it, so a failing test leaves no process behind.
class ChildProcess {
public:
    struct Options {
        bool stdinPipe = false;
        /// Signal asked first when stopping; SIGKILL follows after `grace`.
        int stopSignal = SIGTERM;
        std::chrono::milliseconds grace{2000};
    };

    ChildProcess(const std::vector<std::string>& arguments, std::string outputPath)
        : ChildProcess(arguments, std::move(outputPath), Options{}) {}

    ChildProcess(const std::vector<std::string>& arguments, std::string outputPath, Options options)
        : outputPath_(std::move(outputPath)), options_(options) {
        if (arguments.empty()) {
            throw std::invalid_argument("ChildProcess: no program");
        }
        int input[2] = {-1, -1};
        if (options_.stdinPipe && ::pipe(input) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (options_.stdinPipe) {
            posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
            posix_spawn_file_actions_addclose(&actions, input[1]);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        const int result = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (options_.stdinPipe) {
            ::close(input[0]);
            input_ = input[1];
        }
        if (result != 0) {
            if (input_ >= 0) {
                ::close(input_);
            }
            throw std::runtime_error("cannot start " + arguments[0]);
        }
    }

    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const noexcept { return pid_; }

    /// Whether it still runs (reaps it when it has ended).
    bool Running() {
        if (exited_) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            Exited(status);
            return false;
        }
        return true;
    }

    /// Waits up to `timeout` for it to end by itself; its exit code (128 + signal when killed), or
    /// nullopt when it still runs.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
        WaitUntil([this] { return !Running(); }, timeout);
        if (!exited_) {
            return std::nullopt;
        }
        return exitCode_;
    }

    /// Stops it: `stopSignal`, then SIGKILL after the grace period. Idempotent.
    void Stop() {
        if (input_ >= 0) {
            ::close(input_);
            input_ = -1;
        }
        if (!Running()) {
            return;
        }
        ::kill(pid_, options_.stopSignal);
        if (!WaitForExit(options_.grace)) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            Exited(status);
        }
    }

    void Write(const std::string& text) const {
        if (input_ < 0 || ::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("cannot write to the child");
        }
    }

    /// Everything it printed so far.
    std::string Output() const {
        std::ifstream file(outputPath_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    void Exited(int status) {
        exited_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string outputPath_;
    Options options_;
    pid_t pid_ = -1;
    int input_ = -1;
    bool exited_ = false;
    int exitCode_ = 0;
};

} // namespace zel::sip::test

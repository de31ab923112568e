#pragma once

// The one place where tests start other programs (SIPp, kamailio, dnsmasq, openssl, python
// clients), find free loopback ports and wait for readiness. Header-only: every test executable
// includes what it needs.

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

extern char** environ;

namespace zel::sip::test {

/// The full path of `program`: itself when it names a path, else the first executable found on PATH
/// or in the system folders (/usr/sbin holds dnsmasq and kamailio, and other users' PATH often
/// lacks it); empty when there is none.
inline std::string FindProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    folders += ":/usr/local/sbin:/usr/sbin:/sbin";
    std::stringstream list(folders);
    std::string folder;
    while (std::getline(list, folder, ':')) {
        if (folder.empty()) {
            continue;
        }
        const std::string candidate = folder + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) {
            return candidate;
        }
    }
    return {};
}

/// Whether `program` can be found (tests of a real peer skip themselves without it).
inline bool ProgramInstalled(const std::string& program) { return !FindProgram(program).empty(); }

/// tests/tools/<name>: the small peer programs (python clients) the tests run.
inline std::string ToolScript(const std::string& name) { return std::string(ZEL_SOURCE_DIR) + "/tests/tools/" + name; }

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

/// The first port of `count` consecutive loopback ports, all free for both UDP and TCP right now,
/// below the kernel's ephemeral range. For peers that bind neighbours of the port they are given
/// (baresip listens for TLS on the next one): a port in the ephemeral range is soon the local port
/// of some outgoing connection (Linux hands connect() the even ones, bind(0) the odd ones), one
/// below it is only ever taken by an explicit bind.
inline std::uint16_t FreePortBlock(unsigned count) {
    unsigned ephemeralLow = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralLow;
    const unsigned low = 10000;
    if (count == 0 || ephemeralLow < low + count + 1) {
        throw std::runtime_error("no room for a port block below the ephemeral range");
    }
    const auto freeFor = [](int type, std::uint16_t port) {
        const int s = ::socket(AF_INET, type, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool bound = s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        if (s >= 0) {
            ::close(s);
        }
        return bound;
    };
    // Parallel test processes draw different starting points (pid and clock) and probe before use.
    unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u ^
                    static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 256; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        const auto first = static_cast<std::uint16_t>(low + (seed >> 8) % (ephemeralLow - low - count));
        bool available = true;
        for (unsigned i = 0; i < count && available; ++i) {
            const auto port = static_cast<std::uint16_t>(first + i);
            available = freeFor(SOCK_STREAM, port) && freeFor(SOCK_DGRAM, port);
        }
        if (available) {
            return first;
        }
    }
    throw std::runtime_error("no free loopback port block");
}

/// A loopback port that is free for both UDP and TCP right now, for a peer process to bind. It
/// is drawn below the ephemeral range, as a block is: a port the system picked is free again the
/// moment it is closed, and another test process's bind(0) or connect() may take it before the peer
/// binds it.
inline std::uint16_t FreePort() { return FreePortBlock(1); }

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

/// A UDP socket bound to a free loopback port: a peer that never answers, or (closed) a port
/// nobody listens on.
class LoopbackUdpSocket {
public:
    LoopbackUdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        if (fd_ < 0) {
            throw std::runtime_error("socket failed");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Close();
            throw std::runtime_error("bind failed");
        }
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackUdpSocket() { Close(); }
    LoopbackUdpSocket(const LoopbackUdpSocket&) = delete;
    LoopbackUdpSocket& operator=(const LoopbackUdpSocket&) = delete;

    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }
    int Fd() const noexcept { return fd_; }
    std::uint16_t Port() const noexcept { return port_; }
    /// "127.0.0.1:port".
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

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
        /// Run it in a process group of its own and signal the whole group when stopping, for
        /// programs that serve in child processes (dnsmasq answers TCP queries in forks).
        bool ownProcessGroup = false;
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
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (options_.ownProcessGroup) {
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, 0);
        }
        std::vector<char*> argv;
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        const std::string program = FindProgram(arguments[0]);
        const int result = program.empty() ? ENOENT
                                           : ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(),
                                                           environ);
        posix_spawnattr_destroy(&attributes);
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
        const pid_t target = options_.ownProcessGroup ? -pid_ : pid_;
        ::kill(target, options_.stopSignal);
        if (!WaitForExit(options_.grace)) {
            ::kill(target, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            Exited(status);
        }
    }

    /// Writes `text` to its standard input. Raises std::runtime_error when that is not a pipe or the
    /// child has quit (its end of the pipe is closed).
    void Write(const std::string& text) const {
        if (input_ < 0) {
            throw std::runtime_error("cannot write to the child: its input is not a pipe");
        }
        // A pipe without reader answers EPIPE and raises SIGPIPE, whose default action would end the
        // whole test executable: the signal is blocked for this thread around the write, and one it
        // caused is taken off the pending set before the mask is restored.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
        sigset_t previous;
        ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
        ssize_t written = 0;
        do {
            written = ::write(input_, text.data(), text.size());
        } while (written < 0 && errno == EINTR);
        const int error = errno;
        if (written < 0 && error == EPIPE && !pendingBefore) {
            const timespec now{0, 0};
            while (::sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (written != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error(std::string("cannot write to the child: ") +
                                     (written < 0 ? std::strerror(error) : "short write"));
        }
    }

    /// Everything it printed so far.
    std::string Output() const {
        std::ifstream file(outputPath_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    /// The last `size` characters it printed, for failure messages.
    std::string OutputTail(std::size_t size = 3000) const {
        const std::string all = Output();
        return all.substr(all.size() > size ? all.size() - size : 0);
    }

    /// Whether it printed one of `markers` so far.
    bool Printed(std::initializer_list<std::string_view> markers) const {
        const std::string all = Output();
        for (std::string_view marker : markers) {
            if (all.find(marker) != std::string::npos) {
                return true;
            }
        }
        return false;
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

/// Starts a peer that binds the loopback port it is given: `start(port)` starts it on a port drawn
/// by FreePort(), and the call returns once `ready(port)` holds. The port is only free when drawn,
/// so another test process may bind it first; a peer that ends before it is ready is started again
/// on another port, three times at most. Raises std::runtime_error with the peer's output when it
/// is not ready within `timeout` or keeps ending.
template <class Start, class Ready>
std::pair<std::uint16_t, std::unique_ptr<ChildProcess>> StartOnFreePort(Start start, Ready ready,
                                                                        std::chrono::milliseconds timeout) {
    for (int attempt = 1;; ++attempt) {
        const std::uint16_t port = FreePort();
        std::unique_ptr<ChildProcess> process = start(port);
        const bool up = WaitUntil([&] { return !process->Running() || ready(port); }, timeout);
        if (up && process->Running()) {
            return {port, std::move(process)};
        }
        if (process->Running() || attempt == 3) {
            throw std::runtime_error("peer not ready on port " + std::to_string(port) + ":\n" + process->OutputTail());
        }
    }
}

/// Runs `arguments` to its end (killed after `limit`): its exit code, or nullopt when it did not
/// start or end in time. For helper programs whose output does not matter.
inline std::optional<int> RunProgram(const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    try {
        ChildProcess program(arguments, "/dev/null");
        return program.WaitForExit(limit);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

/// Debian's python3, which has the python3-* packages the peers in tests/tools import (a python3
/// found first on PATH may be another one without them).
inline const char* const kPython = "/usr/bin/python3";

/// True when Debian's python3 can import `module`.
inline bool PythonHas(const std::string& module) { return RunProgram({kPython, "-c", "import " + module}) == 0; }

} // namespace zel::sip::test

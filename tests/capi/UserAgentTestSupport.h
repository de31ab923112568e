#pragma once

// What the user agent tests share: configurations on loopback, the thread count of the process,
// and a recorder of callbacks that tests wait on (bounded) instead of sleeping.

#include <zelmor/sip.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <dirent.h>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zel::sip::test {

/// A user agent on 127.0.0.1 with UDP only, on a port the system picks.
inline std::string LoopbackUdpConfiguration() {
    return R"({"Address": "127.0.0.1", "UDPPort": 0, "TCPAllowed": false, "TLSAllowed": false,
               "DTLSAllowed": false, "Logging": {"StackLogLevel": "ERR"}})";
}

/// Threads of this process now.
inline std::size_t ThreadCount() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(tasks);
    }
    return count;
}

/// The calling thread's last error.
inline std::string LastError() {
    std::array<char, 1024> buffer{};
    GetSIPLastErrorMessage(buffer.data(), buffer.size());
    return buffer.data();
}

/// Events by name, in order, with what tests want to look at later.
class Recorder {
public:
    void Record(const std::string& event) {
        {
            const std::lock_guard lock(mutex_);
            events_.push_back(event);
        }
        changed_.notify_all();
    }

    std::size_t Count(const std::string& event) const {
        const std::lock_guard lock(mutex_);
        std::size_t count = 0;
        for (const auto& seen : events_) {
            count += seen == event ? 1 : 0;
        }
        return count;
    }

    std::vector<std::string> Events() const {
        const std::lock_guard lock(mutex_);
        return events_;
    }

    /// Waits (at most `limit`) until `event` has been recorded `count` times.
    bool WaitFor(const std::string& event, std::size_t count,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            std::size_t seen = 0;
            for (const auto& recorded : events_) {
                seen += recorded == event ? 1 : 0;
            }
            return seen >= count;
        });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
};

} // namespace zel::sip::test

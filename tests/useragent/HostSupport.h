#pragma once

// What the tests of this folder share: they drive the library only through its C interface, as a
// host does, so the events arrive here as plain callbacks on the user agent's dialog thread.

#include <zelmor/sip.h>

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zel::sip::test {

/// The calling thread's last error.
inline std::string LastError() {
    char buffer[1024];
    GetSIPLastErrorMessage(buffer, sizeof buffer);
    return buffer;
}

/// The number of threads of this process.
inline int ThreadCount() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(tasks);
    }
    return count;
}

/// A user agent's configuration for loopback tests: UDP and TCP on 127.0.0.1, ports the system
/// picks, no secure or WebSocket transports.
inline std::string LoopbackConfiguration() {
    return R"({"Address": "127.0.0.1", "UDPPort": 0, "TCPPort": 0, "TLSAllowed": false, "DTLSAllowed": false,
               "WSAllowed": false, "WSSAllowed": false})";
}

/// Every registration event of one user agent, in order, with a wait for the next ones. The object
/// is the callbacks' context; it must outlive the user agent (or be removed from the registry first).
class RegistrationEvents {
public:
    RegistrationEvents() = default;
    ~RegistrationEvents() { SIPRemoveEventHandler(this); }
    RegistrationEvents(const RegistrationEvents&) = delete;
    RegistrationEvents& operator=(const RegistrationEvents&) = delete;

    struct Event {
        std::string kind; // "new", "success", "failure" or "removed"
        SIPClientRegistration* registration = nullptr;
        std::string aor;        // "new": the address of record, as SIPClientRegistrationGetAoR gives it
        std::int32_t status = 0; // "failure"
        std::string reason;      // "failure"
        std::string warning;     // "failure"
    };

    /// Subscribes to the user agent's new registrations and, through them, to their outcomes.
    void Attach(SIPUserAgent* userAgent) {
        SIPUserAgentAddNewClientRegistrationEventHandler(userAgent, &RegistrationEvents::OnNew, this);
    }

    /// Makes room for `count` events, so that recording them allocates nothing but their texts
    /// (benchmarks that measure the library's heap leave the host's own list out that way).
    void Reserve(std::size_t count) {
        std::lock_guard lock(mutex_);
        events_.reserve(count);
    }

    /// Waits until `count` events of `kind` have happened; false when `timeout` passed first.
    bool WaitFor(const std::string& kind, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(kind) >= count; });
    }

    std::size_t Count(const std::string& kind) {
        std::lock_guard lock(mutex_);
        return CountLocked(kind);
    }

    std::vector<Event> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    /// The handle of the `index`-th new registration (null when there is none).
    SIPClientRegistration* Registration(std::size_t index = 0) {
        std::lock_guard lock(mutex_);
        for (const Event& event : events_) {
            if (event.kind == "new" && index-- == 0) {
                return event.registration;
            }
        }
        return nullptr;
    }

private:
    static void OnNew(void* context, SIPClientRegistration* registration) {
        auto* self = static_cast<RegistrationEvents*>(context);
        Event event = Kind("new");
        event.registration = registration;
        if (SIPNameAddr* aor = SIPClientRegistrationGetAoR(registration)) {
            char text[512];
            if (SIPNameAddrToString(aor, text, sizeof text) >= 0) {
                event.aor = text;
            }
        }
        SIPClientRegistrationAddSuccessEventHandler(registration, &RegistrationEvents::OnSuccess, self);
        SIPClientRegistrationAddFailureEventHandler(registration, &RegistrationEvents::OnFailure, self);
        SIPClientRegistrationAddRemovedEventHandler(registration, &RegistrationEvents::OnRemoved, self);
        self->Record(std::move(event));
    }
    static Event Kind(const char* kind) {
        Event event;
        event.kind = kind;
        return event;
    }
    static void OnSuccess(void* context) { static_cast<RegistrationEvents*>(context)->Record(Kind("success")); }
    static void OnRemoved(void* context) { static_cast<RegistrationEvents*>(context)->Record(Kind("removed")); }
    static void OnFailure(void* context, std::int32_t status, const char* reason, const char* warning) {
        Event event = Kind("failure");
        event.status = status;
        event.reason = reason != nullptr ? reason : "";
        event.warning = warning != nullptr ? warning : "";
        static_cast<RegistrationEvents*>(context)->Record(std::move(event));
    }

    void Record(Event event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }

    std::size_t CountLocked(const std::string& kind) const {
        std::size_t count = 0;
        for (const Event& event : events_) {
            count += event.kind == kind ? 1 : 0;
        }
        return count;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

} // namespace zel::sip::test

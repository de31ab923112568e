#pragma once

// A dialog usage manager on its own stack and thread for tests, a handler that records what it is
// told, and a scripted peer (another SipStack of ours, driven from the test thread) that plays a
// registrar.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "stack/core/SipStack.h"
#include "stack/dum/ClientRegistration.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/DumThread.h"
#include "support/Process.h"

namespace zel::sip::stack::test {

using namespace std::chrono_literals;

/// Short timers so that failures and retransmissions show quickly.
inline StackOptions FastStackOptions() {
    StackOptions options;
    options.transactions.timers.t1 = std::chrono::milliseconds(50);
    options.transactions.timers.t2 = std::chrono::milliseconds(400);
    options.transactions.timers.t4 = std::chrono::milliseconds(500);
    options.drainTimeout = std::chrono::milliseconds(200);
    return options;
}

/// One handler call, as recorded.
struct RegistrationEvent {
    std::string what; // "success", "removed", "retry", "failure", "flow"
    Usage::Id id = 0;
    int status = 0;
    std::string response; // the response as text
};

/// Records registration events; everything it is told comes on the dialog thread, the test reads
/// from its own.
class RecordingRegistrationHandler : public ClientRegistrationHandler {
public:
    /// Seconds onRequestRetry answers (negative: never retry).
    std::atomic<int> retryAnswer{-1};
    /// Called from onReadyToSend, on the dialog thread.
    std::function<void(SipMessage&)> readyToSend;

    void onSuccess(ClientRegistrationHandle registration, const SipMessage& response) override {
        Record("success", registration, response);
    }
    void onRemoved(ClientRegistrationHandle registration, const SipMessage& response) override {
        Record("removed", registration, response);
    }
    int onRequestRetry(ClientRegistrationHandle registration, int, const SipMessage& response) override {
        Record("retry", registration, response);
        return retryAnswer.load();
    }
    void onFailure(ClientRegistrationHandle registration, const SipMessage& response) override {
        Record("failure", registration, response);
    }
    void onFlowTerminated(ClientRegistrationHandle registration) override {
        Record("flow", registration, SipMessage::MakeResponse(200, "OK"));
        ClientRegistrationHandler::onFlowTerminated(registration);
    }
    void onReadyToSend(ClientRegistrationHandle, SipMessage& message) override {
        if (readyToSend) {
            readyToSend(message);
        }
    }

    /// Every registration that succeeded at least once, by id.
    std::map<Usage::Id, ClientRegistrationHandle> Registered() const {
        std::lock_guard lock(mutex_);
        return registered_;
    }
    /// The handle of the last call.
    ClientRegistrationHandle LastHandle() const {
        std::lock_guard lock(mutex_);
        return last_;
    }
    std::vector<RegistrationEvent> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::size_t Count(const std::string& what) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& event : events_) {
            n += event.what == what ? 1 : 0;
        }
        return n;
    }
    /// Waits until `what` has been recorded `count` times.
    bool WaitFor(const std::string& what, std::size_t count = 1, std::chrono::milliseconds timeout = 10s) const {
        return zel::sip::test::WaitUntil([&] { return Count(what) >= count; }, timeout);
    }

private:
    void Record(const std::string& what, ClientRegistrationHandle registration, const SipMessage& response) {
        std::lock_guard lock(mutex_);
        last_ = registration;
        if (what == "success") {
            registered_.emplace(registration.Id(), registration);
        }
        events_.push_back({what, registration.Id(), response.StatusCode(), response.Encode()});
    }

    mutable std::mutex mutex_;
    std::vector<RegistrationEvent> events_;
    ClientRegistrationHandle last_;
    std::map<Usage::Id, ClientRegistrationHandle> registered_;
};

/// Shutdown handler a test thread can wait on.
class WaitableShutdown : public DumShutdownHandler {
public:
    void onDumCanBeDeleted() override {
        std::lock_guard lock(mutex_);
        ++calls_;
        done_.notify_all();
    }
    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, timeout, [this] { return calls_ > 0; });
    }
    int Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    int calls_ = 0;
};

/// A user agent's dialog layer: stack, dialog thread and manager, torn down in the right order.
class DumUnderTest {
public:
    explicit DumUnderTest(StackOptions options = FastStackOptions(), DumOptions dumOptions = {})
        : stack_(std::make_unique<SipStack>(std::move(options))) {
        udp_ = stack_->AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
        tcp_ = stack_->AddTransport(TransportType::TCP, IpVersion::V4, "127.0.0.1", 0);
        manager_ = std::make_unique<DialogUsageManager>(*stack_, thread_, dumOptions);
        profile_ = std::make_shared<MasterProfile>();
        profile_->SetUserAgent("zel-test");
        manager_->SetMasterProfile(profile_);
        manager_->SetClientRegistrationHandler(&handler_);
        thread_.Start();
    }
    ~DumUnderTest() { Stop(); }

    /// Shuts the manager down (waiting for it), then the thread and the stack.
    bool Stop(std::chrono::milliseconds timeout = 10s) {
        if (!manager_) {
            return true;
        }
        WaitableShutdown shutdown;
        manager_->Shutdown(shutdown);
        const bool done = shutdown.Wait(timeout);
        thread_.Stop();
        thread_.Join();
        manager_.reset();
        stack_->Shutdown();
        stack_.reset();
        return done;
    }

    /// Runs `work` on the dialog thread and waits for it.
    void OnDialogThread(std::function<void()> work) {
        std::promise<void> done;
        manager_->Post([&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    DialogUsageManager& Manager() { return *manager_; }
    SipStack& Stack() { return *stack_; }
    const std::shared_ptr<MasterProfile>& Profile() { return profile_; }
    RecordingRegistrationHandler& Handler() { return handler_; }
    const Tuple& Udp() const { return udp_; }
    const Tuple& Tcp() const { return tcp_; }

private:
    RecordingRegistrationHandler handler_;
    std::unique_ptr<SipStack> stack_;
    Tuple udp_;
    Tuple tcp_;
    DumThread thread_;
    std::unique_ptr<DialogUsageManager> manager_;
    std::shared_ptr<MasterProfile> profile_;
};

/// A scripted peer: another stack of ours whose received requests the test takes one by one and
/// answers itself.
class ScriptedPeer {
public:
    ScriptedPeer() : stack_(FastStackOptions()) {
        udp_ = stack_.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
        tcp_ = stack_.AddTransport(TransportType::TCP, IpVersion::V4, "127.0.0.1", 0);
    }

    /// The next request (retransmissions are absorbed by the peer's transaction layer), or nullopt.
    std::optional<TransactionUserMessage> NextRequest(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto message = stack_.Queue().Pop(std::chrono::milliseconds(50));
            if (message && message->kind == TransactionUserMessage::Kind::Request && message->message != nullptr &&
                message->message->Method() != "ACK") {
                return message;
            }
        }
        return std::nullopt;
    }

    /// Answers `request` with `code`; `edit` may add headers first.
    void Answer(const TransactionUserMessage& request, int code, std::string_view reason,
                const std::function<void(SipMessage&)>& edit = {}) {
        SipMessage response = SipMessage::MakeResponse(code, reason);
        const SipMessage& r = *request.message;
        for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq}) {
            for (std::size_t i = 0; i < r.Count(type); ++i) {
                response.Add(type, r.ValueText(type, i));
            }
        }
        if (NameAddr* to = response.Edit<NameAddr>(HeaderType::To); to != nullptr && !to->Params().Has("tag")) {
            to->Params().Set("tag", "peer1");
        }
        if (edit) {
            edit(response);
        }
        stack_.SendResponse(request.transaction, std::move(response));
    }

    /// A 200 to a REGISTER that echoes its Contacts with `expires`.
    void AcceptRegister(const TransactionUserMessage& request, std::uint32_t expires,
                        const std::function<void(SipMessage&)>& edit = {}) {
        Answer(request, 200, "OK", [&](SipMessage& response) {
            for (std::size_t i = 0; i < request.message->Count(HeaderType::Contact); ++i) {
                if (const NameAddr* contact = request.message->Peek<NameAddr>(HeaderType::Contact, i)) {
                    NameAddr echoed = *contact;
                    echoed.Params().SetUInt32("expires", expires);
                    response.Add(HeaderType::Contact, echoed);
                }
            }
            if (edit) {
                edit(response);
            }
        });
    }

    SipStack& Stack() { return stack_; }
    const Tuple& Udp() const { return udp_; }
    const Tuple& Tcp() const { return tcp_; }
    std::string UdpUri() const { return "sip:127.0.0.1:" + std::to_string(udp_.port); }
    std::string TcpUri() const { return "sip:127.0.0.1:" + std::to_string(tcp_.port) + ";transport=tcp"; }

private:
    SipStack stack_;
    Tuple udp_;
    Tuple tcp_;
};

} // namespace zel::sip::stack::test

#pragma once

// A transaction user for tests on its own thread. Child processes, ports and readiness waits come
// from tests/support.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stack/core/SipStack.h"
#include "support/Process.h"

namespace zel::sip::stack::test {

using std::chrono::milliseconds;
using zel::sip::test::WaitUntil;

/// Threads of this process, from /proc.
inline std::size_t ThreadCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator{}));
}

/// A response to `request`: Via, From, To (with `toTag` added), Call-ID and CSeq copied.
inline SipMessage AnswerTo(const SipMessage& request, int code, std::string_view reason, std::string_view toTag) {
    SipMessage response = SipMessage::MakeResponse(code, reason);
    for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq})
        for (std::size_t i = 0; i < request.Count(type); ++i)
            response.Add(type, request.ValueText(type, i));
    if (NameAddr* to = response.Edit<NameAddr>(HeaderType::To); to != nullptr && !to->Params().Has("tag"))
        to->Params().Set("tag", toTag);
    return response;
}

// Out of line: inlined, g++ 12 warns falsely about DnsSettings' defaults (maybe-uninitialized).
[[gnu::noinline]] inline StackOptions ShortTimers() {
    StackOptions options;
    options.transactions.timers.t1 = milliseconds(10);
    options.transactions.timers.t2 = milliseconds(40);
    options.transactions.timers.t4 = milliseconds(20);
    return options;
}

/// A request of ours to the peer at 127.0.0.1:`port`.
inline SipMessage Request(std::string_view method, std::uint16_t port, std::string callId = {}) {
    const std::string target = "sip:peer@127.0.0.1:" + std::to_string(port);
    SipMessage request = SipMessage::MakeRequest(method, Uri::Parse(target));
    request.Add(HeaderType::To, "<" + target + ">");
    request.Add(HeaderType::From, "<sip:us@127.0.0.1>;tag=us");
    request.Add(HeaderType::CallId, callId.empty() ? "stack-test-" + std::string(method) : callId);
    request.Add(HeaderType::CSeq, "1 " + std::string(method));
    if (method == "INVITE")
        request.Add(HeaderType::Contact, "<sip:us@127.0.0.1>");
    return request;
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
        if (thread_.joinable())
            thread_.join();
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
            if (auto entry = stack_.Queue().Pop(milliseconds(5)))
                Handle(*entry);
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
        if (request.Method() == "CANCEL")
            return;
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
        if (request.Method() == "BYE")
            pending_.erase(callId);
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

} // namespace zel::sip::stack::test

#pragma once

// A user agent as a test host for calls: it hands out media endpoints, subscribes to every event
// of every session it sees, records them in order with what tests want to read afterwards, and
// can be told how to treat the next incoming call.

#include "UserAgentTestSupport.h"
#include "support/Process.h"

#include <zelmor/sip.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zel::sip::test {

/// A loopback UDP configuration on `port` with the given extra JSON members (without braces). The
/// extra members come first: of a key given twice the first counts, so they can override these
/// (e.g. "TCPAllowed": true).
inline std::string CallConfiguration(std::uint16_t port, const std::string& extra = {}) {
    return "{" + (extra.empty() ? std::string() : extra + ", ") + R"("Address": "127.0.0.1", "UDPPort": )" +
           std::to_string(port) +
           R"(, "TCPAllowed": false, "TLSAllowed": false, "DTLSAllowed": false, "Logging": {"StackLogLevel": "ERR"},
              "UserAgent": "test"})";
}

/// PCMU alone, and PCMU followed by opus.
inline const std::string kPcmu =
    R"("Codecs": [{"Encoding": "PCMU", "Type": "audio", "ClockRate": 8000}])";
inline const std::string kPcmuOpus =
    R"("Codecs": [{"Encoding": "PCMU", "Type": "audio", "ClockRate": 8000},
                  {"Encoding": "opus", "Type": "audio", "ClockRate": 48000, "Channels": 2,
                   "Parameters": ["useinbandfec=1"]}])";
inline const std::string kOpus =
    R"("Codecs": [{"Encoding": "opus", "Type": "audio", "ClockRate": 48000, "Channels": 2,
                   "Parameters": ["useinbandfec=1"]}])";

/// INVITEs may carry multipart/mixed (an SDP with further bodies), BYEs text.
inline const std::string kMultipart =
    R"("SupportedContentTypes": [{"Method": "INVITE", "ContentTypes": ["application/sdp", "multipart/mixed"]},
                                 {"Method": "BYE", "ContentTypes": ["text/plain"]}])";

/// What one session showed the host, kept after the session has gone.
struct SessionRecord {
    SIPSession* handle = nullptr;
    std::string callId;
    std::vector<std::string> events;
    int failureCode = 0;
    std::string failureReason;
    TerminatedReason terminatedReason = -1;
    std::vector<std::pair<std::string, std::string>> contents;
    std::string terminatedHeader; ///< the X-Test header of the message that ended the session
    std::string attributesAtConnect;
    std::uint16_t remotePortAtConnect = 0;
    std::uint16_t localPortAtConnect = 0;
    std::uint64_t mediaCountAtConnect = 0;
    std::string remoteAddressAtConnect;
    std::string localAddressAtConnect;
};

class Phone {
public:
    /// What the phone does with an incoming call, inside NewSession (dialog thread).
    std::function<void(SIPSession*)> onIncoming;
    /// Runs inside each Connected callback (dialog thread), after the record is made.
    std::function<void(SIPSession*)> onConnected;
    /// Header added to every message of a session through ReadyToSend (name, value); none when empty.
    std::pair<std::string, std::string> stamp;

    explicit Phone(const std::string& extra = {}, std::uint16_t port = 0) : port_(port != 0 ? port : FreePort()) {
        userAgent_ = CreateSIPUserAgent(CallConfiguration(port_, extra).c_str());
        if (userAgent_ == nullptr) {
            throw std::runtime_error("user agent: " + LastError());
        }
        SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(userAgent_, &Phone::OnEndpointRequired, this);
        SIPUserAgentAddLocalMediaEndpointSurplusEventHandler(userAgent_, &Phone::OnEndpointSurplus, this);
        SIPUserAgentAddNewSessionEventHandler(userAgent_, &Phone::OnNewSession, this);
        if (SIPUserAgentSetDefaultFrom(userAgent_, ("<sip:phone@127.0.0.1:" + std::to_string(port_) + ">").c_str(),
                                       nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("default From: " + LastError());
        }
    }
    ~Phone() {
        DestroySIPUserAgent(userAgent_);
        SIPRemoveEventHandler(this);
        for (const auto& context : contexts_) {
            SIPRemoveEventHandler(context.get());
        }
    }
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    /// Destroys the user agent now and keeps what was recorded; the destructor then has nothing to do.
    void Destroy() {
        DestroySIPUserAgent(userAgent_);
        userAgent_ = nullptr;
    }

    SIPUserAgent* Handle() const noexcept { return userAgent_; }
    std::uint16_t Port() const noexcept { return port_; }
    std::string Uri() const { return "<sip:phone@127.0.0.1:" + std::to_string(port_) + ">"; }

    /// Calls `target`; returns the Call-ID, or raises with the last error.
    std::string Call(const std::string& target, const Contents* contents = nullptr, std::uint64_t count = 0,
                     AddressType type = AddressType_IPv4) {
        char callId[256] = {};
        if (SIPUserAgentInvite(userAgent_, target.c_str(), callId, sizeof(callId), nullptr, nullptr, contents, count,
                               type, nullptr, nullptr) != 0) {
            throw std::runtime_error("invite: " + LastError());
        }
        return callId;
    }

    /// Waits (bounded) until session `index` has recorded `event` `count` times.
    bool WaitFor(std::size_t index, const std::string& event, std::size_t count = 1) const {
        return recorder_.WaitFor(std::to_string(index) + ":" + event, count);
    }
    bool WaitForSessions(std::size_t count) const { return recorder_.WaitFor("NewSession", count); }

    /// A copy of what session `index` recorded.
    SessionRecord Session(std::size_t index) const {
        const std::lock_guard lock(mutex_);
        return index < sessions_.size() ? sessions_[index] : SessionRecord{};
    }
    std::size_t SessionCount() const {
        const std::lock_guard lock(mutex_);
        return sessions_.size();
    }
    std::vector<std::uint16_t> SurplusPorts() const {
        const std::lock_guard lock(mutex_);
        return surplus_;
    }
    std::uint64_t EndpointRequests() const { return endpointRequests_.load(); }

private:
    /// The context of one session's callbacks.
    struct Context {
        Phone* phone;
        std::size_t index;
    };

    void Record(std::size_t index, const std::string& event, const std::function<void(SessionRecord&)>& update = {}) {
        {
            const std::lock_guard lock(mutex_);
            sessions_[index].events.push_back(event);
            if (update) {
                update(sessions_[index]);
            }
        }
        recorder_.Record(std::to_string(index) + ":" + event);
    }

    static void OnEndpointRequired(void* context, uint64_t, AddressType, char* address, uint64_t addressSize,
                                   uint16_t* port, char*, uint64_t) {
        auto* phone = static_cast<Phone*>(context);
        std::snprintf(address, addressSize, "127.0.0.1");
        *port = static_cast<uint16_t>(40000 + 2 * phone->endpointRequests_.fetch_add(1));
    }

    static void OnEndpointSurplus(void* context, const char*, uint16_t port) {
        auto* phone = static_cast<Phone*>(context);
        const std::lock_guard lock(phone->mutex_);
        phone->surplus_.push_back(port);
    }

    static void OnNewSession(void* context, SIPSession* session, const SIPMessage*) {
        auto* phone = static_cast<Phone*>(context);
        std::size_t index = 0;
        Context* sessionContext = nullptr;
        {
            const std::lock_guard lock(phone->mutex_);
            index = phone->sessions_.size();
            phone->sessions_.emplace_back();
            phone->sessions_[index].handle = session;
            const char* callId = SIPSessionGetCallId(session);
            phone->sessions_[index].callId = callId != nullptr ? callId : "";
            phone->contexts_.push_back(std::make_unique<Context>(Context{phone, index}));
            sessionContext = phone->contexts_.back().get();
        }
        SIPSessionAddMediaNegotiatedEventHandler(session, &Phone::OnMediaNegotiated, sessionContext);
        SIPSessionAddConnectedEventHandler(session, &Phone::OnConnected, sessionContext);
        SIPSessionAddFailureEventHandler(session, &Phone::OnFailure, sessionContext);
        SIPSessionAddTerminatedEventHandler(session, &Phone::OnTerminated, sessionContext);
        SIPSessionAddMessageContentEventHandler(session, &Phone::OnMessageContent, sessionContext);
        SIPSessionAddReadyToSendEventHandler(session, &Phone::OnReadyToSend, sessionContext);
        phone->recorder_.Record("NewSession");
        if (phone->onIncoming) {
            phone->onIncoming(session);
        }
    }

    static void OnMediaNegotiated(void* context) {
        auto* c = static_cast<Context*>(context);
        c->phone->Record(c->index, "MediaNegotiated");
    }

    static void OnConnected(void* context) {
        auto* c = static_cast<Context*>(context);
        // The getters inside a callback read what the negotiation left.
        SIPSession* session = c->phone->Session(c->index).handle;
        std::string attributes(SIPSessionMediaGetAttributes(session, 0, nullptr, 0), '\0');
        SIPSessionMediaGetAttributes(session, 0, attributes.data(), attributes.size());
        attributes.pop_back();
        char remote[64] = {};
        char local[64] = {};
        SIPSessionMediaGetRemoteConnectionAddress(session, 0, 0, remote, sizeof(remote));
        SIPSessionMediaGetLocalConnectionAddress(session, 0, local, sizeof(local));
        c->phone->Record(c->index, "Connected", [&](SessionRecord& record) {
            record.attributesAtConnect = attributes;
            record.remotePortAtConnect = SIPSessionMediaGetRemoteMediaPort(session, 0);
            record.localPortAtConnect = SIPSessionMediaGetLocalMediaPort(session, 0);
            record.mediaCountAtConnect = SIPSessionGetMediaCount(session);
            record.remoteAddressAtConnect = remote;
            record.localAddressAtConnect = local;
        });
        if (c->phone->onConnected) {
            c->phone->onConnected(session);
        }
    }

    static void OnFailure(void* context, int32_t code, const char* reason, const SIPMessage*) {
        auto* c = static_cast<Context*>(context);
        c->phone->Record(c->index, "Failure", [&](SessionRecord& record) {
            record.failureCode = code;
            record.failureReason = reason != nullptr ? reason : "";
        });
    }

    static void OnTerminated(void* context, TerminatedReason reason, const SIPMessage* message) {
        auto* c = static_cast<Context*>(context);
        const char* header = message != nullptr ? SIPMessageStringMultiHeader(message, "X-Test", 0) : nullptr;
        c->phone->Record(c->index, "Terminated", [&](SessionRecord& record) {
            record.terminatedReason = reason;
            record.terminatedHeader = header != nullptr ? header : "";
        });
    }

    static void OnMessageContent(void* context, const char* type, const char* body) {
        auto* c = static_cast<Context*>(context);
        c->phone->Record(c->index, "MessageContent",
                         [&](SessionRecord& record) { record.contents.emplace_back(type, body); });
    }

    static void OnReadyToSend(void* context, SIPMessage* message) {
        auto* c = static_cast<Context*>(context);
        if (!c->phone->stamp.first.empty()) {
            SIPMessageAddHeader(message, c->phone->stamp.first.c_str(), c->phone->stamp.second.c_str());
        }
    }

    std::uint16_t port_;
    SIPUserAgent* userAgent_ = nullptr;
    Recorder recorder_;
    mutable std::mutex mutex_;
    std::vector<SessionRecord> sessions_;
    std::vector<std::unique_ptr<Context>> contexts_;
    std::vector<std::uint16_t> surplus_;
    std::atomic<std::uint64_t> endpointRequests_{0};
};

} // namespace zel::sip::test

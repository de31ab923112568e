// Library entry: user agents and the last error.
#include "capi/Reporting.h"
#include "config/Config.h"
#include "core/UserAgentImpl.h"
#include "stack/base/Log.h"

#include <zelmor/sip.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace zel::sip::capi {

void CopyToBuffer(std::string_view text, char* buffer, std::uint64_t size) noexcept {
    const std::uint64_t room = size - 1;
    const std::uint64_t copied = text.size() < room ? text.size() : room;
    std::memcpy(buffer, text.data(), copied);
    std::memset(buffer + copied, 0, room - copied + 1);
}

} // namespace zel::sip::capi

using zel::sip::capi::Reporting;

namespace {

zel::sip::IUserAgent& FromHandle(SIPUserAgent* userAgent) {
    if (userAgent == nullptr) {
        throw std::invalid_argument("the user agent handle is null");
    }
    return *reinterpret_cast<zel::sip::IUserAgent*>(userAgent);
}

/// Sets the stack's log up from the first configuration that gets this far; a set-up that fails
/// is tried again by the next creation.
void DoLogInit(const zel::sip::Config& config) {
    static std::mutex mutex;
    static bool done = false;
    const std::lock_guard lock(mutex);
    if (done) {
        return;
    }
    const struct zel::sip::Config::Logging& logging = config.Logging;
    zel::sip::stack::log::Initialize(logging.StackLogType, logging.StackLogLevel, "Zelmor.SIP",
                                     logging.StackLogPath, "LOG_DAEMON", 50'000'000, false);
    done = true;
}

} // namespace

extern "C" {

SIPUserAgent* CreateSIPUserAgent(const char* configurationJson) {
    return Reporting<SIPUserAgent*>(nullptr, [&]() -> SIPUserAgent* {
        std::unique_ptr<zel::sip::UserAgentImpl> userAgent;
        {
            const zel::sip::Config config = zel::sip::Deserialise(configurationJson);
            DoLogInit(config);
            userAgent = std::make_unique<zel::sip::UserAgentImpl>(config);
        }
        zel::sip::IUserAgent* face = userAgent.release();
        return reinterpret_cast<SIPUserAgent*>(face);
    });
}

void DestroySIPUserAgent(SIPUserAgent* userAgent) {
    Reporting([&] {
        if (userAgent == nullptr) {
            return;
        }
        zel::sip::IUserAgent* face = &FromHandle(userAgent);
        // Destruction waits for the user agent's threads; on one of them (inside one of its own
        // callbacks) it would wait for itself for ever.
        if (const auto* impl = dynamic_cast<const zel::sip::UserAgentImpl*>(face);
            impl != nullptr && impl->IsOwnThread()) {
            throw std::logic_error("DestroySIPUserAgent was called from one of this user agent's own callbacks; "
                                   "the user agent was not destroyed (destroy it from another thread)");
        }
        delete face;
    });
}

int32_t SIPUserAgentSetDefaultFrom(SIPUserAgent* userAgent, const char* from, const char* password, const char* user,
                                   const char* realm) {
    return Reporting<int32_t>(-1, [&] {
        FromHandle(userAgent).SetDefaultFrom(from, password, user, realm);
        return 0;
    });
}

int32_t SIPUserAgentRegister(SIPUserAgent* userAgent, const char* aor, const char* password,
                             const char* outboundProxy, const char* user, const char* realm) {
    return Reporting<int32_t>(-1, [&] {
        FromHandle(userAgent).Register(aor, password, outboundProxy, user, realm);
        return 0;
    });
}

int32_t SIPUserAgentInvite(SIPUserAgent* userAgent, const char* to, char* callIdBuffer, uint64_t callIdBufferSize,
                           const char* from, const char* password, const Contents* contents, uint64_t contentsCount,
                           AddressType addressType, const char* user, const char* realm) {
    return Reporting<int32_t>(-1, [&] {
        const std::string callId =
            FromHandle(userAgent).Invite(to, from, password, contents, contentsCount,
                                         static_cast<zel::sip::AddressType>(addressType), user, realm);
        zel::sip::capi::CopyToBuffer(callId, callIdBuffer, callIdBufferSize);
        return 0;
    });
}

void GetSIPLastErrorMessage(char* buffer, uint64_t bufferSize) {
    try {
        zel::sip::GetLastErrorManifest().GetLastErrorMessage(buffer, bufferSize);
    } catch (...) {
        // Only a mutex failure can get here; the buffer is left as it was.
    }
}

} // extern "C"

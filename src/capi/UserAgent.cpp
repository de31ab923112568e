// Library entry: user agents and the last error.
#include "capi/Reporting.h"
#include "config/Config.h"

#include <zelmor/sip.h>

#include <cstring>
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

[[noreturn]] void NoUserAgents() {
    // User agents arrive with the stack's transaction and dialog layers.
    throw std::runtime_error("SIP user agents are not available in this build");
}

} // namespace

extern "C" {

SIPUserAgent* CreateSIPUserAgent(const char* configurationJson) {
    return Reporting<SIPUserAgent*>(nullptr, [&]() -> SIPUserAgent* {
        const zel::sip::Config config = zel::sip::Deserialise(configurationJson);
        (void)config;
        NoUserAgents();
    });
}

void DestroySIPUserAgent(SIPUserAgent* userAgent) {
    Reporting([&] { (void)userAgent; });
}

int32_t SIPUserAgentSetDefaultFrom(SIPUserAgent*, const char*, const char*, const char*, const char*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NoUserAgents(); });
}

int32_t SIPUserAgentRegister(SIPUserAgent*, const char*, const char*, const char*, const char*, const char*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NoUserAgents(); });
}

int32_t SIPUserAgentInvite(SIPUserAgent*, const char*, char*, uint64_t, const char*, const char*, const Contents*,
                           uint64_t, AddressType, const char*, const char*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NoUserAgents(); });
}

void GetSIPLastErrorMessage(char* buffer, uint64_t bufferSize) {
    try {
        zel::sip::GetLastErrorManifest().GetLastErrorMessage(buffer, bufferSize);
    } catch (...) {
        // Only a mutex failure can get here; the buffer is left as it was.
    }
}

} // extern "C"

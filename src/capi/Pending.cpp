// C functions whose behaviour arrives with later layers (sessions and outgoing calls with invite
// sessions). Each answers as it does for an absent value; the reporting ones fail with a clear last
// error. A function moves to its own file when it is built.
#include "capi/Reporting.h"

#include <zelmor/sip.h>

#include <stdexcept>

using zel::sip::capi::Reporting;

namespace {

[[noreturn]] void NotAvailable() {
    throw std::runtime_error("not available in this build");
}

} // namespace

extern "C" {

void SIPSessionAddMediaNegotiatedEventHandler(SIPSession*, SIPSessionMediaNegotiatedCallback, void*) {}

void SIPSessionAddConnectedEventHandler(SIPSession*, SIPSessionConnectedCallback, void*) {}

void SIPSessionAddFailureEventHandler(SIPSession*, SIPSessionFailureCallback, void*) {}

void SIPSessionAddTerminatedEventHandler(SIPSession*, SIPSessionTerminatedCallback, void*) {}

void SIPSessionAddMessageContentEventHandler(SIPSession*, SIPSessionMessageContentCallback, void*) {}

void SIPSessionAddReadyToSendEventHandler(SIPSession*, SIPSessionReadyToSendCallback, void*) {}

const char* SIPSessionGetCallId(SIPSession*) {
    return nullptr;
}

uint64_t SIPSessionGetMediaCount(SIPSession*) {
    return 0;
}

const char* SIPSessionMediaGetLabel(SIPSession*, uint64_t) {
    return nullptr;
}

void SIPSessionMediaGetLocalConnectionAddress(SIPSession*, uint64_t, char*, uint64_t) {}

uint64_t SIPSessionMediaGetRemoteConnectionAddressCount(SIPSession*, uint64_t) {
    return 0;
}

void SIPSessionMediaGetRemoteConnectionAddress(SIPSession*, uint64_t, uint64_t, char*, uint64_t) {}

uint64_t SIPSessionMediaGetPortCount(SIPSession*, uint64_t) {
    return 0;
}

uint16_t SIPSessionMediaGetLocalMediaPort(SIPSession*, uint64_t) {
    return 0;
}

uint16_t SIPSessionMediaGetLocalControlPort(SIPSession*, uint64_t) {
    return 0;
}

uint16_t SIPSessionMediaGetRemoteMediaPort(SIPSession*, uint64_t) {
    return 0;
}

uint16_t SIPSessionMediaGetRemoteControlPort(SIPSession*, uint64_t) {
    return 0;
}

uint64_t SIPSessionMediaGetAttributes(SIPSession*, uint64_t, char*, uint64_t) {
    return 0;
}

int32_t SIPSessionReject(SIPSession*, int32_t, const char*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NotAvailable(); });
}

int32_t SIPSessionTerminate(SIPSession*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NotAvailable(); });
}

int32_t SIPUserAgentInvite(SIPUserAgent*, const char*, char*, uint64_t, const char*, const char*, const Contents*,
                           uint64_t, AddressType, const char*, const char*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NotAvailable(); });
}

} // extern "C"

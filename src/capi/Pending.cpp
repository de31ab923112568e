// C functions whose behaviour arrives with later layers (sessions and registrations with the dialog
// layer, message accessors with the message layer). Each answers as it does for an absent value;
// the reporting ones fail with a clear last error. A function moves to its own file when it is built.
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

void SIPRemoveEventHandler(void*) {}

void SIPUserAgentAddNewClientRegistrationEventHandler(SIPUserAgent*, SIPNewClientRegistrationCallback, void*) {}

void SIPUserAgentAddNewSessionEventHandler(SIPUserAgent*, SIPNewSessionCallback, void*) {}

void SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(SIPUserAgent*, SIPLocalMediaEndpointRequiredCallback, void*) {}

void SIPUserAgentAddLocalMediaEndpointSurplusEventHandler(SIPUserAgent*, SIPLocalMediaEndpointSurplusCallback, void*) {}

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

void SIPClientRegistrationAddSuccessEventHandler(SIPClientRegistration*, SIPClientRegistrationSuccessCallback, void*) {}

void SIPClientRegistrationAddRemovedEventHandler(SIPClientRegistration*, SIPClientRegistrationRemovedCallback, void*) {}

void SIPClientRegistrationAddFailureEventHandler(SIPClientRegistration*, SIPClientRegistrationFailureCallback, void*) {}

SIPNameAddr* SIPClientRegistrationGetAoR(SIPClientRegistration*) {
    return nullptr;
}

int32_t SIPClientRegistrationRemove(SIPClientRegistration*) {
    return Reporting<int32_t>(-1, []() -> int32_t { NotAvailable(); });
}

SIPNameAddr* SIPMessageNameAddressHeader(const SIPMessage*, const char*) {
    return nullptr;
}

const char* SIPMessageStringHeader(const SIPMessage*, const char*) {
    return nullptr;
}

uint32_t SIPMessageUInt32Header(const SIPMessage*, const char*) {
    return 0;
}

uint64_t SIPMessageMultiHeaderCount(const SIPMessage*, const char*) {
    return 0;
}

const char* SIPMessageStringMultiHeader(const SIPMessage*, const char*, uint64_t) {
    return nullptr;
}

SIPNameAddr* SIPMessageNameAddressMultiHeader(const SIPMessage*, const char*, uint64_t) {
    return nullptr;
}

SIPReason* SIPMessageReasonMultiHeader(const SIPMessage*, const char*, uint64_t) {
    return nullptr;
}

void SIPMessageAddHeader(SIPMessage*, const char*, const char*) {}

int32_t SIPMessageHeaderExists(const SIPMessage*, const char*) {
    return 0;
}

void SIPMessageRemoveHeader(SIPMessage*, const char*) {}

SIPNameAddr* CreateSIPNameAddr(const char*) {
    return nullptr;
}

void DestroySIPNameAddr(SIPNameAddr*) {}

const char* SIPNameAddrGetDisplayName(SIPNameAddr*) {
    return nullptr;
}

SIPUri* SIPNameAddrGetUri(SIPNameAddr*) {
    return nullptr;
}

bool SIPNameAddrParamExists(SIPNameAddr*, const char*) {
    return false;
}

uint32_t SIPNameAddrGetUInt32Param(SIPNameAddr*, const char*) {
    return 0;
}

const char* SIPNameAddrGetStringParam(SIPNameAddr*, const char*) {
    return nullptr;
}

void SIPNameAddrSetUInt32Param(SIPNameAddr*, const char*, uint32_t) {}

void SIPNameAddrSetStringParam(SIPNameAddr*, const char*, const char*) {}

void SIPNameAddrRemoveParam(SIPNameAddr*, const char*) {}

int32_t SIPNameAddrToString(SIPNameAddr*, char*, uint64_t) {
    return Reporting<int32_t>(-1, []() -> int32_t { NotAvailable(); });
}

const char* SIPUriGetScheme(SIPUri*) {
    return nullptr;
}

const char* SIPUriGetUser(SIPUri*) {
    return nullptr;
}

const char* SIPUriGetHost(SIPUri*) {
    return nullptr;
}

uint16_t SIPUriGetPort(SIPUri*) {
    return 0;
}

bool SIPUriParamExists(SIPUri*, const char*) {
    return false;
}

uint32_t SIPUriGetUInt32Param(SIPUri*, const char*) {
    return 0;
}

const char* SIPUriGetStringParam(SIPUri*, const char*) {
    return nullptr;
}

void SIPUriSetUInt32Param(SIPUri*, const char*, uint32_t) {}

void SIPUriSetStringParam(SIPUri*, const char*, const char*) {}

void SIPUriRemoveParam(SIPUri*, const char*) {}

int32_t SIPUriToString(SIPUri*, char*, uint64_t) {
    return Reporting<int32_t>(-1, []() -> int32_t { NotAvailable(); });
}

const char* SIPReasonGetProtocol(SIPReason*) {
    return nullptr;
}

uint32_t SIPReasonGetCause(SIPReason*) {
    return 0;
}

const char* SIPReasonGetText(SIPReason*) {
    return nullptr;
}

} // extern "C"

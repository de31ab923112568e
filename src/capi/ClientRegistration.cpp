// The client registration functions: outcomes, address of record, removal.
#include "capi/EventHandlerAdapter.h"
#include "capi/Reporting.h"
#include "dum/IClientRegistration.h"

#include <zelmor/sip.h>

#include <stdexcept>

using zel::sip::capi::AddEventHandler;
using zel::sip::capi::Reporting;

namespace {

zel::sip::IClientRegistration& FromHandle(SIPClientRegistration* registration) noexcept {
    return *reinterpret_cast<zel::sip::IClientRegistration*>(registration);
}

} // namespace

extern "C" {

void SIPClientRegistrationAddSuccessEventHandler(SIPClientRegistration* registration,
                                                 SIPClientRegistrationSuccessCallback callback, void* context) {
    try {
        AddEventHandler(FromHandle(registration).Success, callback, context,
                        [](SIPClientRegistrationSuccessCallback call, void* data) { call(data); });
    } catch (...) {
    }
}

void SIPClientRegistrationAddRemovedEventHandler(SIPClientRegistration* registration,
                                                 SIPClientRegistrationRemovedCallback callback, void* context) {
    try {
        AddEventHandler(FromHandle(registration).Removed, callback, context,
                        [](SIPClientRegistrationRemovedCallback call, void* data) { call(data); });
    } catch (...) {
    }
}

void SIPClientRegistrationAddFailureEventHandler(SIPClientRegistration* registration,
                                                 SIPClientRegistrationFailureCallback callback, void* context) {
    try {
        AddEventHandler(FromHandle(registration).Failure, callback, context,
                        [](SIPClientRegistrationFailureCallback call, void* data, std::int32_t statusCode,
                           const char* reason, const char* warning) { call(data, statusCode, reason, warning); });
    } catch (...) {
    }
}

SIPNameAddr* SIPClientRegistrationGetAoR(SIPClientRegistration* registration) {
    if (registration == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<SIPNameAddr*>(FromHandle(registration).GetAoR());
}

int32_t SIPClientRegistrationRemove(SIPClientRegistration* registration) {
    return Reporting<int32_t>(-1, [&] {
        if (registration == nullptr) {
            throw std::invalid_argument("the registration handle is null");
        }
        FromHandle(registration).Remove();
        return 0;
    });
}

} // extern "C"

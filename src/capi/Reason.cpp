// Reason header values (RFC 3326): protocol, cause and text.
#include "capi/Handles.h"

using zel::sip::capi::FromHandle;

extern "C" {

const char* SIPReasonGetProtocol(SIPReason* reason) {
    return reason != nullptr ? FromHandle(reason)->Protocol().c_str() : nullptr;
}

uint32_t SIPReasonGetCause(SIPReason* reason) {
    return reason != nullptr ? FromHandle(reason)->Cause() : 0;
}

const char* SIPReasonGetText(SIPReason* reason) {
    if (reason == nullptr) {
        return nullptr;
    }
    const std::string* text = FromHandle(reason)->Text();
    return text != nullptr ? text->c_str() : nullptr;
}

} // extern "C"

// URIs of name-addresses: their parts, their parameters and their text.
#include "capi/Handles.h"

using zel::sip::capi::FromHandle;
using zel::sip::capi::Guarded;
using zel::sip::capi::UriParamKind;

extern "C" {

const char* SIPUriGetScheme(SIPUri* uri) {
    return uri != nullptr ? FromHandle(uri)->Scheme().c_str() : nullptr;
}

const char* SIPUriGetUser(SIPUri* uri) {
    return uri != nullptr ? FromHandle(uri)->User().c_str() : nullptr;
}

const char* SIPUriGetHost(SIPUri* uri) {
    return uri != nullptr ? FromHandle(uri)->Host().c_str() : nullptr;
}

uint16_t SIPUriGetPort(SIPUri* uri) {
    return uri != nullptr ? FromHandle(uri)->Port() : 0;
}

bool SIPUriParamExists(SIPUri* uri, const char* name) {
    return uri != nullptr && zel::sip::capi::ParamExists(FromHandle(uri)->Params(), name);
}

uint32_t SIPUriGetUInt32Param(SIPUri* uri, const char* name) {
    if (uri == nullptr || name == nullptr) {
        return 0;
    }
    return zel::sip::capi::GetUInt32Param(FromHandle(uri)->Params(), UriParamKind(name), name);
}

const char* SIPUriGetStringParam(SIPUri* uri, const char* name) {
    if (uri == nullptr || name == nullptr) {
        return nullptr;
    }
    return zel::sip::capi::GetStringParam(FromHandle(uri)->Params(), UriParamKind(name), name);
}

void SIPUriSetUInt32Param(SIPUri* uri, const char* name, uint32_t value) {
    Guarded([&] {
        if (uri != nullptr && name != nullptr) {
            zel::sip::capi::SetUInt32Param(FromHandle(uri)->Params(), UriParamKind(name), name, value);
        }
    });
}

void SIPUriSetStringParam(SIPUri* uri, const char* name, const char* value) {
    Guarded([&] {
        if (uri != nullptr && name != nullptr) {
            zel::sip::capi::SetStringParam(FromHandle(uri)->Params(), UriParamKind(name), name, value);
        }
    });
}

void SIPUriRemoveParam(SIPUri* uri, const char* name) {
    Guarded([&] {
        if (uri != nullptr) {
            zel::sip::capi::RemoveParam(FromHandle(uri)->Params(), name);
        }
    });
}

int32_t SIPUriToString(SIPUri* uri, char* buffer, uint64_t bufferSize) {
    return zel::sip::capi::Reporting<int32_t>(-1, [&]() -> int32_t {
        if (uri == nullptr) {
            throw std::invalid_argument("the URI handle is null");
        }
        return zel::sip::capi::RenderInto(FromHandle(uri)->ToString(), buffer, bufferSize);
    });
}

} // extern "C"

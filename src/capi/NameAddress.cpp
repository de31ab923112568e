// Name-addresses: free-standing ones made by the host, and the ones inside messages and
// registrations (From, To, Contact, the address of record), which change their container's value.
#include "capi/Handles.h"

#include <memory>

using zel::sip::capi::FromHandle;
using zel::sip::capi::Guarded;
using zel::sip::capi::NameAddrParamKind;
using zel::sip::capi::ToHandle;
using zel::sip::stack::NameAddr;

extern "C" {

SIPNameAddr* CreateSIPNameAddr(const char* text) {
    return Guarded<SIPNameAddr*>(nullptr, [&]() -> SIPNameAddr* {
        if (text == nullptr) {
            return nullptr;
        }
        auto nameAddr = std::make_unique<NameAddr>();
        if (!NameAddr::TryParse(text, *nameAddr)) {
            return nullptr;
        }
        return ToHandle(nameAddr.release());
    });
}

void DestroySIPNameAddr(SIPNameAddr* nameAddr) {
    delete FromHandle(nameAddr);
}

const char* SIPNameAddrGetDisplayName(SIPNameAddr* nameAddr) {
    return nameAddr != nullptr ? FromHandle(nameAddr)->DisplayName().c_str() : nullptr;
}

SIPUri* SIPNameAddrGetUri(SIPNameAddr* nameAddr) {
    return nameAddr != nullptr ? ToHandle(&FromHandle(nameAddr)->GetUri()) : nullptr;
}

bool SIPNameAddrParamExists(SIPNameAddr* nameAddr, const char* name) {
    return nameAddr != nullptr && zel::sip::capi::ParamExists(FromHandle(nameAddr)->Params(), name);
}

uint32_t SIPNameAddrGetUInt32Param(SIPNameAddr* nameAddr, const char* name) {
    if (nameAddr == nullptr || name == nullptr) {
        return 0;
    }
    return zel::sip::capi::GetUInt32Param(FromHandle(nameAddr)->Params(), NameAddrParamKind(name), name);
}

const char* SIPNameAddrGetStringParam(SIPNameAddr* nameAddr, const char* name) {
    if (nameAddr == nullptr || name == nullptr) {
        return nullptr;
    }
    return zel::sip::capi::GetStringParam(FromHandle(nameAddr)->Params(), NameAddrParamKind(name), name);
}

void SIPNameAddrSetUInt32Param(SIPNameAddr* nameAddr, const char* name, uint32_t value) {
    Guarded([&] {
        if (nameAddr != nullptr && name != nullptr) {
            zel::sip::capi::SetUInt32Param(FromHandle(nameAddr)->Params(), NameAddrParamKind(name), name, value);
        }
    });
}

void SIPNameAddrSetStringParam(SIPNameAddr* nameAddr, const char* name, const char* value) {
    Guarded([&] {
        if (nameAddr != nullptr && name != nullptr) {
            zel::sip::capi::SetStringParam(FromHandle(nameAddr)->Params(), NameAddrParamKind(name), name, value);
        }
    });
}

void SIPNameAddrRemoveParam(SIPNameAddr* nameAddr, const char* name) {
    Guarded([&] {
        if (nameAddr != nullptr) {
            zel::sip::capi::RemoveParam(FromHandle(nameAddr)->Params(), name);
        }
    });
}

int32_t SIPNameAddrToString(SIPNameAddr* nameAddr, char* buffer, uint64_t bufferSize) {
    return zel::sip::capi::Reporting<int32_t>(-1, [&]() -> int32_t {
        if (nameAddr == nullptr) {
            throw std::invalid_argument("the name-address handle is null");
        }
        return zel::sip::capi::RenderInto(FromHandle(nameAddr)->ToString(), buffer, bufferSize);
    });
}

} // extern "C"

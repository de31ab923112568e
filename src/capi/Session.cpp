// The session functions: events, the call's identity and negotiated media, rejecting and ending.
//
// Every function resolves its handle through the session table, so a handle kept after the
// session's Terminated callbacks have returned reaches no freed object: the getters answer as for
// an absent value and the two actions fail with the handle error.
#include "capi/EventHandlerAdapter.h"
#include "capi/Handles.h"
#include "capi/Reporting.h"
#include "capi/SessionHandles.h"
#include "dum/ISession.h"

#include <zelmor/sip.h>

#include <cstring>
#include <memory>
#include <string>

using zel::sip::capi::AddEventHandler;
using zel::sip::capi::GetSessionHandles;
using zel::sip::capi::Guarded;
using zel::sip::capi::Reporting;

namespace {

/// The session behind `handle`, or null (an ended session, an unknown handle).
std::shared_ptr<zel::sip::ISession> Resolve(const SIPSession* handle) noexcept {
    try {
        return GetSessionHandles().Resolve(handle);
    } catch (...) {
        return nullptr;
    }
}

/// Connects a callback to one of the session's signals; a handle that resolves to nothing gets
/// no callback.
template <typename Signal, typename Callback, typename Invoke>
void AddSessionHandler(SIPSession* handle, Signal zel::sip::ISessionImpl::*signal, Callback callback, void* context,
                       Invoke invoke) noexcept {
    Guarded([&] {
        if (auto session = Resolve(handle)) {
            AddEventHandler((*session).*signal, callback, context, invoke);
        }
    });
}

} // namespace

extern "C" {

// ---- events ------------------------------------------------------------------------------------------

void SIPSessionAddMediaNegotiatedEventHandler(SIPSession* session, SIPSessionMediaNegotiatedCallback callback,
                                              void* context) {
    AddSessionHandler(session, &zel::sip::ISessionImpl::MediaNegotiated, callback, context,
                      [](SIPSessionMediaNegotiatedCallback call, void* data) { call(data); });
}

void SIPSessionAddConnectedEventHandler(SIPSession* session, SIPSessionConnectedCallback callback, void* context) {
    AddSessionHandler(session, &zel::sip::ISessionImpl::Connected, callback, context,
                      [](SIPSessionConnectedCallback call, void* data) { call(data); });
}

void SIPSessionAddFailureEventHandler(SIPSession* session, SIPSessionFailureCallback callback, void* context) {
    AddSessionHandler(session, &zel::sip::ISessionImpl::Failure, callback, context,
                      [](SIPSessionFailureCallback call, void* data, std::int32_t statusCode,
                         const std::string& reason, const zel::sip::stack::SipMessage& response) {
                          call(data, statusCode, reason.c_str(), reinterpret_cast<const SIPMessage*>(&response));
                      });
}

void SIPSessionAddTerminatedEventHandler(SIPSession* session, SIPSessionTerminatedCallback callback,
                                         void* context) {
    AddSessionHandler(session, &zel::sip::ISessionImpl::Terminated, callback, context,
                      [](SIPSessionTerminatedCallback call, void* data, zel::sip::TerminatedReason reason,
                         const zel::sip::stack::SipMessage* message) {
                          call(data, static_cast<TerminatedReason>(reason),
                               reinterpret_cast<const SIPMessage*>(message));
                      });
}

void SIPSessionAddMessageContentEventHandler(SIPSession* session, SIPSessionMessageContentCallback callback,
                                             void* context) {
    AddSessionHandler(session, &zel::sip::ISessionImpl::MessageContent, callback, context,
                      [](SIPSessionMessageContentCallback call, void* data, const std::string& contentType,
                         const std::string& body) { call(data, contentType.c_str(), body.c_str()); });
}

void SIPSessionAddReadyToSendEventHandler(SIPSession* session, SIPSessionReadyToSendCallback callback,
                                          void* context) {
    AddSessionHandler(session, &zel::sip::ISessionImpl::ReadyToSend, callback, context,
                      [](SIPSessionReadyToSendCallback call, void* data, zel::sip::stack::SipMessage& message) {
                          call(data, reinterpret_cast<SIPMessage*>(&message));
                      });
}

// ---- getters -------------------------------------------------------------------------------------------

const char* SIPSessionGetCallId(SIPSession* handle) {
    return Guarded<const char*>(nullptr, [&]() -> const char* {
        auto session = Resolve(handle);
        return session ? session->CallIdText().c_str() : nullptr;
    });
}

uint64_t SIPSessionGetMediaCount(SIPSession* handle) {
    return Guarded<uint64_t>(0, [&]() -> uint64_t {
        auto session = Resolve(handle);
        return session ? session->GetMediaCount() : 0;
    });
}

const char* SIPSessionMediaGetLabel(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<const char*>(nullptr, [&]() -> const char* {
        auto session = Resolve(handle);
        return session ? session->GetMediaLabel(mediaIndex) : nullptr;
    });
}

void SIPSessionMediaGetLocalConnectionAddress(SIPSession* handle, uint64_t mediaIndex, char* buffer,
                                              uint64_t bufferSize) {
    if (buffer == nullptr || bufferSize == 0) {
        return; // nothing can be written; not writing through a null buffer is the only sound answer
    }
    Guarded([&] {
        if (auto session = Resolve(handle)) {
            session->GetLocalConnectionAddress(mediaIndex, buffer, bufferSize);
        } else {
            // As for an index out of range.
            buffer[bufferSize - 1] = '\0';
        }
    });
}

uint64_t SIPSessionMediaGetRemoteConnectionAddressCount(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<uint64_t>(0, [&]() -> uint64_t {
        auto session = Resolve(handle);
        return session ? session->GetRemoteConnectionAddressCount(mediaIndex) : 0;
    });
}

void SIPSessionMediaGetRemoteConnectionAddress(SIPSession* handle, uint64_t mediaIndex, uint64_t addressIndex,
                                               char* buffer, uint64_t bufferSize) {
    if (buffer == nullptr || bufferSize == 0) {
        return;
    }
    Guarded([&] {
        if (auto session = Resolve(handle)) {
            session->GetRemoteConnectionAddress(mediaIndex, addressIndex, buffer, bufferSize);
        }
    });
}

uint64_t SIPSessionMediaGetPortCount(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<uint64_t>(0, [&]() -> uint64_t {
        auto session = Resolve(handle);
        return session ? session->GetPortCount(mediaIndex) : 0;
    });
}

uint16_t SIPSessionMediaGetLocalMediaPort(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<uint16_t>(0, [&]() -> uint16_t {
        auto session = Resolve(handle);
        return session ? session->GetLocalMediaPort(mediaIndex) : 0;
    });
}

uint16_t SIPSessionMediaGetLocalControlPort(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<uint16_t>(0, [&]() -> uint16_t {
        auto session = Resolve(handle);
        return session ? session->GetLocalControlPort(mediaIndex) : 0;
    });
}

uint16_t SIPSessionMediaGetRemoteMediaPort(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<uint16_t>(0, [&]() -> uint16_t {
        auto session = Resolve(handle);
        return session ? session->GetRemoteMediaPort(mediaIndex) : 0;
    });
}

uint16_t SIPSessionMediaGetRemoteControlPort(SIPSession* handle, uint64_t mediaIndex) {
    return Guarded<uint16_t>(0, [&]() -> uint16_t {
        auto session = Resolve(handle);
        return session ? session->GetRemoteControlPort(mediaIndex) : 0;
    });
}

uint64_t SIPSessionMediaGetAttributes(SIPSession* handle, uint64_t mediaIndex, char* buffer, uint64_t bufferSize) {
    return Guarded<uint64_t>(1, [&]() -> uint64_t {
        auto session = Resolve(handle);
        const std::string text = session ? session->GetAttributes(mediaIndex) : std::string();
        const uint64_t needed = text.size() + 1;
        if (buffer != nullptr && bufferSize >= needed) {
            zel::sip::capi::CopyToBuffer(text, buffer, bufferSize);
        }
        return needed;
    });
}

// ---- actions -------------------------------------------------------------------------------------------

int32_t SIPSessionReject(SIPSession* handle, int32_t statusCode, const char* text) {
    return Reporting<int32_t>(-1, [&] {
        GetSessionHandles().Require(handle)->Reject(statusCode, text);
        return 0;
    });
}

int32_t SIPSessionTerminate(SIPSession* handle) {
    return Reporting<int32_t>(-1, [&] {
        GetSessionHandles().Require(handle)->Terminate();
        return 0;
    });
}

} // extern "C"

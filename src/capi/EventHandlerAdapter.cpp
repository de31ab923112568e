// The event handler registry and the user agent's four event registration functions.
#include "capi/EventHandlerAdapter.h"

#include "capi/SessionHandles.h"

#include "core/IUserAgent.h"

#include <zelmor/sip.h>

#include <vector>

namespace zel::sip {

void EventHandlerAdapter::AddEventHandler(void* context, std::weak_ptr<EventConnection> connection) {
    const std::lock_guard lock(mutex_);
    entries_.emplace(context, std::move(connection));
    if (entries_.size() >= pruneAt_) {
        PruneDisconnected();
        pruneAt_ = 2 * entries_.size() + 64;
    }
}

void EventHandlerAdapter::RemoveEventHandler(void* context) {
    // Disconnecting only marks the callback; the signal drops it later, without calling back
    // into the registry, so holding the mutex is safe.
    const std::lock_guard lock(mutex_);
    const auto [first, last] = entries_.equal_range(context);
    for (auto entry = first; entry != last; ++entry) {
        if (const std::shared_ptr<EventConnection> connection = entry->second.lock()) {
            connection->Disconnect();
        }
    }
    entries_.erase(first, last);
}

std::size_t EventHandlerAdapter::Size() const {
    const std::lock_guard lock(mutex_);
    return entries_.size();
}

void EventHandlerAdapter::PruneDisconnected() {
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (!entry->second.expired()) {
            ++entry;
        } else {
            entry = entries_.erase(entry);
        }
    }
}

EventHandlerAdapter& GetEventHandlerAdapter() {
    static EventHandlerAdapter* const registry = new EventHandlerAdapter();
    return *registry;
}

} // namespace zel::sip

namespace {

zel::sip::IUserAgent& FromHandle(SIPUserAgent* userAgent) noexcept {
    return *reinterpret_cast<zel::sip::IUserAgent*>(userAgent);
}

} // namespace

using zel::sip::capi::AddEventHandler;

extern "C" {

void SIPRemoveEventHandler(void* context) {
    try {
        zel::sip::GetEventHandlerAdapter().RemoveEventHandler(context);
    } catch (...) {
        // Only the mutex can fail; the callbacks stay as they were.
    }
}

void SIPUserAgentAddNewClientRegistrationEventHandler(SIPUserAgent* userAgent,
                                                      SIPNewClientRegistrationCallback callback, void* context) {
    try {
        AddEventHandler(FromHandle(userAgent).NewClientRegistration, callback, context,
                        [](SIPNewClientRegistrationCallback call, void* data,
                           const std::shared_ptr<zel::sip::IClientRegistration>& registration) {
                            call(data, reinterpret_cast<SIPClientRegistration*>(registration.get()));
                        });
    } catch (...) {
    }
}

void SIPUserAgentAddNewSessionEventHandler(SIPUserAgent* userAgent, SIPNewSessionCallback callback,
                                           void* context) {
    try {
        AddEventHandler(FromHandle(userAgent).NewSession, callback, context,
                        [](SIPNewSessionCallback call, void* data,
                           const std::shared_ptr<zel::sip::ISession>& session,
                           const zel::sip::stack::SipMessage& message) {
                            call(data, zel::sip::capi::GetSessionHandles().HandleOf(session),
                                 reinterpret_cast<const SIPMessage*>(&message));
                        });
    } catch (...) {
    }
}

void SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(SIPUserAgent* userAgent,
                                                           SIPLocalMediaEndpointRequiredCallback callback,
                                                           void* context) {
    try {
        AddEventHandler(FromHandle(userAgent).LocalMediaEndpointRequired, callback, context,
                        [](SIPLocalMediaEndpointRequiredCallback call, void* data, std::uint64_t portCount,
                           zel::sip::AddressType addressType, char* address, std::uint64_t addressSize,
                           std::uint16_t& port, char* information, std::uint64_t informationSize) {
                            call(data, portCount, static_cast<AddressType>(addressType), address, addressSize,
                                 &port, information, informationSize);
                        });
    } catch (...) {
    }
}

void SIPUserAgentAddLocalMediaEndpointSurplusEventHandler(SIPUserAgent* userAgent,
                                                          SIPLocalMediaEndpointSurplusCallback callback,
                                                          void* context) {
    try {
        AddEventHandler(FromHandle(userAgent).LocalMediaEndpointSurplus, callback, context,
                        [](SIPLocalMediaEndpointSurplusCallback call, void* data, const char* address,
                           std::uint16_t port) { call(data, address, port); });
    } catch (...) {
    }
}

} // extern "C"

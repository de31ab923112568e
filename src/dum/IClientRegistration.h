#pragma once

#include "core/EventSignal.h"
#include "stack/message/NameAddr.h"

#include <cstdint>

namespace zel::sip {

/// A client registration as the host sees it (the object behind a registration handle): the
/// outcomes of one registration with a registrar, its address of record, and its removal.
///
/// Threads: the signals fire on the dialog thread. `GetAoR` and `Remove` may be called from any
/// thread. Lifetime: shared by the registration handler's map and by whoever holds a shared
/// pointer; the handler drops its share after `Removed` has been emitted, or with the user agent.
class IClientRegistration {
public:
    /// Each successful REGISTER transaction of the registration, the first one included.
    EventSignal<void()> Success;
    /// The registration's bindings were removed; nothing more follows.
    EventSignal<void()> Removed;
    /// A final failure other than 439: status code, reason phrase, text of the first Warning (empty
    /// without one). The texts live only during the emission.
    EventSignal<void(std::int32_t, const char*, const char*)> Failure;

    IClientRegistration() = default;
    IClientRegistration(const IClientRegistration&) = delete;
    IClientRegistration& operator=(const IClientRegistration&) = delete;
    virtual ~IClientRegistration() = default;

    /// The address of record, or null once the registration has ended. The pointer stays valid
    /// while this object lives.
    virtual stack::NameAddr* GetAoR() noexcept = 0;

    /// Asks the dialog layer to remove the bindings this client added; `Removed` follows on the
    /// dialog thread. Raises the dialog layer's HandleError when the registration has ended
    /// already (or the handle never referred to one).
    virtual void Remove() = 0;
};

} // namespace zel::sip

#pragma once

#include "stack/body/SdpBody.h"

#include <memory>

namespace zel::sip {

/// Builds the session-level skeleton of a local SDP body (v=, o=, s=, t=).
class ILocalSDPFactory {
public:
    virtual ~ILocalSDPFactory() = default;

    /// A new body owned by the caller, with an origin of the given address type and no media.
    virtual std::shared_ptr<stack::SdpBody> CreateLocalSDP(stack::sdp::AddrType addressType) const = 0;

protected:
    ILocalSDPFactory() = default;
    ILocalSDPFactory(const ILocalSDPFactory&) = default;
    ILocalSDPFactory& operator=(const ILocalSDPFactory&) = default;
};

} // namespace zel::sip

#pragma once

#include "core/IComputerNameProvider.h"
#include "core/IRandomNumberGenerator.h"
#include "sdp/ILocalSDPFactory.h"

namespace zel::sip {

/// The local SDP skeleton (RFC 8866 section 5):
///
///     v=0
///     o=Zelmor <random id> <random version> IN IP4|IP6 <host name>
///     s=Recording
///     t=0 0
///
/// Session id and version are two independent random 32-bit numbers (RFC 3264 section 5 asks
/// for a fresh id; the version then grows by one per change). The host name comes from the
/// computer name provider on every call.
///
/// Holds references to both services, which must outlive it. Immutable; safe on any thread as
/// long as the services are. CreateLocalSDP passes on their errors.
class LocalSDPFactory final : public ILocalSDPFactory {
public:
    LocalSDPFactory(const IComputerNameProvider& computerNameProvider, const IRandomNumberGenerator& random) noexcept
        : computerNameProvider_(computerNameProvider), random_(random) {}

    std::shared_ptr<stack::SdpBody> CreateLocalSDP(stack::sdp::AddrType addressType) const override;

private:
    const IComputerNameProvider& computerNameProvider_;
    const IRandomNumberGenerator& random_;
};

} // namespace zel::sip

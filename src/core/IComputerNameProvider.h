#pragma once

#include <string>

namespace zel::sip {

/// The source of the machine's host name, behind an interface so that SIP and SDP code can be
/// tested with a fixed name.
class IComputerNameProvider {
public:
    virtual ~IComputerNameProvider() = default;

    /// The host name. It is fully qualified only when the system's host name is; no name
    /// resolution is done. Implementations may be called from any thread.
    virtual std::string GetFQDN() const = 0;
};

} // namespace zel::sip

#pragma once

#include "core/IComputerNameProvider.h"

namespace zel::sip {

/// Reads the host name from the operating system (gethostname) on every call; nothing is cached.
class ComputerNameProvider : public IComputerNameProvider {
public:
    /// Raises std::system_error, carrying errno and its description, when the name cannot be read.
    /// Safe on any thread.
    std::string GetFQDN() const override;
};

} // namespace zel::sip

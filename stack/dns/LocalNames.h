#pragma once

#include <stdexcept>
#include <string>

namespace zel::sip::stack {

/// Raised when the local host or domain name cannot be found.
class LocalNameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The machine's host name, from gethostname(2). Raises LocalNameError when it fails or is empty.
std::string LocalHostName();

/// The machine's domain: the part of the host name after its first dot, or else the first search
/// domain of the resolver configuration (the "domain" or "search" line of /etc/resolv.conf, or
/// $LOCALDOMAIN, read through c-ares). Raises LocalNameError when there is none.
std::string LocalDomainName();

/// The same from a given host name and resolver configuration file; for tests and for callers that
/// know better.
std::string LocalDomainName(const std::string& hostName, const std::string& resolvConfPath);

} // namespace zel::sip::stack

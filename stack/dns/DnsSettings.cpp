#include "stack/dns/DnsSettings.h"

#include <stdexcept>

namespace zel::sip::stack {

std::vector<TransportType> DnsSettings::DefaultTransports() {
    return {TransportType::UDP, TransportType::TCP, TransportType::TLS};
}

void DnsSettings::Validate() const {
    if (transports.empty())
        throw std::invalid_argument("DNS settings: no transport is supported");
    if (tries < 1)
        throw std::invalid_argument("DNS settings: tries must be at least 1, not " + std::to_string(tries));
    if (timeout.count() <= 0)
        throw std::invalid_argument("DNS settings: the timeout must be positive, not " +
                                    std::to_string(timeout.count()) + " ms");
    if (maxRecordsPerAnswer == 0 || maxNamesPerStep == 0 || maxTargets == 0)
        throw std::invalid_argument("DNS settings: maxRecordsPerAnswer, maxNamesPerStep and maxTargets must be at "
                                    "least 1");
    for (const auto& server : servers)
        if (server.empty() || server.find(',') != std::string::npos)
            throw std::invalid_argument("DNS settings: invalid server \"" + server + "\"");
}

} // namespace zel::sip::stack

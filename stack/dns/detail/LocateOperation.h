#pragma once

#include "stack/dns/Destination.h"
#include "stack/dns/DnsClient.h"
#include "stack/dns/DnsSettings.h"
#include "stack/dns/LocationRules.h"
#include "stack/dns/Target.h"

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <system_error>
#include <vector>

namespace zel::sip::stack::detail {

/// One run of RFC 3263 section 4 for a destination whose host is a domain name:
///
///     port given ............................................. A/AAAA -> targets
///     transport given ........................ SRV (that transport) -> A/AAAA
///     neither .... NAPTR -> SRV (per usable NAPTR record)            -> A/AAAA
///                  no usable NAPTR -> SRV (per supported transport)  -> A/AAAA
///     no SRV found ........ A/AAAA of the domain on the default transport and port
///
/// Questions of one step go out together; the next step starts when all have answered. The work is
/// bounded by DnsSettings: names per step (maxNamesPerStep) and targets (maxTargets), on top of the
/// records per answer the DnsClient keeps; duplicates are found by hashing, so a step is linear in
/// what it is given. Held by
/// shared_ptr: the DNS client's handlers keep it alive. `finish` is called exactly once, last.
class LocateOperation : public std::enable_shared_from_this<LocateOperation> {
public:
    using Finish = std::function<void(std::error_code, std::vector<Target>)>;

    /// `client`, `settings` and `random` must outlive the operation's handlers (they belong to the
    /// ServerLocator, whose DnsClient drops pending handlers when destroyed).
    LocateOperation(DnsClient& client, const DnsSettings& settings, std::mt19937& random, Destination destination,
                    std::string domain, Finish finish);

    void Start();

private:
    struct Endpoint {
        std::string host;
        std::uint16_t port;
        TransportType transport;
    };

    void LookUpNaptr();
    void OnNaptr(const RecordSet& records);
    void LookUpSrv(std::vector<NaptrChoice> questions, bool fromNaptr);
    void OnSrv(const std::vector<NaptrChoice>& questions, bool fromNaptr, const std::vector<RecordSet>& answers);
    void SrvPerTransport();
    void LookUpDomainAddresses(std::optional<TransportType> transport, std::uint16_t port);
    void LookUpAddresses(std::vector<Endpoint> endpoints);
    void MakeTargets(const std::vector<Endpoint>& endpoints, const std::unordered_map<std::string_view, std::size_t>& hostIndex,
                std::size_t typeCount, const std::vector<RecordSet>& answers, std::error_code failure);
    void Note(const std::error_code& error);
    void Fail(std::error_code error);

    DnsClient& client_;
    const DnsSettings& settings_;
    std::mt19937& random_;
    Destination destination_;
    /// The host as queried: lower case, no trailing dot.
    std::string domain_;
    Finish finish_;
    /// The first timeout or server failure of any step: it makes a final negative answer unreliable.
    std::error_code transient_;
};

} // namespace zel::sip::stack::detail

#include "stack/dns/LocalNames.h"

#include <ares.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

namespace zel::sip::stack {

namespace {

/// The first search domain c-ares reads from `resolvConfPath`; empty when there is none.
std::string SearchDomain(const std::string& resolvConfPath) {
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    ares_options options{};
    options.resolvconf_path = const_cast<char*>(resolvConfPath.c_str());
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &options, ARES_OPT_RESOLVCONF) != ARES_SUCCESS)
        return {};
    ares_options saved{};
    int mask = 0;
    std::string domain;
    if (ares_save_options(channel, &saved, &mask) == ARES_SUCCESS) {
        if ((mask & ARES_OPT_DOMAINS) && saved.ndomains > 0 && saved.domains[0])
            domain = saved.domains[0];
        ares_destroy_options(&saved);
    }
    ares_destroy(channel);
    return domain;
}

} // namespace

std::string LocalHostName() {
    std::array<char, HOST_NAME_MAX + 1> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0)
        throw LocalNameError(std::string("cannot read the host name: ") + std::strerror(errno));
    std::string name(buffer.data());
    if (name.empty())
        throw LocalNameError("the host name is empty");
    return name;
}

std::string LocalDomainName() { return LocalDomainName(LocalHostName(), "/etc/resolv.conf"); }

std::string LocalDomainName(const std::string& hostName, const std::string& resolvConfPath) {
    const auto dot = hostName.find('.');
    if (dot != std::string::npos && dot + 1 < hostName.size())
        return hostName.substr(dot + 1);
    std::string domain = SearchDomain(resolvConfPath);
    if (domain.empty())
        throw LocalNameError("cannot determine the local domain name of host \"" + hostName + "\"");
    return domain;
}

} // namespace zel::sip::stack

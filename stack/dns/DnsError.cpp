#include "stack/dns/DnsError.h"

#include <ares.h>

#include <string>

namespace zel::sip::stack {

namespace {

class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "dns"; }

    std::string message(int value) const override {
        switch (static_cast<DnsError>(value)) {
        case DnsError::NotFound: return "the domain does not exist";
        case DnsError::NoRecords: return "the domain has no records of the requested type";
        case DnsError::Timeout: return "no DNS server answered in time";
        case DnsError::ServerFailure: return "the DNS server failed to answer";
        case DnsError::Refused: return "the DNS server refused the query or could not be reached";
        case DnsError::BadResponse: return "the DNS answer could not be read";
        case DnsError::BadName: return "the host name is not valid";
        case DnsError::UnsupportedTransport: return "no supported transport for this destination";
        case DnsError::Cancelled: return "the DNS query was cancelled";
        case DnsError::OutOfMemory: return "the resolver ran out of memory";
        case DnsError::ResolverFailure: return "the resolver failed";
        }
        return "unknown DNS error " + std::to_string(value);
    }
};

} // namespace

const std::error_category& DnsCategory() noexcept {
    static const Category category;
    return category;
}

std::error_code make_error_code(DnsError error) noexcept {
    return {static_cast<int>(error), DnsCategory()};
}

std::error_code FromAresStatus(int status) noexcept {
    switch (status) {
    case ARES_SUCCESS: return {};
    case ARES_ENODATA: return DnsError::NoRecords;
    case ARES_ENOTFOUND:
    case ARES_ENONAME: return DnsError::NotFound;
    case ARES_ETIMEOUT: return DnsError::Timeout;
    case ARES_ESERVFAIL:
    case ARES_ENOTIMP:
    case ARES_EFORMERR:
    case ARES_EOF: return DnsError::ServerFailure;
    case ARES_EREFUSED:
    case ARES_ECONNREFUSED: return DnsError::Refused;
    case ARES_EBADRESP: return DnsError::BadResponse;
    case ARES_EBADNAME:
    case ARES_EBADSTR: return DnsError::BadName;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION: return DnsError::Cancelled;
    case ARES_ENOMEM: return DnsError::OutOfMemory;
    case ARES_EBADQUERY:
    case ARES_EBADFAMILY:
    case ARES_EBADFLAGS:
    case ARES_EBADHINTS:
    case ARES_ENOTINITIALIZED:
    case ARES_ELOADIPHLPAPI:
    case ARES_EADDRGETNETWORKPARAMS:
    case ARES_EFILE:
    case ARES_ESERVICE:
    default: return DnsError::ResolverFailure;
    }
}

bool IsTransient(std::error_code error) noexcept {
    if (error.category() != DnsCategory())
        return false;
    switch (static_cast<DnsError>(error.value())) {
    case DnsError::Timeout:
    case DnsError::ServerFailure:
    case DnsError::Refused:
    case DnsError::BadResponse:
    case DnsError::OutOfMemory:
    case DnsError::ResolverFailure: return true;
    case DnsError::NotFound:
    case DnsError::NoRecords:
    case DnsError::BadName:
    case DnsError::UnsupportedTransport:
    case DnsError::Cancelled: return false;
    }
    return false;
}

} // namespace zel::sip::stack

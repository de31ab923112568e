#pragma once

#include <system_error>
#include <type_traits>

namespace zel::sip::stack {

/// Why a DNS look-up or a server location found no target. Values of the category DnsCategory(); an
/// error_code of value 0 means success.
enum class DnsError {
    /// NXDOMAIN: the name does not exist.
    NotFound = 1,
    /// The name exists but has no record of the type asked for (NODATA), or no usable record.
    NoRecords,
    /// No DNS server answered within the configured timeout and tries.
    Timeout,
    /// The server answered SERVFAIL, NOTIMP or FORMERR, or closed the connection.
    ServerFailure,
    /// The server answered REFUSED, or its port refused the query (ICMP port unreachable, TCP reset):
    /// c-ares reports both alike.
    Refused,
    /// The answer could not be read.
    BadResponse,
    /// The host is not a valid domain name.
    BadName,
    /// The destination asks for a transport that is not supported, or a sips destination has no
    /// secure transport left.
    UnsupportedTransport,
    /// The query was cancelled.
    Cancelled,
    /// The resolver ran out of memory.
    OutOfMemory,
    /// Any other failure of the resolver library.
    ResolverFailure,
};

/// The category of DnsError; its messages are short English texts ("the domain does not exist").
const std::error_category& DnsCategory() noexcept;

std::error_code make_error_code(DnsError error) noexcept;

/// Maps a c-ares status code (ARES_SUCCESS, ARES_ENOTFOUND, ...) to a DnsError; ARES_SUCCESS gives an
/// empty error_code. Every status c-ares defines is mapped; unknown ones become ResolverFailure.
std::error_code FromAresStatus(int status) noexcept;

/// True for the errors after which the same question may get another answer later (timeouts and
/// server failures), as opposed to definite negative answers (NotFound, NoRecords).
bool IsTransient(std::error_code error) noexcept;

} // namespace zel::sip::stack

template <>
struct std::is_error_code_enum<zel::sip::stack::DnsError> : std::true_type {};

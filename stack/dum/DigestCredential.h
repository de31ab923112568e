#pragma once

#include <string>

namespace zel::sip::stack {

/// One digest credential of a user profile (RFC 3261 section 22.4, RFC 7616): the realm it answers,
/// the user name and the password in clear text.
struct DigestCredential {
    std::string realm;
    std::string user;
    std::string password;

    friend bool operator==(const DigestCredential&, const DigestCredential&) = default;
};

} // namespace zel::sip::stack

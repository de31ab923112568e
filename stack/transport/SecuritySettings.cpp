#include "stack/transport/SecuritySettings.h"

#include <atomic>

namespace zel::sip::stack {

namespace {

// Process-wide by design: every user agent of the process shares OpenSSL and these two settings.
std::atomic<bool> allowWildcards{false};
std::atomic<std::uint64_t> contextOptions{0};

} // namespace

void SetAllowWildcardCertificates(bool allow) noexcept { allowWildcards.store(allow); }

bool AllowWildcardCertificates() noexcept { return allowWildcards.load(); }

void AddOpenSslContextOptions(std::uint64_t options) noexcept { contextOptions.fetch_or(options); }

std::uint64_t OpenSslContextOptions() noexcept { return contextOptions.load(); }

} // namespace zel::sip::stack

#pragma once

#include "stack/transport/Tuple.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zel::sip::stack {

/// One place to send a request to, as found by server location.
struct Target {
    Tuple tuple;
    /// The destination's host as given (without brackets): the identity a TLS server must prove
    /// (RFC 5922 section 4 checks the URI's domain, not the SRV target, since DNS is not trusted).
    std::string tlsName;
    /// The name whose address record gave the address: the SRV target, or the destination's host.
    /// Empty for a numeric host. For logs.
    std::string hostName;

    friend bool operator==(const Target&, const Target&) = default;
};

/// "address:port TRANSPORT (host name)".
std::string ToString(const Target& target);

/// The ordered targets of one server location and the position of the one in use. The transaction
/// layer sends to Current() and calls Next() on a transport error, a timeout or a 503 response
/// (RFC 3263 section 4.3). A plain value: copy it freely; not shared between threads.
class TargetList {
public:
    TargetList() = default;
    explicit TargetList(std::vector<Target> targets) noexcept : targets_(std::move(targets)) {}

    /// The target to use now, or null when every target has been tried.
    const Target* Current() const noexcept {
        return position_ < targets_.size() ? &targets_[position_] : nullptr;
    }
    /// Moves to the next target; false when none is left.
    bool Next() noexcept {
        if (position_ < targets_.size())
            ++position_;
        return position_ < targets_.size();
    }
    bool Exhausted() const noexcept { return position_ >= targets_.size(); }
    std::size_t Position() const noexcept { return position_; }
    /// Every target, in the order they are tried.
    const std::vector<Target>& All() const noexcept { return targets_; }

private:
    std::vector<Target> targets_;
    std::size_t position_ = 0;
};

} // namespace zel::sip::stack

#pragma once

#include <cstdint>
#include <stdexcept>

namespace zel::sip::stack {

/// Raised when a handle is resolved that refers to no live usage: a default-constructed handle
/// ("Reference to unitialized handle.") or one whose usage has ended ("Reference to a usage that has
/// ended (id N).").
class HandleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    /// The error for a handle that never referred to a usage.
    static HandleError Uninitialized();
    /// The error for a handle whose usage `id` has ended.
    static HandleError Ended(std::uint64_t id);
};

} // namespace zel::sip::stack

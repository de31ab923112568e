#pragma once

#include "capi/LastError.h"

#include <exception>
#include <string>

namespace zel::sip::capi {

/// The shape of every C function that reports failure through the last error: clear the calling
/// thread's last error, run the operation, and turn an exception into the last error and the
/// function's failure value. No exception crosses the C boundary.
template <typename Result, typename Operation>
Result Reporting(Result failure, Operation&& operation) noexcept {
    auto& manifest = GetLastErrorManifest();
    try {
        manifest.SetLastErrorMessage({});
        return operation();
    } catch (const std::exception& error) {
        try {
            manifest.SetLastErrorMessage(error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            manifest.SetLastErrorMessage("unknown error");
        } catch (...) {
        }
    }
    return failure;
}

/// The same for functions without a result.
template <typename Operation>
void Reporting(Operation&& operation) noexcept {
    Reporting(0, [&] {
        operation();
        return 0;
    });
}

/// Copies text into a host buffer: at most size - 1 bytes, zero-filling the rest of those bytes,
/// and a NUL at size - 1. The buffer must be non-null and size at least 1.
void CopyToBuffer(std::string_view text, char* buffer, std::uint64_t size) noexcept;

} // namespace zel::sip::capi

#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace zel::sip {

/// The process-wide store of each thread's last error text, read by GetSIPLastErrorMessage.
///
/// One entry per thread at most. A thread's entry is dropped when the thread ends, so a host that
/// creates and ends many threads does not grow the map, and a later thread that is given a reused
/// thread id never reads a stale message. The mutex is held for one map operation only.
class LastErrorManifest {
public:
    /// Stores a copy of the text as the calling thread's last error.
    void SetLastErrorMessage(std::string_view text);

    /// Copies the calling thread's last error into the buffer: at most size - 1 bytes, the rest of
    /// those size - 1 bytes zero-filled, and a NUL at size - 1. A thread without an entry reads the
    /// empty text. A null buffer or a size of 0 does nothing.
    void GetLastErrorMessage(char* buffer, std::uint64_t size) const;

    /// Drops the entry of the given thread (called when that thread ends).
    void Forget(std::thread::id thread);

    /// Number of threads that have an entry (for tests).
    std::size_t Size() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::thread::id, std::string> messages_;
};

/// The process-wide store. It is never destroyed, so a thread that ends during process exit can
/// still drop its entry safely.
LastErrorManifest& GetLastErrorManifest();

} // namespace zel::sip

#include "capi/LastError.h"

#include <cstring>

namespace zel::sip {

namespace {

/// Lives in each thread that ever stored a last error; its destructor runs when that thread ends
/// and removes the thread's entry.
struct ThreadEntryGuard {
    ~ThreadEntryGuard() { GetLastErrorManifest().Forget(std::this_thread::get_id()); }
};

void EnsureForgottenAtThreadExit() {
    thread_local ThreadEntryGuard guard;
    (void)guard;
}

} // namespace

void LastErrorManifest::SetLastErrorMessage(std::string_view text) {
    EnsureForgottenAtThreadExit();
    std::lock_guard lock(mutex_);
    messages_[std::this_thread::get_id()].assign(text);
}

void LastErrorManifest::GetLastErrorMessage(char* buffer, std::uint64_t size) const {
    if (buffer == nullptr || size == 0)
        return;
    std::lock_guard lock(mutex_);
    const auto found = messages_.find(std::this_thread::get_id());
    if (found == messages_.end()) {
        buffer[0] = '\0';
        return;
    }
    // strncpy copies up to size - 1 bytes and zero-fills the rest of them.
    std::strncpy(buffer, found->second.c_str(), size - 1);
    buffer[size - 1] = '\0';
}

void LastErrorManifest::Forget(std::thread::id thread) {
    std::lock_guard lock(mutex_);
    messages_.erase(thread);
}

std::size_t LastErrorManifest::Size() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
}

LastErrorManifest& GetLastErrorManifest() {
    static auto* const manifest = new LastErrorManifest;
    return *manifest;
}

} // namespace zel::sip

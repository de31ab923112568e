#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "stack/message/ValueKindOf.h"

namespace zel::sip::stack::detail {

/// Storage for the typed values a message parses from its received header text, and for the short
/// texts a message is given (header values of a message we build). A usual message
/// reads five to ten values (From, To, Call-ID, CSeq, the top Via, Contact, ...): one heap block
/// each would be most of the allocations of handling it. The arena hands out space from at most
/// three blocks (1,024, 2,048 and 4,096 bytes, each taken when the one before is full, so a message
/// that reads little holds little); once they are full, values go to the heap as before. The first
/// block holds what the transaction layer reads of every request (top Via, CSeq, To, From, about
/// 800 bytes), so a request kept while its transaction is pending holds one block. The bound
/// matters because a value that is replaced or removed does not give its arena space back: a
/// message re-parsing edited values in a loop falls back to the heap instead of growing.
///
/// The arena must outlive every holder made in it (SipMessage destroys its slots first). Not
/// thread-safe, like the message.
class MessageArena {
public:
    MessageArena() noexcept = default;
    ~MessageArena();
    MessageArena(MessageArena&& other) noexcept
        : blocks_(std::exchange(other.blocks_, {})), count_(std::exchange(other.count_, 0)),
          used_(std::exchange(other.used_, 0)) {}
    MessageArena(const MessageArena&) = delete;
    MessageArena& operator=(const MessageArena&) = delete;
    /// Frees this arena's blocks: every holder made in them must be gone already.
    MessageArena& operator=(MessageArena&& other) noexcept;

    /// A value holder of type `H`, in the arena when it has room, on the heap otherwise.
    template <class H, class... Args>
    HolderPtr Make(Args&&... args) {
        void* at = Allocate(sizeof(H), alignof(H));
        if (at == nullptr) {
            return HolderPtr(new H(std::forward<Args>(args)...));
        }
        H* holder = new (at) H(std::forward<Args>(args)...);
        holder->MarkInArena();
        return HolderPtr(holder);
    }

    /// A copy of `text` in the arena, or an empty view with `text` non-empty when it does not fit
    /// (the caller keeps it elsewhere).
    std::string_view Copy(std::string_view text) noexcept {
        if (text.empty()) {
            return {};
        }
        auto* at = static_cast<char*>(Allocate(text.size(), 1));
        if (at == nullptr) {
            return {};
        }
        std::memcpy(at, text.data(), text.size());
        return {at, text.size()};
    }

    /// Bytes taken from the heap for blocks (for tests and memory figures).
    std::size_t BlockBytes() const noexcept;

private:
    static constexpr std::array<std::size_t, 3> kBlockSizes = {1024, 2048, 4096};

    void* Allocate(std::size_t size, std::size_t align) noexcept;
    void Release() noexcept;

    std::array<std::byte*, kBlockSizes.size()> blocks_{};
    std::size_t count_ = 0; // blocks taken
    std::size_t used_ = 0;  // bytes used in the newest block
};

} // namespace zel::sip::stack::detail

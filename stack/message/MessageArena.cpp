#include "stack/message/MessageArena.h"

namespace zel::sip::stack::detail {

namespace {

constexpr std::align_val_t kBlockAlign{alignof(std::max_align_t)};

} // namespace

MessageArena::~MessageArena() { Release(); }

void MessageArena::Release() noexcept {
    for (std::size_t i = 0; i < count_; ++i) {
        ::operator delete(blocks_[i], kBlockAlign);
    }
    count_ = 0;
    used_ = 0;
}

MessageArena& MessageArena::operator=(MessageArena&& other) noexcept {
    if (this != &other) {
        Release();
        blocks_ = std::exchange(other.blocks_, {});
        count_ = std::exchange(other.count_, 0);
        used_ = std::exchange(other.used_, 0);
    }
    return *this;
}

std::size_t MessageArena::BlockBytes() const noexcept {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        bytes += kBlockSizes[i];
    }
    return bytes;
}

void* MessageArena::Allocate(std::size_t size, std::size_t align) noexcept {
    if (align > alignof(std::max_align_t)) {
        return nullptr;
    }
    for (;;) {
        if (count_ > 0) {
            const std::size_t at = (used_ + align - 1) / align * align;
            if (at + size <= kBlockSizes[count_ - 1]) {
                used_ = at + size;
                return blocks_[count_ - 1] + at;
            }
        }
        if (count_ == kBlockSizes.size()) {
            return nullptr; // every block full: the heap takes it
        }
        auto* block = static_cast<std::byte*>(::operator new(kBlockSizes[count_], kBlockAlign, std::nothrow));
        if (block == nullptr) {
            return nullptr;
        }
        blocks_[count_++] = block;
        used_ = 0;
    }
}

} // namespace zel::sip::stack::detail

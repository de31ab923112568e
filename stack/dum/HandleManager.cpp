#include "stack/dum/HandleManager.h"

#include <cassert>

namespace zel::sip::stack {

namespace detail {

Usage::Id HandleRegistry::Register(Usage& usage) {
    std::lock_guard lock(mutex_);
    const Usage::Id id = nextId_++;
    usages_.emplace(id, &usage);
    return id;
}

void HandleRegistry::Unregister(Usage::Id id) noexcept {
    std::lock_guard lock(mutex_);
    usages_.erase(id);
}

Usage* HandleRegistry::Find(Usage::Id id) const noexcept {
    std::lock_guard lock(mutex_);
    const auto found = usages_.find(id);
    return found == usages_.end() ? nullptr : found->second;
}

bool HandleRegistry::IsLive(Usage::Id id) const noexcept {
    std::lock_guard lock(mutex_);
    return usages_.count(id) != 0;
}

std::size_t HandleRegistry::Count() const noexcept {
    std::lock_guard lock(mutex_);
    return usages_.size();
}

} // namespace detail

Usage::Usage(HandleManager& manager) : registry_(manager.registry_), id_(registry_->Register(*this)) {}

Usage::~Usage() { registry_->Unregister(id_); }

HandleManager::HandleManager() : registry_(std::make_shared<detail::HandleRegistry>()) {}

HandleManager::~HandleManager() {
    // A usage outliving its manager would be reachable through handles with nobody to end it.
    assert(registry_->Count() == 0 && "every usage ends before its manager");
}

bool HandleManager::IsLive(Usage::Id id) const noexcept { return registry_->IsLive(id); }

std::size_t HandleManager::Count() const noexcept { return registry_->Count(); }

} // namespace zel::sip::stack

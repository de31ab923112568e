#pragma once

#include <compare>
#include <concepts>
#include <memory>

#include "stack/dum/HandleError.h"
#include "stack/dum/HandleManager.h"

namespace zel::sip::stack {

/// A reference to a usage of type `T` (a class derived from Usage) that never dangles: the
/// manager's registry plus the usage's id. Resolving it (`Get`, `->`, `*`) raises HandleError once
/// the usage has ended, or when the handle never referred to one. Cheap to copy (one shared
/// pointer and an integer); ordered and compared by id, so handles can key maps.
///
/// Threads: resolve only on the dialog thread (the usage lives and dies there, so the pointer is
/// good until the current task returns). `IsValid` and `Id` are safe from any thread.
template <class T>
class Handle {
public:
    /// A handle that refers to nothing; resolving it raises "Reference to unitialized handle.".
    Handle() = default;

    /// A handle to `usage`, which must be alive.
    explicit Handle(T& usage) : registry_(usage.registry_), id_(usage.GetId()) {}

    /// A handle to a derived usage converts to a handle to its base.
    template <class U>
        requires std::derived_from<U, T> && (!std::same_as<U, T>)
    Handle(const Handle<U>& other) : registry_(other.registry_), id_(other.id_) {}

    /// Whether the usage is alive now. From another thread the answer may be stale by the time it
    /// is used.
    bool IsValid() const noexcept { return registry_ != nullptr && registry_->IsLive(id_); }

    /// The usage id; 0 for a default-constructed handle.
    Usage::Id Id() const noexcept { return id_; }

    /// The usage. Raises HandleError when it has ended or the handle is uninitialised.
    T* Get() const {
        if (registry_ == nullptr) {
            throw HandleError::Uninitialized();
        }
        Usage* usage = registry_->Find(id_);
        if (usage == nullptr) {
            throw HandleError::Ended(id_);
        }
        // Sound: a handle is only ever built from a T (or converted from a handle to a class derived
        // from T), and ids are never reused.
        return static_cast<T*>(usage);
    }
    T* operator->() const { return Get(); }
    T& operator*() const { return *Get(); }

    friend bool operator==(const Handle& a, const Handle& b) noexcept { return a.id_ == b.id_; }
    friend std::strong_ordering operator<=>(const Handle& a, const Handle& b) noexcept { return a.id_ <=> b.id_; }

private:
    template <class U>
    friend class Handle;

    std::shared_ptr<detail::HandleRegistry> registry_;
    Usage::Id id_ = 0;
};

} // namespace zel::sip::stack

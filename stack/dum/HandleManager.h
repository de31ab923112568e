#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zel::sip::stack {

class HandleManager;
template <class T>
class Handle;

namespace detail {

/// The id-to-usage map behind a HandleManager. Handles share it, so a handle that outlives its
/// manager still resolves safely (to "ended") instead of dangling.
class HandleRegistry;

} // namespace detail

/// The base of every dialog usage (registrations, invite sessions, ...): something a handle can
/// refer to. Constructing a usage registers it with its manager under a new id; its destructor
/// unregisters it, so from then on every handle to it raises HandleError.
///
/// Threads: usages are created, used and destroyed on the dialog thread.
class Usage {
public:
    using Id = std::uint64_t;

    virtual ~Usage();
    Usage(const Usage&) = delete;
    Usage& operator=(const Usage&) = delete;

    /// The id handles use; never 0, never reused by the same manager.
    Id GetId() const noexcept { return id_; }

protected:
    explicit Usage(HandleManager& manager);

private:
    template <class T>
    friend class Handle;

    std::shared_ptr<detail::HandleRegistry> registry_;
    Id id_;
};

/// Maps usage ids to live usages for the handles of one dialog usage manager (which owns it).
///
/// Threads: registration, unregistration and resolution happen on the dialog thread; `IsLive`
/// (and so `Handle::IsValid`) is safe from any thread: the map has a mutex.
///
/// Lifetime: usages must end before their manager (checked in debug builds); handles may outlive
/// it and then resolve as ended.
class HandleManager {
public:
    HandleManager();
    ~HandleManager();
    HandleManager(const HandleManager&) = delete;
    HandleManager& operator=(const HandleManager&) = delete;

    /// Whether a usage with this id is registered now.
    bool IsLive(Usage::Id id) const noexcept;
    /// The number of live usages.
    std::size_t Count() const noexcept;

private:
    friend class Usage;

    std::shared_ptr<detail::HandleRegistry> registry_;
};

namespace detail {

class HandleRegistry {
public:
    Usage::Id Register(Usage& usage);
    void Unregister(Usage::Id id) noexcept;
    /// The live usage or null. Dialog thread only: the pointer is valid until that thread destroys
    /// the usage.
    Usage* Find(Usage::Id id) const noexcept;
    bool IsLive(Usage::Id id) const noexcept;
    std::size_t Count() const noexcept;

private:
    mutable std::mutex mutex_;
    std::unordered_map<Usage::Id, Usage*> usages_;
    Usage::Id nextId_ = 1;
};

} // namespace detail
} // namespace zel::sip::stack

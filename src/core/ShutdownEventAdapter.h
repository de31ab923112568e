#pragma once

#include "stack/dum/DumShutdownHandler.h"

#include <chrono>
#include <future>

namespace zel::sip {

/// Turns the dialog layer's one notification that it may be deleted into something a thread can
/// wait on. Used once: one onDumCanBeDeleted, one wait (a second of either raises
/// std::future_error).
class ShutdownEventAdapter final : public stack::DumShutdownHandler {
public:
    ShutdownEventAdapter() : future_(promise_.get_future()) {}

    /// Dialog thread: the dialog layer has shut down.
    void onDumCanBeDeleted() override { promise_.set_value(); }

    /// Blocks until onDumCanBeDeleted has been called, then releases the future.
    void WaitForShutdown() {
        future_.get();
    }

    /// The same, for at most `limit`; true when the notification came.
    bool WaitForShutdown(std::chrono::milliseconds limit) {
        if (future_.wait_for(limit) != std::future_status::ready) {
            return false;
        }
        future_.get();
        return true;
    }

private:
    std::promise<void> promise_;
    std::future<void> future_;
};

} // namespace zel::sip

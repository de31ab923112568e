#pragma once

namespace zel::sip::stack {

/// Told once, on the dialog thread, that the dialog usage manager has finished shutting down:
/// every usage has ended and nothing of the manager runs any more, so it may be destroyed (after
/// the dialog thread has been stopped and joined).
class DumShutdownHandler {
public:
    virtual ~DumShutdownHandler() = default;
    virtual void onDumCanBeDeleted() = 0;
};

} // namespace zel::sip::stack

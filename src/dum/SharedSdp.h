#pragma once

#include "stack/body/SdpBody.h"

#include <memory>
#include <utility>

namespace zel::sip {

/// One SDP that is shared read-only and edited copy-on-write: the session's local description,
/// held at once by the session, by the snapshot the host's getters read on other threads, and by
/// the dialog layer's session as the body it sent. A shared body never changes (the readers take
/// no lock on it), so an edit after a Share goes to a fresh copy; edits with nothing shared in
/// between go to the same object, without copying.
///
/// Threads: one thread (the dialog thread) uses the object; the shares may be read anywhere.
class SharedSdp {
public:
    /// The SDP, or null.
    const stack::SdpBody* Get() const noexcept { return sdp_.get(); }

    /// The SDP for changes (copied first when it has been shared), or null when there is none.
    stack::SdpBody* Edit() {
        if (sdp_ != nullptr && owned_ == nullptr) {
            auto copy = std::make_shared<stack::SdpBody>(*sdp_);
            owned_ = copy.get();
            sdp_ = std::move(copy);
        }
        return owned_;
    }

    /// The SDP as it is now, never to change (null when there is none).
    std::shared_ptr<const stack::SdpBody> Share() noexcept {
        owned_ = nullptr;
        return sdp_;
    }

    /// Takes a copy of `sdp`, ours to edit.
    void Assign(const stack::SdpBody& sdp) {
        auto copy = std::make_shared<stack::SdpBody>(sdp);
        owned_ = copy.get();
        sdp_ = std::move(copy);
    }

    /// Takes `sdp`, which others may hold: an edit copies it first.
    void Adopt(std::shared_ptr<const stack::SdpBody> sdp) noexcept {
        sdp_ = std::move(sdp);
        owned_ = nullptr;
    }

private:
    std::shared_ptr<const stack::SdpBody> sdp_;
    stack::SdpBody* owned_ = nullptr; // sdp_ while no one else holds it, else null
};

} // namespace zel::sip

#pragma once

#include "stack/body/sdp/Medium.h"

#include <vector>

namespace zel::sip {
class ISessionImpl;
}

namespace zel::sip::sdp {

/// Builds the media descriptions that a new local offer carries.
class IMediumFactory {
public:
    virtual ~IMediumFactory() = default;

    /// The media descriptions of a new offer for `session` (null before any session exists), in
    /// order, owned by the caller.
    virtual std::vector<stack::sdp::Medium> GetMediums(ISessionImpl* session) const = 0;

protected:
    IMediumFactory() = default;
    IMediumFactory(const IMediumFactory&) = default;
    IMediumFactory& operator=(const IMediumFactory&) = default;
};

} // namespace zel::sip::sdp

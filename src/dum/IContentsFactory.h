#pragma once

#include "sdp/AddressType.h"
#include "stack/body/Body.h"
#include "zelmor/sip.h"

#include <cstddef>
#include <memory>

namespace zel::sip {

/// Turns the host's body records into one SIP body, and makes the body of an outgoing INVITE.
class IContentsFactory {
public:
    virtual ~IContentsFactory() = default;

    /// One body for one record, a multipart/mixed body for several; null for none.
    virtual std::shared_ptr<stack::Body> CreateContents(const ::Contents* contents, std::size_t count) const = 0;

    /// The SDP offer of an outgoing INVITE, followed by the records' bodies in a multipart/mixed
    /// body when there are any. Never null.
    virtual std::shared_ptr<stack::Body> CreateOffer(AddressType addressType, const ::Contents* contents,
                                                     std::size_t count) const = 0;

protected:
    IContentsFactory() = default;
    IContentsFactory(const IContentsFactory&) = default;
    IContentsFactory& operator=(const IContentsFactory&) = default;
};

} // namespace zel::sip

#pragma once

#include "stack/dum/Handle.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

class ClientRegistration;
using ClientRegistrationHandle = Handle<ClientRegistration>;

/// What the application is told about its registrations (RFC 3261 section 10, RFC 5626). Every
/// call comes on the dialog thread; the handle is valid during the call (and until onRemoved or
/// onFailure has returned). The response is the registrar's, or one made up locally (408 for a
/// timeout, 503 for a transport failure) when none came; it is valid during the call only.
class ClientRegistrationHandler {
public:
    virtual ~ClientRegistrationHandler() = default;

    /// A REGISTER succeeded: the first one and every refresh.
    virtual void onSuccess(ClientRegistrationHandle registration, const SipMessage& response) = 0;
    /// Our bindings were removed (the answer to `ClientRegistration::End`). The usage has ended.
    virtual void onRemoved(ClientRegistrationHandle registration, const SipMessage& response) = 0;
    /// A REGISTER failed in a way that may go away (a Retry-After, a 408, a 503, a timeout).
    /// `retrySeconds` is the registrar's Retry-After, else the profile's retry time. Return the
    /// seconds to wait before registering again, or a negative value to give up (onFailure then).
    virtual int onRequestRetry(ClientRegistrationHandle registration, int retrySeconds, const SipMessage& response) = 0;
    /// The registration failed for good; the usage ends after this call.
    virtual void onFailure(ClientRegistrationHandle registration, const SipMessage& response) = 0;

    /// The flow an outbound registration was made over has failed (no keep-alive answer, or the
    /// connection closed; RFC 5626 section 4.4). Default: register again on a new flow.
    virtual void onFlowTerminated(ClientRegistrationHandle registration);
    /// The registration is about to run out and is refreshed by the stack. Default: nothing to do.
    virtual void onRefreshRequired(ClientRegistrationHandle registration, const SipMessage& lastRequest);
    /// Every REGISTER of the usage passes here just before it is handed to the transaction layer;
    /// the application may change it. Default: nothing.
    virtual void onReadyToSend(ClientRegistrationHandle registration, SipMessage& message);
};

} // namespace zel::sip::stack

#include "stack/dum/ClientRegistrationHandler.h"

#include "stack/dum/ClientRegistration.h"

namespace zel::sip::stack {

void ClientRegistrationHandler::onFlowTerminated(ClientRegistrationHandle registration) {
    // RFC 5626 section 4.4.1: a registration whose flow failed registers again over a new flow.
    if (registration.IsValid()) {
        registration->RequestRefresh();
    }
}

void ClientRegistrationHandler::onRefreshRequired(ClientRegistrationHandle, const SipMessage&) {}

void ClientRegistrationHandler::onReadyToSend(ClientRegistrationHandle, SipMessage&) {}

} // namespace zel::sip::stack

// Message header accessors: the headers of a message that an event delivered, and in ReadyToSend
// the extension headers of the outgoing message.
//
// The typed accessors know a few headers by their exact canonical names ("From", not "from");
// the generic ones (exists, add, remove) ask the header table first, so any spelling or compact
// form of a standard name reaches the standard header, and every other name is an extension header.
// A value that does not parse reads as absent: nothing a peer sends can make these functions throw.
#include "capi/Handles.h"

#include "stack/message/CallId.h"
#include "stack/message/HeaderType.h"
#include "stack/message/Number.h"
#include "stack/message/Text.h"

#include <string_view>

using zel::sip::capi::FromHandle;
using zel::sip::capi::Guarded;
using zel::sip::capi::ToHandle;
using zel::sip::stack::HeaderType;
using zel::sip::stack::SipMessage;

namespace {

// Name-address handles may be changed by the host (in ReadyToSend the change is what is sent), so
// the typed value is taken for change: from then on it is encoded from the typed value and not
// from the received text, which would silently drop the host's change. Message handles are only
// made for messages the library holds as non-const objects.
SipMessage& Changeable(const SIPMessage* message) noexcept {
    return const_cast<SipMessage&>(*FromHandle(message));
}

// The headers the indexed functions handle by name; Extension for every other name.
HeaderType HandledListHeader(std::string_view name) noexcept {
    if (name == "Contact") {
        return HeaderType::Contact;
    }
    if (name == "Reason") {
        return HeaderType::Reason;
    }
    if (name == "Require") {
        return HeaderType::Require;
    }
    if (name == "Supported") {
        return HeaderType::Supported;
    }
    return HeaderType::Extension;
}

} // namespace

extern "C" {

SIPNameAddr* SIPMessageNameAddressHeader(const SIPMessage* message, const char* name) {
    return Guarded<SIPNameAddr*>(nullptr, [&]() -> SIPNameAddr* {
        if (message == nullptr || name == nullptr) {
            return nullptr;
        }
        const std::string_view wanted(name);
        HeaderType type = HeaderType::Extension;
        if (wanted == "From") {
            type = HeaderType::From;
        } else if (wanted == "To") {
            type = HeaderType::To;
        } else {
            return nullptr;
        }
        // An absent header reads as null: the message is not given a header it does not have.
        return ToHandle(Changeable(message).Edit<zel::sip::stack::NameAddr>(type));
    });
}

const char* SIPMessageStringHeader(const SIPMessage* message, const char* name) {
    return Guarded<const char*>(nullptr, [&]() -> const char* {
        if (message == nullptr || name == nullptr) {
            return nullptr;
        }
        const SipMessage& sip = *FromHandle(message);
        const std::string_view wanted(name);
        if (wanted == "Call-ID") {
            const auto* callId = sip.Peek<zel::sip::stack::CallId>(HeaderType::CallId);
            return callId != nullptr ? callId->Value().c_str() : nullptr;
        }
        if (wanted == "User-Agent") {
            if (!sip.Has(HeaderType::UserAgent)) {
                return "";
            }
            const auto* userAgent = sip.Peek<zel::sip::stack::Text>(HeaderType::UserAgent);
            return userAgent != nullptr ? userAgent->Value().c_str() : nullptr;
        }
        return nullptr;
    });
}

uint32_t SIPMessageUInt32Header(const SIPMessage* message, const char* name) {
    return Guarded<uint32_t>(0, [&]() -> uint32_t {
        if (message == nullptr || name == nullptr || std::string_view(name) != "Retry-After") {
            return 0;
        }
        const auto* retryAfter = FromHandle(message)->Peek<zel::sip::stack::RetryAfter>(HeaderType::RetryAfter);
        return retryAfter != nullptr ? retryAfter->Value() : 0;
    });
}

uint64_t SIPMessageMultiHeaderCount(const SIPMessage* message, const char* name) {
    return Guarded<uint64_t>(0, [&]() -> uint64_t {
        if (message == nullptr || name == nullptr) {
            return 0;
        }
        const SipMessage& sip = *FromHandle(message);
        const HeaderType type = HandledListHeader(name);
        // Any other name is an extension header: a standard name such as Via therefore counts 0.
        return type != HeaderType::Extension ? sip.Count(type) : sip.CountExtension(name);
    });
}

const char* SIPMessageStringMultiHeader(const SIPMessage* message, const char* name, uint64_t index) {
    return Guarded<const char*>(nullptr, [&]() -> const char* {
        if (message == nullptr || name == nullptr) {
            return nullptr;
        }
        const SipMessage& sip = *FromHandle(message);
        const HeaderType type = HandledListHeader(name);
        if (type == HeaderType::Require || type == HeaderType::Supported) {
            const auto* tag = sip.Peek<zel::sip::stack::Token>(type, index);
            return tag != nullptr ? tag->Value().c_str() : nullptr;
        }
        if (type != HeaderType::Extension) {
            return nullptr;
        }
        // The value as text (line folds reduced to one space), held by the message.
        const auto* value = sip.PeekExtension<zel::sip::stack::Text>(name, index);
        return value != nullptr ? value->Value().c_str() : nullptr;
    });
}

SIPNameAddr* SIPMessageNameAddressMultiHeader(const SIPMessage* message, const char* name, uint64_t index) {
    return Guarded<SIPNameAddr*>(nullptr, [&]() -> SIPNameAddr* {
        if (message == nullptr || name == nullptr || HandledListHeader(name) != HeaderType::Contact) {
            return nullptr;
        }
        return ToHandle(Changeable(message).Edit<zel::sip::stack::NameAddr>(HeaderType::Contact, index));
    });
}

SIPReason* SIPMessageReasonMultiHeader(const SIPMessage* message, const char* name, uint64_t index) {
    return Guarded<SIPReason*>(nullptr, [&]() -> SIPReason* {
        if (message == nullptr || name == nullptr || HandledListHeader(name) != HeaderType::Reason) {
            return nullptr;
        }
        return ToHandle(FromHandle(message)->Peek<zel::sip::stack::Reason>(HeaderType::Reason, index));
    });
}

void SIPMessageAddHeader(SIPMessage* message, const char* name, const char* value) {
    Guarded([&] {
        if (message == nullptr || name == nullptr || value == nullptr) {
            return;
        }
        if (zel::sip::stack::LookupHeader(name) != HeaderType::Extension) {
            return; // standard headers are the stack's to set
        }
        // Checks the name and the value before anything is added, so a refused value leaves the
        // message as it was.
        FromHandle(message)->AddExtension(name, value);
    });
}

int32_t SIPMessageHeaderExists(const SIPMessage* message, const char* name) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (message == nullptr || name == nullptr) {
            return 0;
        }
        const SipMessage& sip = *FromHandle(message);
        const HeaderType type = zel::sip::stack::LookupHeader(name);
        const bool present = type != HeaderType::Extension ? sip.Has(type) : sip.HasExtension(name);
        return present ? 1 : 0;
    });
}

void SIPMessageRemoveHeader(SIPMessage* message, const char* name) {
    Guarded([&] {
        if (message == nullptr || name == nullptr) {
            return;
        }
        SipMessage& sip = *FromHandle(message);
        const HeaderType type = zel::sip::stack::LookupHeader(name);
        if (type != HeaderType::Extension) {
            sip.Remove(type);
        } else {
            sip.RemoveExtension(name);
        }
    });
}

} // extern "C"

#pragma once

// What the message, name-address, URI and reason functions of the C interface share: the casts
// between the opaque handles and the stack's objects, the guard that keeps exceptions inside the
// library, the parameter kinds of name-addresses and URIs, and the rendering into host buffers.

#include "capi/Reporting.h"
#include "stack/base/CharClass.h"
#include "stack/message/NameAddr.h"
#include "stack/message/Parameter.h"
#include "stack/message/SipMessage.h"
#include "stack/message/Token.h"
#include "stack/message/Uri.h"

#include <zelmor/sip.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zel::sip::capi {

// ---- handles --------------------------------------------------------------------------------

/// A message handle is the stack's message itself. Message handles are handed to the host only for
/// messages that the library owns and may change (the ones given out const are still non-const
/// objects), so a typed value reached through a const handle may be changed by the host.
inline const stack::SipMessage* FromHandle(const SIPMessage* message) noexcept {
    return reinterpret_cast<const stack::SipMessage*>(message);
}
inline stack::SipMessage* FromHandle(SIPMessage* message) noexcept {
    return reinterpret_cast<stack::SipMessage*>(message);
}
inline stack::NameAddr* FromHandle(SIPNameAddr* nameAddr) noexcept {
    return reinterpret_cast<stack::NameAddr*>(nameAddr);
}
inline stack::Uri* FromHandle(SIPUri* uri) noexcept {
    return reinterpret_cast<stack::Uri*>(uri);
}
inline stack::Reason* FromHandle(SIPReason* reason) noexcept {
    return reinterpret_cast<stack::Reason*>(reason);
}

inline SIPNameAddr* ToHandle(stack::NameAddr* nameAddr) noexcept {
    return reinterpret_cast<SIPNameAddr*>(nameAddr);
}
inline SIPUri* ToHandle(stack::Uri* uri) noexcept {
    return reinterpret_cast<SIPUri*>(uri);
}
inline SIPReason* ToHandle(const stack::Reason* reason) noexcept {
    // Reason handles have only readers; the const is restored by every function that takes one.
    return reinterpret_cast<SIPReason*>(const_cast<stack::Reason*>(reason));
}

/// Runs `operation` and turns any exception into `absent`, the result the function gives for a
/// value that is not there. For the functions that do not report through the last error.
template <typename Result, typename Operation>
Result Guarded(Result absent, Operation&& operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return absent;
    }
}

/// The same for functions without a result: a failure changes nothing visible to the host.
template <typename Operation>
void Guarded(Operation&& operation) noexcept {
    try {
        operation();
    } catch (...) {
    }
}

// ---- parameter kinds ------------------------------------------------------------------------

/// How the parameter functions treat a parameter name (compared byte for byte).
enum class ParamKind {
    Flag,       ///< present or absent, never a value
    Number,     ///< an unsigned 32-bit value
    Preference, ///< the q value of a Contact
    Text,       ///< a text value
    Extension,  ///< any other name: a generic parameter, with or without a value
};

namespace detail {

// Contact feature tags (RFC 3840 section 9), GRUU, outbound and dialog-event parameters.
inline constexpr std::array<std::string_view, 5> kNameAddrFlags{"data", "control", "application", "video",
                                                                "isfocus"};
inline constexpr std::array<std::string_view, 2> kNameAddrNumbers{"reg-id", "expires"};
inline constexpr std::array<std::string_view, 19> kNameAddrTexts{
    "mobility", "description", "events", "priority",      "methods",  "schemes",   "language",
    "type",     "actor",       "text",   "extensions",    "+sip.instance", "pub-gruu", "temp-gruu",
    "tag",      "index",       "rc",     "mp",            "np"};

inline constexpr std::array<std::string_view, 2> kUriFlags{"ob", "lr"};
inline constexpr std::array<std::string_view, 2> kUriNumbers{"duration", "ttl"};
inline constexpr std::array<std::string_view, 9> kUriTexts{"gr",        "comp", "maddr", "method",    "transport",
                                                           "user",      "ext",  "sigcomp-id", "rinstance"};

template <std::size_t N>
bool Contains(const std::array<std::string_view, N>& names, std::string_view name) noexcept {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace detail

/// The kind of a name-address (header) parameter name.
inline ParamKind NameAddrParamKind(std::string_view name) noexcept {
    if (detail::Contains(detail::kNameAddrFlags, name)) {
        return ParamKind::Flag;
    }
    if (detail::Contains(detail::kNameAddrNumbers, name)) {
        return ParamKind::Number;
    }
    if (name == "q") {
        return ParamKind::Preference;
    }
    if (detail::Contains(detail::kNameAddrTexts, name)) {
        return ParamKind::Text;
    }
    return ParamKind::Extension;
}

/// The kind of a URI parameter name. URIs have no preference parameter.
inline ParamKind UriParamKind(std::string_view name) noexcept {
    if (detail::Contains(detail::kUriFlags, name)) {
        return ParamKind::Flag;
    }
    if (detail::Contains(detail::kUriNumbers, name)) {
        return ParamKind::Number;
    }
    if (detail::Contains(detail::kUriTexts, name)) {
        return ParamKind::Text;
    }
    return ParamKind::Extension;
}

// ---- parameter operations, by kind ------------------------------------------------------------
// The same rules for name-address and URI parameters. A null name is no parameter: the readers
// answer as for an absent one and the writers change nothing.

inline bool ParamExists(const stack::ParameterList& params, const char* name) noexcept {
    return name != nullptr && params.Has(name);
}

inline std::uint32_t GetUInt32Param(const stack::ParameterList& params, ParamKind kind, const char* name) noexcept {
    if (kind != ParamKind::Number || name == nullptr) {
        return 0;
    }
    // Absent, valueless and non-numeric values all read as 0.
    return params.GetUInt32(name).value_or(0);
}

/// The value text, valid until the parameter list changes; the empty text for a parameter present
/// without a value.
inline const char* GetStringParam(const stack::ParameterList& params, ParamKind kind, const char* name) noexcept {
    if ((kind != ParamKind::Text && kind != ParamKind::Extension) || name == nullptr) {
        return nullptr;
    }
    const stack::Parameter* parameter = params.Find(name);
    return parameter != nullptr ? parameter->value.c_str() : nullptr;
}

/// Only names that can be written back as they are: a header parameter's name is not escaped on
/// encoding, so a name with a separator in it would change the header's structure.
inline bool IsWritableParamName(std::string_view name) noexcept {
    return !name.empty() && std::all_of(name.begin(), name.end(), stack::chars::IsToken);
}

/// Makes a preference parameter present. An existing one keeps its value; a new one is given the
/// value 1, the highest preference: a q without a value is not valid syntax (`c-p-q = "q" EQUAL
/// qvalue`, RFC 3261 section 25.1) and a peer could reject the whole header for it.
inline void MakePreferencePresent(stack::ParameterList& params, std::string_view name) {
    if (!params.Has(name)) {
        params.Set(name, "1");
    }
}

inline void SetUInt32Param(stack::ParameterList& params, ParamKind kind, const char* name, std::uint32_t value) {
    if (name == nullptr || !IsWritableParamName(name)) {
        return;
    }
    switch (kind) {
    case ParamKind::Flag:
        params.SetFlag(name);
        break;
    case ParamKind::Number:
        params.SetUInt32(name, value);
        break;
    case ParamKind::Preference:
        MakePreferencePresent(params, name);
        break;
    case ParamKind::Text:
    case ParamKind::Extension:
        break;
    }
}

inline void SetStringParam(stack::ParameterList& params, ParamKind kind, const char* name, const char* value) {
    if (name == nullptr || !IsWritableParamName(name)) {
        return;
    }
    switch (kind) {
    case ParamKind::Flag:
        params.SetFlag(name);
        break;
    case ParamKind::Number:
        break;
    case ParamKind::Preference:
        MakePreferencePresent(params, name);
        break;
    case ParamKind::Text:
        if (value != nullptr) {
            params.Set(name, value);
        }
        break;
    case ParamKind::Extension:
        if (value != nullptr) {
            params.Set(name, value);
        } else {
            params.SetFlag(name);
        }
        break;
    }
}

inline void RemoveParam(stack::ParameterList& params, const char* name) {
    if (name != nullptr) {
        params.Remove(name);
    }
}

// ---- rendering ------------------------------------------------------------------------------

/// Copies `text` into the host's buffer and returns its full length. For use inside `Reporting`:
/// raises std::invalid_argument for a null buffer or a size of 0, and std::length_error for a text
/// whose length does not fit the 32-bit result.
inline std::int32_t RenderInto(std::string_view text, char* buffer, std::uint64_t size) {
    if (buffer == nullptr || size == 0) {
        throw std::invalid_argument("the buffer must not be null and its size must be at least 1");
    }
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("the text is too long for the result");
    }
    CopyToBuffer(text, buffer, size);
    return static_cast<std::int32_t>(text.size());
}

} // namespace zel::sip::capi

#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string_view>

#include "stack/dum/MergedRequests.h"
#include "stack/dum/Profile.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// The checks a user agent server makes before it processes a request (RFC 3261 section 8.2), in
/// the order that section gives them.
enum class UasCheck {
    Method,           ///< 8.2.1: a method we do not support gets 405 with Allow
    RequestUriScheme, ///< 8.2.2.1: a Request-URI scheme we do not support gets 416
    DialogMatch,      ///< 8.2.2.1 and 12.2.2: a To tag that names no dialog gets 481
    MergedRequest,    ///< 8.2.2.2: a second copy over another path gets 482
    Require,          ///< 8.2.2.3: an option tag we do not support gets 420 with Unsupported
    Body,             ///< 8.2.3: a body type or encoding we cannot read gets 415 with Accept
    Options,          ///< 11.2: OPTIONS is answered 200 with our capabilities
};

/// "Method", "RequestUriScheme", ...
std::string_view ToString(UasCheck check) noexcept;

/// The order in which `ScreenRequestOutsideDialog` runs the checks.
inline constexpr std::array<UasCheck, 7> kUasCheckOrder{UasCheck::Method,        UasCheck::RequestUriScheme,
                                                         UasCheck::DialogMatch,   UasCheck::MergedRequest,
                                                         UasCheck::Require,       UasCheck::Body,
                                                         UasCheck::Options};

/// What a check decided about a request.
struct UasCheckResult {
    /// The check that decided; meaningful only when the request does not proceed.
    UasCheck check = UasCheck::Method;
    /// The response to send (statelessly or through the request's server transaction).
    std::optional<SipMessage> response;
    /// Nothing may be sent: an ACK (never answered), or a refused request that lacks what a
    /// response copies (Via, From, To, Call-ID, CSeq).
    bool drop = false;

    /// The request passed: go on with it.
    bool Proceed() const noexcept { return !response.has_value() && !drop; }
};

// Each check below looks only at the request and a profile snapshot (no state, no I/O). `toTag` is
// the tag added to the To of a final response when the request has none (RFC 3261 section 8.2.6.2);
// an empty `toTag` adds none. Responses copy Via, From, To, Call-ID and CSeq (section 8.2.6.2).
// Nothing a peer sends makes them raise (they run on the per-packet path); only a failed
// allocation can escape them, which ScreenRequestOutsideDialog turns into a drop.

/// 405 (Method Not Allowed) with Allow listing our methods, unless the method is supported.
UasCheckResult CheckMethod(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag);
/// 416 (Unsupported URI Scheme) unless the Request-URI's scheme is supported.
UasCheckResult CheckRequestUriScheme(const SipMessage& request, const ProfileSettings& profile,
                                     std::string_view toTag);
/// 420 (Bad Extension) with Unsupported listing every Require tag we do not support (RFC 3261
/// section 8.2.2.3). A Require value that is no option tag gets 400 (Malformed Require). ACK and
/// CANCEL are not checked (Require does not apply to them).
UasCheckResult CheckRequire(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag);
/// 415 (Unsupported Media Type) for a body we cannot read: a missing Content-Type, a type not among
/// the method's supported types, or a Content-Encoding other than identity (we decode none). The
/// response carries Accept (the method's types; empty Accept when it takes none, which means no
/// body is acceptable, RFC 3261 section 20.1) and Accept-Encoding: identity. A body whose
/// Content-Disposition says handling=optional is ignored instead (RFC 3261 section 20.11).
UasCheckResult CheckBody(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag);
/// For OPTIONS: 200 with Allow, Accept (the types INVITE takes: OPTIONS asks what a session may
/// use, RFC 3261 section 11.2), Accept-Encoding and Supported (when we support any tag), no body.
/// Other methods proceed.
UasCheckResult AnswerOptions(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag);

/// Screens a request that matched no dialog (the manager looked first), running the checks in
/// `kUasCheckOrder`:
///   1. Method (405); 2. Request-URI scheme (416);
///   3. Dialog match: the request has a To tag, and since no dialog took it, it names a dialog we
///      do not have: 481 (Call/Transaction Does Not Exist);
///   4. Merged request (482), through `merged`, which remembers the request when it is new;
///   5. Require (420); 6. Body (415); 7. OPTIONS (200).
/// An ACK is dropped (it is never answered; one that matched no dialog is stray). A CANCEL proceeds
/// unchecked: the transaction layer has answered it already and the manager ends the INVITE it
/// cancelled. Proceed means: the manager creates the dialog set or usage for the request.
/// Never raises.
UasCheckResult ScreenRequestOutsideDialog(const SipMessage& request, const ProfileSettings& profile,
                                          MergedRequests& merged, MergedRequests::TimePoint now,
                                          std::string_view toTag);

} // namespace zel::sip::stack

#pragma once

// The client registration core: one binding of one Contact of ours to one address of record
// (RFC 3261 section 10, RFC 5626 section 4.2). It builds REGISTER requests and decides what each
// response, timer and failure means; the caller sends, answers challenges and runs the one timer.
//
//   caller            core                                   registrar
//     | Start ------> Registering -- REGISTER (CSeq 1) -------->|
//     |                          <-- 423 Min-Expires: 600 -------|  (once: raise the time)
//     |                          -- REGISTER (CSeq 2) --------->|
//     |                          <-- 401 (caller answers, Resend: CSeq 3 with credentials)
//     |<- Registered  Registered <-- 200 Contact;expires=600 ----|
//     |   wake at refresh time                                   |
//     | OnTimer ----> Refreshing -- REGISTER (CSeq n+1) ------->|
//     |<- Refreshed   Registered <-- 200 ------------------------|
//     |                          <-- 503 Retry-After: 30 --------|  (from Registering/Refreshing)
//     |<- RetryQuery  RetryPending                               |
//     | OnRetryAnswer(30 s) -> RetryWaiting, wake in 30 s -> Registering
//     | End --------> Removing -- REGISTER Contact;expires=0 --->|
//     |<- Removed     Removed  <-- 200 --------------------------|
//
// Final failures (other 3xx-6xx, 439 with outbound, a 423 we cannot satisfy, a caller that does
// not want a retry) end in Failed.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stack/message/NameAddr.h"
#include "stack/message/Parameter.h"
#include "stack/message/SipMessage.h"
#include "stack/message/Uri.h"

namespace zel::sip::stack {

/// What a registration asks for. A value type.
struct RegistrationSettings {
    /// The registration time asked for (Expires and the Contact's expires parameter).
    std::chrono::seconds registrationTime{3600};
    /// Upper bound for the time asked and for the time a refresh is planned on; 0 for none.
    std::chrono::seconds maximumRegistrationTime{0};
    /// Interval proposed for a retry when the failure carries no Retry-After.
    std::chrono::seconds retryTime{60};
    /// RFC 5626 outbound: +sip.instance and reg-id on the Contact, "outbound" and "path" in Supported.
    bool outbound = false;
    /// The instance id, "urn:uuid:..." (angle brackets optional). Sent whenever set; required
    /// with outbound.
    std::string instanceId;
    /// The reg-id of this flow (RFC 5626 section 4.2.1), 1 and up.
    std::uint32_t regId = 1;
    /// RFC 3840 feature tags added to our Contact as header parameters ("audio", "+sip.video", ...).
    std::vector<Parameter> capabilities;
    /// Further option tags for Supported.
    std::vector<std::string> supported;

    friend bool operator==(const RegistrationSettings&, const RegistrationSettings&) = default;
};

/// Why a registration failed.
enum class RegistrationFailure {
    None,
    Rejected,            ///< a final failure response (see statusCode)
    IntervalTooBrief,    ///< 423 without a usable Min-Expires, or a second 423
    OutboundUnsupported, ///< 439: the first hop does not do outbound (RFC 5626 section 11.6)
    NoTimeGranted,       ///< a 2xx that gives our Contact no time (expires=0)
    Timeout,             ///< the transaction timed out
    TransportError,      ///< the request could not be sent
    RetryDeclined,       ///< a retryable failure the caller chose not to retry
};

/// What the caller does after one input of the core.
struct RegistrationStep {
    enum class Event {
        None,
        Registered, ///< the first success (or the first after a failure or a new flow)
        Refreshed,  ///< a refresh succeeded
        RetryQuery, ///< a retryable failure: answer with OnRetryAnswer (retryAfter is the proposal)
        Failed,     ///< final; see failure and statusCode
        Removed,    ///< End completed (statusCode 0 when nothing had to be sent)
    };
    using TimePoint = std::chrono::steady_clock::time_point;

    Event event = Event::None;
    /// A REGISTER to send now (the caller adds Via and credentials).
    std::optional<SipMessage> send;
    /// Arm the one timer of this registration for OnTimer at this time (replacing an earlier one).
    std::optional<TimePoint> wakeAt;
    /// Disarm the timer.
    bool stopTimer = false;
    /// The response behind the event, 0 when it has a local cause.
    int statusCode = 0;
    /// For logs and handlers: the reason phrase or a short explanation.
    std::string reason;
    RegistrationFailure failure = RegistrationFailure::None;
    /// Registered/Refreshed: the time the registrar granted our Contact.
    std::chrono::seconds expires{0};
    /// RetryQuery: Retry-After of the response, else the settings' retry time.
    std::chrono::seconds retryAfter{0};
    /// Registered/Refreshed: outbound is in effect (asked for and confirmed by Require: outbound).
    bool outboundInEffect = false;
    /// Registered/Refreshed: outbound was asked for but the registrar did not confirm it, so the
    /// registration works without it: no keep-alives, no flow recovery (RFC 5626 section 4.2.1).
    bool outboundRefused = false;
    /// Registered/Refreshed: whether the 2xx listed our Contact (false: expiry from Expires or
    /// the time asked).
    bool contactListed = false;
};

/// The client registration core. A pure core: no sockets, threads or timers of its own.
///
/// Errors: public operations used in the wrong state raise std::logic_error; responses (a peer's
/// bytes) never make it throw: what cannot be read is judged as the status code allows.
///
/// Thread rules: not thread-safe; the dialog thread drives it. A value type.
class RegistrationCore {
public:
    enum class State { Idle, Registering, Registered, Refreshing, RetryPending, RetryWaiting, Removing, Removed, Failed };
    using TimePoint = std::chrono::steady_clock::time_point;

    /// `aor`: the address of record (From and To). `contact`: our Contact, host and port filled in
    /// by the caller; the core adds expires, capabilities, +sip.instance and reg-id. `callId` and
    /// `fromTag`: random text (the Call-ID stays the same for every REGISTER of this core).
    /// `registrar`: the Request-URI; by default the AOR's scheme, host and port (section 10.2).
    /// Raises std::invalid_argument for an empty Call-ID or tag, a wildcard Contact, a zero
    /// registration time, or outbound without an instance id or with reg-id 0.
    RegistrationCore(NameAddr aor, NameAddr contact, RegistrationSettings settings, std::string callId,
                     std::string fromTag, std::optional<Uri> registrar = std::nullopt);
    /// The same with settings shared by several registrations (they never change once made: a
    /// user agent's registrations usually ask for the same). Also raises std::invalid_argument for
    /// null settings.
    RegistrationCore(NameAddr aor, NameAddr contact, std::shared_ptr<const RegistrationSettings> settings,
                     std::string callId, std::string fromTag, std::optional<Uri> registrar = std::nullopt);

    /// Sends the first REGISTER. Raises std::logic_error unless Idle.
    RegistrationStep Start(TimePoint now);
    /// A response to the REGISTER in progress (one with another CSeq, and 1xx, are ignored).
    /// 401 and 407 are the caller's to answer with Resend; given here they are final failures.
    RegistrationStep OnResponse(const SipMessage& response, TimePoint now);
    /// The timer armed by a step fired. Early or stale calls are ignored.
    RegistrationStep OnTimer(TimePoint now);
    /// The caller's answer to a RetryQuery: retry after `after`, or never (nullopt).
    /// Raises std::logic_error unless RetryPending.
    RegistrationStep OnRetryAnswer(std::optional<std::chrono::seconds> after, TimePoint now);
    /// The REGISTER in progress timed out (`timeout`) or could not be sent: treated as a
    /// retryable failure (or, while removing, as the end of the removal).
    RegistrationStep OnTransactionFailure(bool timeout, TimePoint now);
    /// The outbound flow of this registration failed (RFC 5626 section 4.4.1): register again, same
    /// Call-ID, next CSeq; the caller sends it on a new flow. Ignored unless Registered with outbound
    /// in effect (a REGISTER in progress fails on its own).
    RegistrationStep OnFlowFailed(TimePoint now);
    /// Removes our binding: Expires 0 for our Contact only (never "*"). While a REGISTER is in
    /// progress the removal follows its response (section 10.2: one REGISTER at a time).
    RegistrationStep End(TimePoint now);
    /// Our Contact's URI as it really went out: the caller's transport layer may fill in the host
    /// and port of the transport a REGISTER left on. The registrar's bindings are matched against
    /// it from now on, and later REGISTERs carry it.
    void SetContactUri(Uri uri);

    /// The REGISTER in progress again with the next CSeq, for the caller to add credentials to
    /// after a 401/407. Raises std::logic_error when no REGISTER is in progress.
    SipMessage Resend();

    State GetState() const noexcept { return state_; }
    /// The REGISTER in progress or last sent, built again from the core's state (the core keeps no
    /// message between requests); nullopt before Start. Its Contact carries the URI as set last.
    std::optional<SipMessage> LastRequest() const;
    /// The address of record (From and To, without a tag).
    NameAddr AddressOfRecord() const;
    /// Our Contact as given or last set, without what the core adds to it (expires, capabilities,
    /// instance, reg-id).
    NameAddr Contact() const;
    bool IsOutboundInEffect() const noexcept { return outboundInEffect_; }
    /// The time the registrar last granted (0 before the first success).
    std::chrono::seconds GrantedExpires() const noexcept { return granted_; }
    /// When the binding runs out, if one exists.
    std::optional<TimePoint> BindingExpiry() const noexcept { return bindingExpiry_; }
    /// The Contact URI for our dialog-forming requests: with the `ob` parameter while outbound is
    /// in effect, asking that in-dialog requests reach us over the registration's flow (RFC 5626).
    Uri ContactForDialogs() const;

    /// The refresh delay for a granted time: the later of half the time and the time less 32 s
    /// (one non-INVITE transaction, retransmissions included), never sooner than 5 s.
    static std::chrono::seconds RefreshDelay(std::chrono::seconds granted) noexcept;

private:
    /// A REGISTER with CSeq `sequence`: a removal while Removing, else asking for asked_.
    SipMessage BuildRegister(std::uint32_t sequence) const;
    RegistrationStep SendNew(State next);
    RegistrationStep OnSuccess(const SipMessage& response, TimePoint now);
    RegistrationStep OnFailureResponse(const SipMessage& response, TimePoint now);
    RegistrationStep RetryQuery(int statusCode, std::string reason, RegistrationFailure cause,
                                std::chrono::seconds retryAfter);
    RegistrationStep Fail(int statusCode, std::string reason, RegistrationFailure failure);
    RegistrationStep FinishRemoval(int statusCode, std::string reason, RegistrationFailure failure);
    RegistrationStep AfterEndRequest(RegistrationStep step, TimePoint now);
    bool BindingAlive(TimePoint now) const noexcept { return bindingExpiry_ && *bindingExpiry_ > now; }
    const NameAddr* FindOurContact(const SipMessage& response) const;
    std::chrono::seconds AskedTime() const noexcept;

    // The address of record, our Contact and the Request-URI as text, parsed again when a request
    // is built: a refresh every few minutes affords a parse, and the parsed values would hold
    // several hundred bytes per registration for the whole life of the binding. The text is our
    // own encoding of values checked when the core was made, so it always parses. With the
    // Call-ID and the From tag they share one buffer (one allocation, not five).
    enum class Text : std::uint8_t { Aor, Contact, Registrar, CallId, FromTag };
    static constexpr std::size_t kTexts = 5;
    std::string_view GetText(Text which) const noexcept;
    /// Replaces every text (the views may point into the old buffer: it is built anew first).
    void SetTexts(const std::array<std::string_view, kTexts>& values);

    std::shared_ptr<const RegistrationSettings> settings_; // never null
    std::string texts_;
    std::array<std::uint32_t, kTexts> textEnds_{};
    State state_ = State::Idle;
    // The REGISTER in progress (or last sent) is not kept: every input that shapes it is here,
    // and it is built again for a retry with credentials or a refresh. A kept message would hold
    // its buffer and header slots for the whole life of the binding (a few KiB per registration).
    std::uint32_t cseq_ = 0;
    std::chrono::seconds asked_{0};
    bool raisedForMinExpires_ = false;
    bool endRequested_ = false;
    bool registeredBefore_ = false; // since the last failure or new flow: Refreshed instead of Registered
    bool outboundInEffect_ = false;
    std::chrono::seconds granted_{0};
    std::optional<TimePoint> bindingExpiry_;
    std::optional<TimePoint> due_;
};

/// "Idle", "Registering", ...: for logs.
std::string_view ToString(RegistrationCore::State state) noexcept;
/// "None", "Registered", ...: for logs.
std::string_view ToString(RegistrationStep::Event event) noexcept;
std::string_view ToString(RegistrationFailure failure) noexcept;

} // namespace zel::sip::stack

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stack/dum/DigestCredential.h"
#include "stack/message/Mime.h"
#include "stack/message/NameAddr.h"
#include "stack/message/Uri.h"

namespace zel::sip::stack {

/// When reliable provisional responses (RFC 3262) are used.
///
/// | mode                 | as UAC (INVITE we send)          | as UAS (provisional we send)                       |
/// |----------------------|----------------------------------|----------------------------------------------------|
/// | `Never`              | no 100rel                        | unreliable only; Require: 100rel is refused (420)  |
/// | `SupportedEssential` | Supported: 100rel                | reliable only for a provisional with a body, and   |
/// |                      |                                  | only when the peer supports or requires 100rel     |
/// | `Supported`          | Supported: 100rel                | reliable whenever the peer supports 100rel         |
/// | `Required`           | Require: 100rel                  | reliable always; a peer without 100rel gets 421    |
enum class ReliableProvisionalMode { Never, SupportedEssential, Supported, Required };

/// Which side we would have refresh a session (RFC 4028 section 7.1 and 9):
/// - `Unspecified`: our INVITE names no refresher (section 7.1 recommends leaving the choice to the
///   UAS); as UAS we leave it with a UAC that asked for the timer;
/// - `Local`: we refresh: refresher=uac in our INVITE, refresher=uas in our 2xx when the UAC left it
///   open;
/// - `Remote`: the peer refreshes: refresher=uas in our INVITE, refresher=uac in our 2xx when the
///   UAC left it open and supports "timer".
/// A refresher the peer names is always kept; the 2xx of the UAS has the last word.
enum class SessionRefresherPreference { Unspecified, Local, Remote };

/// "Never", "SupportedEssential", "Supported", "Required".
std::string_view ToString(ReliableProvisionalMode mode) noexcept;

/// Every setting of a user profile as one plain value: what `UserProfile::Snapshot` returns, so that
/// a request is built from one consistent version of the settings. A value type, not guarded.
///
/// Defaults (the stack's; the product sets its own):
/// - methods INVITE, ACK, CANCEL, BYE, OPTIONS, PRACK, UPDATE: what a user agent with invite
///   sessions (with RFC 3262 and RFC 3311) answers as UAS. REGISTER is not listed: a user agent
///   registers, it is no registrar, so a REGISTER sent to it gets 405;
/// - URI schemes sip and sips;
/// - no option tags (the manager announces 100rel from the reliable-provisional modes, see
///   `AdvertisedOptionTags`);
/// - application/sdp for INVITE, ACK, PRACK and UPDATE, the methods that carry offers and answers
///   (RFC 3261 section 13, RFC 3262, RFC 3311); other methods accept no body;
/// - reliable provisionals: Supported as UAC (we offer 100rel and PRACK what comes reliably), Never
///   as UAS (we send no reliable 1xx unless the host asks for it);
/// - session timers (RFC 4028) off: no "timer" in Supported, the peer's Session-Expires ignored;
///   turned on by `sessionTimerSupported` or by listing the "timer" option tag, 1800 s asked for and
///   90 s the smallest accepted (the RFC's recommendation and floor), no refresher preference;
///   registration time 3600 s (RFC 3261 section 10.2.1.1),
///   no maximum, no automatic retry after a failed registration (0: the application decides);
/// - no keep-alives; no Contact override, outbound proxy, instance id or reg-id;
/// - a call without final response is stale after 180 s (a phone rings for about three minutes
///   before a caller gives up), a re-INVITE after 40 s (longer than its 32 s transaction time-out,
///   so only a re-INVITE a provisional response keeps open is ever stale).
struct ProfileSettings {
    std::string userAgent;
    std::vector<std::string> uriSchemes{"sip", "sips"};
    std::vector<std::string> methods{"INVITE", "ACK", "CANCEL", "BYE", "OPTIONS", "PRACK", "UPDATE"};
    std::vector<std::string> optionTags;
    /// Supported body types per method (method names compared exactly, RFC 3261 section 7.1).
    std::map<std::string, std::vector<Mime>, std::less<>> mimeTypes{
        {"ACK", {Mime("application", "sdp")}},
        {"INVITE", {Mime("application", "sdp")}},
        {"PRACK", {Mime("application", "sdp")}},
        {"UPDATE", {Mime("application", "sdp")}},
    };
    /// RFC 3840 feature tags as the parameters of a name-address (its URI is unused); no
    /// parameters means none are added to our Contact.
    NameAddr userAgentCapabilities;
    ReliableProvisionalMode uacReliableProvisionalMode = ReliableProvisionalMode::Supported;
    ReliableProvisionalMode uasReliableProvisionalMode = ReliableProvisionalMode::Never;
    /// RFC 4028: whether we support "timer"; the session interval asked for and the smallest one
    /// accepted (Min-SE), in seconds.
    bool sessionTimerSupported = false;
    std::uint32_t defaultSessionExpires = 1800;
    std::uint32_t defaultMinSE = 90;
    SessionRefresherPreference sessionRefresher = SessionRefresherPreference::Unspecified;
    /// For tests only: session timers run this many times faster than real time, so that a test
    /// sees a session refreshed and expired within seconds while the wire still carries intervals
    /// of 90 s or more. Always 1 outside tests.
    std::uint32_t sessionTimerSpeedupForTests = 1;
    std::uint32_t defaultRegistrationTime = 3600;
    std::uint32_t maxRegistrationTime = 0;
    std::uint32_t registrationRetryTime = 0;
    std::uint32_t keepAliveTimeForDatagram = 0;
    std::uint32_t keepAliveTimeForStream = 0;
    std::uint32_t staleCallTime = 180;
    std::uint32_t staleReInviteTime = 40;
    std::optional<Uri> overrideHostAndPort;
    NameAddr defaultFrom;
    std::vector<DigestCredential> digestCredentials;
    std::optional<Uri> outboundProxy;
    bool expressOutboundAsRouteSet = false;
    std::string instanceId;
    int regId = 0;
    bool clientOutboundEnabled = false;

    /// The method is listed (exact comparison: methods are case-sensitive).
    bool IsMethodSupported(std::string_view method) const noexcept;
    /// The scheme is listed (compared without regard to case, RFC 3261 section 19.1.4).
    bool IsSchemeSupported(std::string_view scheme) const noexcept;
    /// The option tag is listed (compared without regard to case), or it is "100rel" and the UAS
    /// reliable-provisional mode is not Never (that mode is what supporting 100rel means), or it is
    /// "timer" and session timers are supported.
    bool IsOptionTagSupported(std::string_view tag) const noexcept;
    /// The listed option tags, plus 100rel when the UAS mode is not Never and timer when session
    /// timers are supported: what Supported says.
    std::vector<std::string> AdvertisedOptionTags() const;
    /// `type` matches a type listed for `method`; a listed "*" subtype or "*/*" matches as in Accept.
    bool IsMimeTypeSupported(std::string_view method, const Mime& type) const noexcept;
    /// The types listed for `method`, empty when none.
    std::vector<Mime> MimeTypesFor(std::string_view method) const;
    /// The credential for `realm` (compared exactly, RFC 7616 section 3.3), or null.
    const DigestCredential* FindDigestCredential(std::string_view realm) const noexcept;
};

/// The settings a user agent uses for the requests it sends and the requests it answers.
///
/// Threads: profiles are written on host threads and read on the dialog thread, so each profile
/// guards its settings with its own mutex. Every getter returns a copy taken under that mutex
/// (never a reference into guarded state); `Snapshot` copies all settings under one lock, which
/// is what the manager uses when it builds a request, so a request never mixes two versions. All
/// members are safe from any thread.
///
/// Copies: copying a profile locks the source; the copy is a snapshot with a mutex of its own, so
/// later changes to either one do not reach the other. A copy is cheap: it shares the settings
/// with its source until one of them changes them (copy on write, in two parts: the identity -
/// default From, credentials, outbound proxy and RFC 5626 settings - and everything else).
///
/// Errors: setters raise std::invalid_argument for text that cannot go into a header (a method,
/// scheme or option tag that is not a token, a User-Agent or instance id holding CR or LF, a
/// negative reg-id).
class UserProfile {
public:
    UserProfile();
    explicit UserProfile(ProfileSettings settings);
    UserProfile(const UserProfile& other);
    UserProfile& operator=(const UserProfile& other);
    virtual ~UserProfile() = default;

    /// All settings, copied under one lock.
    ProfileSettings Snapshot() const;

    /// User-Agent header text; empty means no User-Agent header.
    void SetUserAgent(std::string userAgent);
    std::string UserAgent() const;

    /// URI schemes accepted in a Request-URI (others get 416).
    void ClearSupportedUriSchemes();
    void AddSupportedUriScheme(std::string_view scheme);
    bool IsSchemeSupported(std::string_view scheme) const;
    std::vector<std::string> SupportedUriSchemes() const;

    /// Methods we answer (Allow; others get 405). Adding a listed method changes nothing.
    void ClearSupportedMethods();
    void AddSupportedMethod(std::string_view method);
    bool IsMethodSupported(std::string_view method) const;
    std::vector<std::string> SupportedMethods() const;

    /// Option tags we support (Supported; a Require naming others gets 420). Kept in the order
    /// added, without duplicates.
    void ClearSupportedOptionTags();
    void AddSupportedOptionTag(std::string_view tag);
    bool IsOptionTagSupported(std::string_view tag) const;
    std::vector<std::string> SupportedOptionTags() const;

    /// Body types accepted per method (Accept; others get 415). Parameters of `type` are dropped.
    void ClearSupportedMimeTypes(std::string_view method);
    void AddSupportedMimeType(std::string_view method, const Mime& type);
    bool IsMimeTypeSupported(std::string_view method, const Mime& type) const;
    std::vector<Mime> SupportedMimeTypes(std::string_view method) const;

    /// RFC 3840 feature tags added to our Contact, as the parameters of `capabilities`.
    void SetUserAgentCapabilities(NameAddr capabilities);
    NameAddr UserAgentCapabilities() const;

    void SetUacReliableProvisionalMode(ReliableProvisionalMode mode);
    ReliableProvisionalMode UacReliableProvisionalMode() const;
    void SetUasReliableProvisionalMode(ReliableProvisionalMode mode);
    ReliableProvisionalMode UasReliableProvisionalMode() const;

    /// RFC 4028 session timers: whether "timer" is supported (and advertised).
    void SetSessionTimerSupported(bool supported);
    bool SessionTimerSupported() const;
    /// The session interval asked for (Session-Expires), in seconds. Raises std::invalid_argument
    /// below 90 (RFC 4028 section 5).
    void SetDefaultSessionExpires(std::uint32_t seconds);
    std::uint32_t DefaultSessionExpires() const;
    /// The smallest session interval accepted (Min-SE), in seconds. Raises std::invalid_argument
    /// below 90 (RFC 4028 section 5).
    void SetDefaultMinSE(std::uint32_t seconds);
    std::uint32_t DefaultMinSE() const;
    /// Which side we would have refresh a session (see SessionRefresherPreference).
    void SetSessionRefresher(SessionRefresherPreference preference);
    SessionRefresherPreference SessionRefresher() const;
    /// For tests only (see ProfileSettings::sessionTimerSpeedupForTests). Raises
    /// std::invalid_argument for 0.
    void SetSessionTimerSpeedupForTests(std::uint32_t factor);

    /// Registration expiry asked for, in seconds.
    void SetDefaultRegistrationTime(std::uint32_t seconds);
    std::uint32_t DefaultRegistrationTime() const;
    /// Upper bound on the expiry a registrar grants that we act on, in seconds; 0 means none.
    void SetMaxRegistrationTime(std::uint32_t seconds);
    std::uint32_t MaxRegistrationTime() const;
    /// Wait before retrying a failed registration, in seconds; 0 means no automatic retry.
    void SetRegistrationRetryTime(std::uint32_t seconds);
    std::uint32_t RegistrationRetryTime() const;

    /// Keep-alive intervals (RFC 5626 section 4.4), in seconds; 0 means none.
    void SetKeepAliveTimeForDatagram(std::uint32_t seconds);
    std::uint32_t KeepAliveTimeForDatagram() const;
    void SetKeepAliveTimeForStream(std::uint32_t seconds);
    std::uint32_t KeepAliveTimeForStream() const;

    /// Seconds an INVITE (a re-INVITE) of ours may wait for its final response before the invite
    /// session handler hears onStaleCallTimeout (onStaleReInviteTimeout); 0 means never.
    void SetStaleCallTime(std::uint32_t seconds);
    std::uint32_t StaleCallTime() const;
    void SetStaleReInviteTime(std::uint32_t seconds);
    std::uint32_t StaleReInviteTime() const;

    /// Host and port written into our Contact instead of the transport's; nullopt for none.
    void SetOverrideHostAndPort(std::optional<Uri> hostAndPort);
    std::optional<Uri> OverrideHostAndPort() const;

    /// From of requests outside a dialog. Raises std::invalid_argument for a value that does not
    /// parse again from its own encoding (the profile keeps it as text).
    void SetDefaultFrom(NameAddr from);
    NameAddr DefaultFrom() const;

    /// Adds a credential; one for a realm already present replaces it.
    void AddDigestCredential(DigestCredential credential);
    void ClearDigestCredentials();
    std::vector<DigestCredential> DigestCredentials() const;
    std::optional<DigestCredential> FindDigestCredential(std::string_view realm) const;

    /// Proxy every request outside a dialog is sent to; nullopt for none. Raises
    /// std::invalid_argument as SetDefaultFrom does.
    void SetOutboundProxy(std::optional<Uri> proxy);
    std::optional<Uri> OutboundProxy() const;
    /// Write the outbound proxy as a Route header (a loose route) instead of only sending to it.
    void SetExpressOutboundAsRouteSet(bool express);
    bool ExpressOutboundAsRouteSet() const;

    /// RFC 5626 instance identifier, e.g. "<urn:uuid:...>"; empty for none.
    void SetInstanceId(std::string instanceId);
    std::string InstanceId() const;
    /// RFC 5626 reg-id; 0 means none. Raises std::invalid_argument when negative.
    void SetRegId(int regId);
    int RegId() const;
    /// Whether registrations use RFC 5626 client outbound.
    void SetClientOutboundEnabled(bool enabled);
    bool ClientOutboundEnabled() const;

private:
    /// The settings that name who we are: what a profile made per registration or per call usually
    /// changes, kept apart so that such a profile shares everything else with its master.
    struct Identity {
        std::string defaultFrom; // encoded; empty for an empty From
        std::vector<DigestCredential> digestCredentials;
        std::string outboundProxy; // encoded; empty for none
        bool expressOutboundAsRouteSet = false;
        std::string instanceId;
        int regId = 0;
        bool clientOutboundEnabled = false;
        std::uint32_t keepAliveTimeForDatagram = 0;
        std::uint32_t keepAliveTimeForStream = 0;
    };

    /// A fresh copy of the settings besides the identity, put in place of the old one, for a setter
    /// to change. Mutex held.
    ProfileSettings& Common();
    /// The same for the identity.
    Identity& Own();

    mutable std::mutex mutex_;
    // Both parts are immutable once made: a copy of a profile shares them and a setter replaces the
    // part it changes with a changed copy (copy on write), so a profile per registration costs its
    // identity, not a copy of every list of the master, and a snapshot copies from them without
    // the lock. The identity's fields in `shared_` keep their defaults and are never read.
    std::shared_ptr<const ProfileSettings> shared_;
    std::shared_ptr<const Identity> identity_;
};

/// The profile the dialog usage manager holds as the template of every user profile. A user profile
/// is made by copying it (`std::make_shared<UserProfile>(*master)`); the copy is a snapshot.
class MasterProfile final : public UserProfile {
public:
    MasterProfile() = default;
    using UserProfile::UserProfile;
};

} // namespace zel::sip::stack

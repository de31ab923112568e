#include "stack/dum/Profile.h"

#include <algorithm>
#include <stdexcept>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"

namespace zel::sip::stack {

namespace {

constexpr std::uint32_t kMinSessionInterval = 90; // RFC 4028 section 5

void RequireToken(std::string_view text, std::string_view what) {
    if (text.empty() || !chars::IsTokenText(text)) {
        throw std::invalid_argument(std::string(what) + " must be a token: \"" + std::string(text) + "\"");
    }
}

void RequireSingleLine(std::string_view text, std::string_view what) {
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        throw std::invalid_argument(std::string(what) + " must not contain CR or LF");
    }
}

bool ContainsIgnoringCase(const std::vector<std::string>& list, std::string_view item) noexcept {
    return std::any_of(list.begin(), list.end(), [item](const std::string& entry) { return IEquals(entry, item); });
}

// The identity keeps the default From and the outbound proxy as text: a profile per registration
// holds them for the life of the registration, and the parsed values are several hundred bytes
// each while every reader gets a copy anyway. Empty text stands for an empty From and no proxy.

std::string EncodeFrom(const NameAddr& from) {
    std::string text = from.ToString();
    if (text == NameAddr().ToString()) {
        return {};
    }
    NameAddr again;
    if (!NameAddr::TryParse(text, again)) {
        throw std::invalid_argument("the default From cannot be encoded: " + text);
    }
    return text;
}

NameAddr DecodeFrom(const std::string& text) {
    NameAddr from;
    if (!text.empty() && !NameAddr::TryParse(text, from)) {
        return NameAddr(); // not reached: EncodeFrom checked the text
    }
    return from;
}

std::string EncodeProxy(const std::optional<Uri>& proxy) {
    if (!proxy) {
        return {};
    }
    std::string text = proxy->ToString();
    Uri again;
    if (text.empty() || !Uri::TryParse(text, again)) {
        throw std::invalid_argument("the outbound proxy cannot be encoded: " + text);
    }
    return text;
}

std::optional<Uri> DecodeProxy(const std::string& text) {
    Uri proxy;
    if (text.empty() || !Uri::TryParse(text, proxy)) {
        return std::nullopt;
    }
    return proxy;
}

bool SubtypeAccepts(const Mime& listed, const Mime& type) noexcept {
    if (listed.Type() == "*") {
        return true;
    }
    if (!IEquals(listed.Type(), type.Type())) {
        return false;
    }
    return listed.Subtype() == "*" || IEquals(listed.Subtype(), type.Subtype());
}

} // namespace

std::string_view ToString(ReliableProvisionalMode mode) noexcept {
    switch (mode) {
    case ReliableProvisionalMode::Never:
        return "Never";
    case ReliableProvisionalMode::SupportedEssential:
        return "SupportedEssential";
    case ReliableProvisionalMode::Supported:
        return "Supported";
    case ReliableProvisionalMode::Required:
        return "Required";
    }
    return "unknown";
}

// ---- ProfileSettings -----------------------------------------------------------------------------

bool ProfileSettings::IsMethodSupported(std::string_view method) const noexcept {
    return std::find(methods.begin(), methods.end(), method) != methods.end();
}

bool ProfileSettings::IsSchemeSupported(std::string_view scheme) const noexcept {
    return ContainsIgnoringCase(uriSchemes, scheme);
}

bool ProfileSettings::IsOptionTagSupported(std::string_view tag) const noexcept {
    if (IEquals(tag, "100rel") && uasReliableProvisionalMode != ReliableProvisionalMode::Never) {
        return true;
    }
    if (IEquals(tag, "timer") && sessionTimerSupported) {
        return true;
    }
    return ContainsIgnoringCase(optionTags, tag);
}

std::vector<std::string> ProfileSettings::AdvertisedOptionTags() const {
    std::vector<std::string> tags = optionTags;
    if (uasReliableProvisionalMode != ReliableProvisionalMode::Never && !ContainsIgnoringCase(tags, "100rel")) {
        tags.emplace_back("100rel");
    }
    if (sessionTimerSupported && !ContainsIgnoringCase(tags, "timer")) {
        tags.emplace_back("timer");
    }
    return tags;
}

bool ProfileSettings::IsMimeTypeSupported(std::string_view method, const Mime& type) const noexcept {
    const auto found = mimeTypes.find(method);
    if (found == mimeTypes.end()) {
        return false;
    }
    return std::any_of(found->second.begin(), found->second.end(),
                       [&type](const Mime& listed) { return SubtypeAccepts(listed, type); });
}

std::vector<Mime> ProfileSettings::MimeTypesFor(std::string_view method) const {
    const auto found = mimeTypes.find(method);
    return found == mimeTypes.end() ? std::vector<Mime>{} : found->second;
}

const DigestCredential* ProfileSettings::FindDigestCredential(std::string_view realm) const noexcept {
    const auto found = std::find_if(digestCredentials.begin(), digestCredentials.end(),
                                    [realm](const DigestCredential& entry) { return entry.realm == realm; });
    return found == digestCredentials.end() ? nullptr : &*found;
}

// ---- UserProfile ---------------------------------------------------------------------------------

UserProfile::UserProfile() : shared_(std::make_shared<ProfileSettings>()), identity_(std::make_shared<Identity>()) {}

UserProfile::UserProfile(ProfileSettings settings) {
    auto identity = std::make_shared<Identity>();
    identity->defaultFrom = EncodeFrom(settings.defaultFrom);
    identity->digestCredentials = std::move(settings.digestCredentials);
    identity->outboundProxy = EncodeProxy(settings.outboundProxy);
    identity->expressOutboundAsRouteSet = settings.expressOutboundAsRouteSet;
    identity->instanceId = std::move(settings.instanceId);
    identity->regId = settings.regId;
    identity->clientOutboundEnabled = settings.clientOutboundEnabled;
    identity->keepAliveTimeForDatagram = settings.keepAliveTimeForDatagram;
    identity->keepAliveTimeForStream = settings.keepAliveTimeForStream;
    // The identity's fields in the shared part are never read: clear them rather than keep a
    // second copy that could be mistaken for the real one.
    settings.defaultFrom = NameAddr();
    settings.digestCredentials.clear();
    settings.outboundProxy.reset();
    settings.expressOutboundAsRouteSet = false;
    settings.instanceId.clear();
    settings.regId = 0;
    settings.clientOutboundEnabled = false;
    settings.keepAliveTimeForDatagram = 0;
    settings.keepAliveTimeForStream = 0;
    shared_ = std::make_shared<ProfileSettings>(std::move(settings));
    identity_ = std::move(identity);
}

UserProfile::UserProfile(const UserProfile& other) {
    std::lock_guard lock(other.mutex_);
    shared_ = other.shared_;
    identity_ = other.identity_;
}

UserProfile& UserProfile::operator=(const UserProfile& other) {
    if (this != &other) {
        // Take the other's parts first, then assign: holding both locks at once could deadlock
        // against an assignment in the other direction.
        std::shared_ptr<const ProfileSettings> shared;
        std::shared_ptr<const Identity> identity;
        {
            std::lock_guard lock(other.mutex_);
            shared = other.shared_;
            identity = other.identity_;
        }
        std::lock_guard lock(mutex_);
        shared_ = std::move(shared);
        identity_ = std::move(identity);
    }
    return *this;
}

ProfileSettings UserProfile::Snapshot() const {
    std::shared_ptr<const ProfileSettings> shared;
    std::shared_ptr<const Identity> identity;
    {
        // Both parts are immutable once published, so only taking them needs the lock.
        std::lock_guard lock(mutex_);
        shared = shared_;
        identity = identity_;
    }
    ProfileSettings settings = *shared;
    settings.defaultFrom = DecodeFrom(identity->defaultFrom);
    settings.digestCredentials = identity->digestCredentials;
    settings.outboundProxy = DecodeProxy(identity->outboundProxy);
    settings.expressOutboundAsRouteSet = identity->expressOutboundAsRouteSet;
    settings.instanceId = identity->instanceId;
    settings.regId = identity->regId;
    settings.clientOutboundEnabled = identity->clientOutboundEnabled;
    settings.keepAliveTimeForDatagram = identity->keepAliveTimeForDatagram;
    settings.keepAliveTimeForStream = identity->keepAliveTimeForStream;
    return settings;
}

ProfileSettings& UserProfile::Common() {
    // Always a fresh copy, never a change in place, even when no other profile holds the settings
    // now: a published part stays immutable, so readers need no lock while they copy from it.
    // Setters are rare (configuration), a copy per call is cheap enough.
    auto copy = std::make_shared<ProfileSettings>(*shared_);
    ProfileSettings& settings = *copy;
    shared_ = std::move(copy);
    return settings;
}

UserProfile::Identity& UserProfile::Own() {
    auto copy = std::make_shared<Identity>(*identity_);
    Identity& identity = *copy;
    identity_ = std::move(copy);
    return identity;
}

void UserProfile::SetUserAgent(std::string userAgent) {
    RequireSingleLine(userAgent, "the User-Agent text");
    std::lock_guard lock(mutex_);
    Common().userAgent = std::move(userAgent);
}

std::string UserProfile::UserAgent() const {
    std::lock_guard lock(mutex_);
    return shared_->userAgent;
}

void UserProfile::ClearSupportedUriSchemes() {
    std::lock_guard lock(mutex_);
    Common().uriSchemes.clear();
}

void UserProfile::AddSupportedUriScheme(std::string_view scheme) {
    RequireToken(scheme, "a URI scheme");
    std::lock_guard lock(mutex_);
    ProfileSettings& settings = Common();
    if (!ContainsIgnoringCase(settings.uriSchemes, scheme)) {
        settings.uriSchemes.push_back(ToLower(scheme));
    }
}

bool UserProfile::IsSchemeSupported(std::string_view scheme) const {
    std::lock_guard lock(mutex_);
    return shared_->IsSchemeSupported(scheme);
}

std::vector<std::string> UserProfile::SupportedUriSchemes() const {
    std::lock_guard lock(mutex_);
    return shared_->uriSchemes;
}

void UserProfile::ClearSupportedMethods() {
    std::lock_guard lock(mutex_);
    Common().methods.clear();
}

void UserProfile::AddSupportedMethod(std::string_view method) {
    RequireToken(method, "a method");
    std::lock_guard lock(mutex_);
    ProfileSettings& settings = Common();
    if (!settings.IsMethodSupported(method)) {
        settings.methods.emplace_back(method);
    }
}

bool UserProfile::IsMethodSupported(std::string_view method) const {
    std::lock_guard lock(mutex_);
    return shared_->IsMethodSupported(method);
}

std::vector<std::string> UserProfile::SupportedMethods() const {
    std::lock_guard lock(mutex_);
    return shared_->methods;
}

void UserProfile::ClearSupportedOptionTags() {
    std::lock_guard lock(mutex_);
    Common().optionTags.clear();
}

void UserProfile::AddSupportedOptionTag(std::string_view tag) {
    RequireToken(tag, "an option tag");
    std::lock_guard lock(mutex_);
    ProfileSettings& settings = Common();
    if (!ContainsIgnoringCase(settings.optionTags, tag)) {
        settings.optionTags.emplace_back(tag);
    }
}

bool UserProfile::IsOptionTagSupported(std::string_view tag) const {
    std::lock_guard lock(mutex_);
    return shared_->IsOptionTagSupported(tag);
}

std::vector<std::string> UserProfile::SupportedOptionTags() const {
    std::lock_guard lock(mutex_);
    return shared_->optionTags;
}

void UserProfile::ClearSupportedMimeTypes(std::string_view method) {
    std::lock_guard lock(mutex_);
    ProfileSettings& settings = Common();
    if (const auto found = settings.mimeTypes.find(method); found != settings.mimeTypes.end()) {
        settings.mimeTypes.erase(found);
    }
}

void UserProfile::AddSupportedMimeType(std::string_view method, const Mime& type) {
    RequireToken(method, "a method");
    RequireToken(type.Type(), "a media type");
    RequireToken(type.Subtype(), "a media subtype");
    std::lock_guard lock(mutex_);
    ProfileSettings& settings = Common();
    auto found = settings.mimeTypes.find(method);
    if (found == settings.mimeTypes.end()) {
        found = settings.mimeTypes.emplace(std::string(method), std::vector<Mime>{}).first;
    }
    std::vector<Mime>& types = found->second;
    if (std::find(types.begin(), types.end(), type) == types.end()) {
        types.emplace_back(type.Type(), type.Subtype());
    }
}

bool UserProfile::IsMimeTypeSupported(std::string_view method, const Mime& type) const {
    std::lock_guard lock(mutex_);
    return shared_->IsMimeTypeSupported(method, type);
}

std::vector<Mime> UserProfile::SupportedMimeTypes(std::string_view method) const {
    std::lock_guard lock(mutex_);
    return shared_->MimeTypesFor(method);
}

void UserProfile::SetUserAgentCapabilities(NameAddr capabilities) {
    std::lock_guard lock(mutex_);
    Common().userAgentCapabilities = std::move(capabilities);
}

NameAddr UserProfile::UserAgentCapabilities() const {
    std::lock_guard lock(mutex_);
    return shared_->userAgentCapabilities;
}

void UserProfile::SetUacReliableProvisionalMode(ReliableProvisionalMode mode) {
    std::lock_guard lock(mutex_);
    Common().uacReliableProvisionalMode = mode;
}

ReliableProvisionalMode UserProfile::UacReliableProvisionalMode() const {
    std::lock_guard lock(mutex_);
    return shared_->uacReliableProvisionalMode;
}

void UserProfile::SetUasReliableProvisionalMode(ReliableProvisionalMode mode) {
    std::lock_guard lock(mutex_);
    Common().uasReliableProvisionalMode = mode;
}

ReliableProvisionalMode UserProfile::UasReliableProvisionalMode() const {
    std::lock_guard lock(mutex_);
    return shared_->uasReliableProvisionalMode;
}

void UserProfile::SetSessionTimerSupported(bool supported) {
    std::lock_guard lock(mutex_);
    Common().sessionTimerSupported = supported;
}

bool UserProfile::SessionTimerSupported() const {
    std::lock_guard lock(mutex_);
    return shared_->sessionTimerSupported;
}

void UserProfile::SetDefaultSessionExpires(std::uint32_t seconds) {
    if (seconds < kMinSessionInterval) {
        throw std::invalid_argument("Session-Expires must be at least 90 seconds (RFC 4028 section 5)");
    }
    std::lock_guard lock(mutex_);
    Common().defaultSessionExpires = seconds;
}

std::uint32_t UserProfile::DefaultSessionExpires() const {
    std::lock_guard lock(mutex_);
    return shared_->defaultSessionExpires;
}

void UserProfile::SetDefaultMinSE(std::uint32_t seconds) {
    if (seconds < kMinSessionInterval) {
        throw std::invalid_argument("Min-SE must be at least 90 seconds (RFC 4028 section 5)");
    }
    std::lock_guard lock(mutex_);
    Common().defaultMinSE = seconds;
}

std::uint32_t UserProfile::DefaultMinSE() const {
    std::lock_guard lock(mutex_);
    return shared_->defaultMinSE;
}

void UserProfile::SetSessionRefresher(SessionRefresherPreference preference) {
    std::lock_guard lock(mutex_);
    Common().sessionRefresher = preference;
}

SessionRefresherPreference UserProfile::SessionRefresher() const {
    std::lock_guard lock(mutex_);
    return shared_->sessionRefresher;
}

void UserProfile::SetSessionTimerSpeedupForTests(std::uint32_t factor) {
    if (factor == 0) {
        throw std::invalid_argument("the session timer speed-up must be at least 1");
    }
    std::lock_guard lock(mutex_);
    Common().sessionTimerSpeedupForTests = factor;
}

void UserProfile::SetDefaultRegistrationTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Common().defaultRegistrationTime = seconds;
}

std::uint32_t UserProfile::DefaultRegistrationTime() const {
    std::lock_guard lock(mutex_);
    return shared_->defaultRegistrationTime;
}

void UserProfile::SetMaxRegistrationTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Common().maxRegistrationTime = seconds;
}

std::uint32_t UserProfile::MaxRegistrationTime() const {
    std::lock_guard lock(mutex_);
    return shared_->maxRegistrationTime;
}

void UserProfile::SetRegistrationRetryTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Common().registrationRetryTime = seconds;
}

std::uint32_t UserProfile::RegistrationRetryTime() const {
    std::lock_guard lock(mutex_);
    return shared_->registrationRetryTime;
}

void UserProfile::SetKeepAliveTimeForDatagram(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Own().keepAliveTimeForDatagram = seconds;
}

std::uint32_t UserProfile::KeepAliveTimeForDatagram() const {
    std::lock_guard lock(mutex_);
    return identity_->keepAliveTimeForDatagram;
}

void UserProfile::SetKeepAliveTimeForStream(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Own().keepAliveTimeForStream = seconds;
}

std::uint32_t UserProfile::KeepAliveTimeForStream() const {
    std::lock_guard lock(mutex_);
    return identity_->keepAliveTimeForStream;
}

void UserProfile::SetStaleCallTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Common().staleCallTime = seconds;
}

std::uint32_t UserProfile::StaleCallTime() const {
    std::lock_guard lock(mutex_);
    return shared_->staleCallTime;
}

void UserProfile::SetStaleReInviteTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    Common().staleReInviteTime = seconds;
}

std::uint32_t UserProfile::StaleReInviteTime() const {
    std::lock_guard lock(mutex_);
    return shared_->staleReInviteTime;
}

void UserProfile::SetOverrideHostAndPort(std::optional<Uri> hostAndPort) {
    std::lock_guard lock(mutex_);
    Common().overrideHostAndPort = std::move(hostAndPort);
}

std::optional<Uri> UserProfile::OverrideHostAndPort() const {
    std::lock_guard lock(mutex_);
    return shared_->overrideHostAndPort;
}

void UserProfile::SetDefaultFrom(NameAddr from) {
    std::string text = EncodeFrom(from);
    std::lock_guard lock(mutex_);
    Own().defaultFrom = std::move(text);
}

NameAddr UserProfile::DefaultFrom() const {
    std::lock_guard lock(mutex_);
    return DecodeFrom(identity_->defaultFrom);
}

void UserProfile::AddDigestCredential(DigestCredential credential) {
    std::lock_guard lock(mutex_);
    auto& list = Own().digestCredentials;
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&credential](const DigestCredential& entry) { return entry.realm == credential.realm; });
    if (found != list.end()) {
        *found = std::move(credential);
    } else {
        list.push_back(std::move(credential));
    }
}

void UserProfile::ClearDigestCredentials() {
    std::lock_guard lock(mutex_);
    Own().digestCredentials.clear();
}

std::vector<DigestCredential> UserProfile::DigestCredentials() const {
    std::lock_guard lock(mutex_);
    return identity_->digestCredentials;
}

std::optional<DigestCredential> UserProfile::FindDigestCredential(std::string_view realm) const {
    std::lock_guard lock(mutex_);
    const auto& list = identity_->digestCredentials;
    const auto found = std::find_if(list.begin(), list.end(),
                                    [realm](const DigestCredential& entry) { return entry.realm == realm; });
    return found != list.end() ? std::optional<DigestCredential>(*found) : std::nullopt;
}

void UserProfile::SetOutboundProxy(std::optional<Uri> proxy) {
    std::string text = EncodeProxy(proxy);
    std::lock_guard lock(mutex_);
    Own().outboundProxy = std::move(text);
}

std::optional<Uri> UserProfile::OutboundProxy() const {
    std::lock_guard lock(mutex_);
    return DecodeProxy(identity_->outboundProxy);
}

void UserProfile::SetExpressOutboundAsRouteSet(bool express) {
    std::lock_guard lock(mutex_);
    Own().expressOutboundAsRouteSet = express;
}

bool UserProfile::ExpressOutboundAsRouteSet() const {
    std::lock_guard lock(mutex_);
    return identity_->expressOutboundAsRouteSet;
}

void UserProfile::SetInstanceId(std::string instanceId) {
    RequireSingleLine(instanceId, "the instance id");
    std::lock_guard lock(mutex_);
    Own().instanceId = std::move(instanceId);
}

std::string UserProfile::InstanceId() const {
    std::lock_guard lock(mutex_);
    return identity_->instanceId;
}

void UserProfile::SetRegId(int regId) {
    if (regId < 0) {
        throw std::invalid_argument("the reg-id must not be negative: " + std::to_string(regId));
    }
    std::lock_guard lock(mutex_);
    Own().regId = regId;
}

int UserProfile::RegId() const {
    std::lock_guard lock(mutex_);
    return identity_->regId;
}

void UserProfile::SetClientOutboundEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    Own().clientOutboundEnabled = enabled;
}

bool UserProfile::ClientOutboundEnabled() const {
    std::lock_guard lock(mutex_);
    return identity_->clientOutboundEnabled;
}

} // namespace zel::sip::stack

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

UserProfile::UserProfile(ProfileSettings settings) : settings_(std::move(settings)) {}

UserProfile::UserProfile(const UserProfile& other) : settings_(other.Snapshot()) {}

UserProfile& UserProfile::operator=(const UserProfile& other) {
    if (this != &other) {
        // Copy first, then assign: holding both locks at once could deadlock against an assignment
        // in the other direction.
        ProfileSettings copy = other.Snapshot();
        std::lock_guard lock(mutex_);
        settings_ = std::move(copy);
    }
    return *this;
}

ProfileSettings UserProfile::Snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void UserProfile::SetUserAgent(std::string userAgent) {
    RequireSingleLine(userAgent, "the User-Agent text");
    std::lock_guard lock(mutex_);
    settings_.userAgent = std::move(userAgent);
}

std::string UserProfile::UserAgent() const {
    std::lock_guard lock(mutex_);
    return settings_.userAgent;
}

void UserProfile::ClearSupportedUriSchemes() {
    std::lock_guard lock(mutex_);
    settings_.uriSchemes.clear();
}

void UserProfile::AddSupportedUriScheme(std::string_view scheme) {
    RequireToken(scheme, "a URI scheme");
    std::lock_guard lock(mutex_);
    if (!ContainsIgnoringCase(settings_.uriSchemes, scheme)) {
        settings_.uriSchemes.push_back(ToLower(scheme));
    }
}

bool UserProfile::IsSchemeSupported(std::string_view scheme) const {
    std::lock_guard lock(mutex_);
    return settings_.IsSchemeSupported(scheme);
}

std::vector<std::string> UserProfile::SupportedUriSchemes() const {
    std::lock_guard lock(mutex_);
    return settings_.uriSchemes;
}

void UserProfile::ClearSupportedMethods() {
    std::lock_guard lock(mutex_);
    settings_.methods.clear();
}

void UserProfile::AddSupportedMethod(std::string_view method) {
    RequireToken(method, "a method");
    std::lock_guard lock(mutex_);
    if (!settings_.IsMethodSupported(method)) {
        settings_.methods.emplace_back(method);
    }
}

bool UserProfile::IsMethodSupported(std::string_view method) const {
    std::lock_guard lock(mutex_);
    return settings_.IsMethodSupported(method);
}

std::vector<std::string> UserProfile::SupportedMethods() const {
    std::lock_guard lock(mutex_);
    return settings_.methods;
}

void UserProfile::ClearSupportedOptionTags() {
    std::lock_guard lock(mutex_);
    settings_.optionTags.clear();
}

void UserProfile::AddSupportedOptionTag(std::string_view tag) {
    RequireToken(tag, "an option tag");
    std::lock_guard lock(mutex_);
    if (!ContainsIgnoringCase(settings_.optionTags, tag)) {
        settings_.optionTags.emplace_back(tag);
    }
}

bool UserProfile::IsOptionTagSupported(std::string_view tag) const {
    std::lock_guard lock(mutex_);
    return settings_.IsOptionTagSupported(tag);
}

std::vector<std::string> UserProfile::SupportedOptionTags() const {
    std::lock_guard lock(mutex_);
    return settings_.optionTags;
}

void UserProfile::ClearSupportedMimeTypes(std::string_view method) {
    std::lock_guard lock(mutex_);
    if (const auto found = settings_.mimeTypes.find(method); found != settings_.mimeTypes.end()) {
        settings_.mimeTypes.erase(found);
    }
}

void UserProfile::AddSupportedMimeType(std::string_view method, const Mime& type) {
    RequireToken(method, "a method");
    RequireToken(type.Type(), "a media type");
    RequireToken(type.Subtype(), "a media subtype");
    std::lock_guard lock(mutex_);
    auto found = settings_.mimeTypes.find(method);
    if (found == settings_.mimeTypes.end()) {
        found = settings_.mimeTypes.emplace(std::string(method), std::vector<Mime>{}).first;
    }
    std::vector<Mime>& types = found->second;
    if (std::find(types.begin(), types.end(), type) == types.end()) {
        types.emplace_back(type.Type(), type.Subtype());
    }
}

bool UserProfile::IsMimeTypeSupported(std::string_view method, const Mime& type) const {
    std::lock_guard lock(mutex_);
    return settings_.IsMimeTypeSupported(method, type);
}

std::vector<Mime> UserProfile::SupportedMimeTypes(std::string_view method) const {
    std::lock_guard lock(mutex_);
    return settings_.MimeTypesFor(method);
}

void UserProfile::SetUserAgentCapabilities(NameAddr capabilities) {
    std::lock_guard lock(mutex_);
    settings_.userAgentCapabilities = std::move(capabilities);
}

NameAddr UserProfile::UserAgentCapabilities() const {
    std::lock_guard lock(mutex_);
    return settings_.userAgentCapabilities;
}

void UserProfile::SetUacReliableProvisionalMode(ReliableProvisionalMode mode) {
    std::lock_guard lock(mutex_);
    settings_.uacReliableProvisionalMode = mode;
}

ReliableProvisionalMode UserProfile::UacReliableProvisionalMode() const {
    std::lock_guard lock(mutex_);
    return settings_.uacReliableProvisionalMode;
}

void UserProfile::SetUasReliableProvisionalMode(ReliableProvisionalMode mode) {
    std::lock_guard lock(mutex_);
    settings_.uasReliableProvisionalMode = mode;
}

ReliableProvisionalMode UserProfile::UasReliableProvisionalMode() const {
    std::lock_guard lock(mutex_);
    return settings_.uasReliableProvisionalMode;
}

void UserProfile::SetSessionTimerSupported(bool supported) {
    std::lock_guard lock(mutex_);
    settings_.sessionTimerSupported = supported;
}

bool UserProfile::SessionTimerSupported() const {
    std::lock_guard lock(mutex_);
    return settings_.sessionTimerSupported;
}

void UserProfile::SetDefaultSessionExpires(std::uint32_t seconds) {
    if (seconds < kMinSessionInterval) {
        throw std::invalid_argument("Session-Expires must be at least 90 seconds (RFC 4028 section 5)");
    }
    std::lock_guard lock(mutex_);
    settings_.defaultSessionExpires = seconds;
}

std::uint32_t UserProfile::DefaultSessionExpires() const {
    std::lock_guard lock(mutex_);
    return settings_.defaultSessionExpires;
}

void UserProfile::SetDefaultMinSE(std::uint32_t seconds) {
    if (seconds < kMinSessionInterval) {
        throw std::invalid_argument("Min-SE must be at least 90 seconds (RFC 4028 section 5)");
    }
    std::lock_guard lock(mutex_);
    settings_.defaultMinSE = seconds;
}

std::uint32_t UserProfile::DefaultMinSE() const {
    std::lock_guard lock(mutex_);
    return settings_.defaultMinSE;
}

void UserProfile::SetSessionRefresher(SessionRefresherPreference preference) {
    std::lock_guard lock(mutex_);
    settings_.sessionRefresher = preference;
}

SessionRefresherPreference UserProfile::SessionRefresher() const {
    std::lock_guard lock(mutex_);
    return settings_.sessionRefresher;
}

void UserProfile::SetSessionTimerSpeedupForTests(std::uint32_t factor) {
    if (factor == 0) {
        throw std::invalid_argument("the session timer speed-up must be at least 1");
    }
    std::lock_guard lock(mutex_);
    settings_.sessionTimerSpeedupForTests = factor;
}

void UserProfile::SetDefaultRegistrationTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.defaultRegistrationTime = seconds;
}

std::uint32_t UserProfile::DefaultRegistrationTime() const {
    std::lock_guard lock(mutex_);
    return settings_.defaultRegistrationTime;
}

void UserProfile::SetMaxRegistrationTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.maxRegistrationTime = seconds;
}

std::uint32_t UserProfile::MaxRegistrationTime() const {
    std::lock_guard lock(mutex_);
    return settings_.maxRegistrationTime;
}

void UserProfile::SetRegistrationRetryTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.registrationRetryTime = seconds;
}

std::uint32_t UserProfile::RegistrationRetryTime() const {
    std::lock_guard lock(mutex_);
    return settings_.registrationRetryTime;
}

void UserProfile::SetKeepAliveTimeForDatagram(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.keepAliveTimeForDatagram = seconds;
}

std::uint32_t UserProfile::KeepAliveTimeForDatagram() const {
    std::lock_guard lock(mutex_);
    return settings_.keepAliveTimeForDatagram;
}

void UserProfile::SetKeepAliveTimeForStream(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.keepAliveTimeForStream = seconds;
}

std::uint32_t UserProfile::KeepAliveTimeForStream() const {
    std::lock_guard lock(mutex_);
    return settings_.keepAliveTimeForStream;
}

void UserProfile::SetStaleCallTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.staleCallTime = seconds;
}

std::uint32_t UserProfile::StaleCallTime() const {
    std::lock_guard lock(mutex_);
    return settings_.staleCallTime;
}

void UserProfile::SetStaleReInviteTime(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    settings_.staleReInviteTime = seconds;
}

std::uint32_t UserProfile::StaleReInviteTime() const {
    std::lock_guard lock(mutex_);
    return settings_.staleReInviteTime;
}

void UserProfile::SetOverrideHostAndPort(std::optional<Uri> hostAndPort) {
    std::lock_guard lock(mutex_);
    settings_.overrideHostAndPort = std::move(hostAndPort);
}

std::optional<Uri> UserProfile::OverrideHostAndPort() const {
    std::lock_guard lock(mutex_);
    return settings_.overrideHostAndPort;
}

void UserProfile::SetDefaultFrom(NameAddr from) {
    std::lock_guard lock(mutex_);
    settings_.defaultFrom = std::move(from);
}

NameAddr UserProfile::DefaultFrom() const {
    std::lock_guard lock(mutex_);
    return settings_.defaultFrom;
}

void UserProfile::AddDigestCredential(DigestCredential credential) {
    std::lock_guard lock(mutex_);
    auto& list = settings_.digestCredentials;
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
    settings_.digestCredentials.clear();
}

std::vector<DigestCredential> UserProfile::DigestCredentials() const {
    std::lock_guard lock(mutex_);
    return settings_.digestCredentials;
}

std::optional<DigestCredential> UserProfile::FindDigestCredential(std::string_view realm) const {
    std::lock_guard lock(mutex_);
    const DigestCredential* found = settings_.FindDigestCredential(realm);
    return found != nullptr ? std::optional<DigestCredential>(*found) : std::nullopt;
}

void UserProfile::SetOutboundProxy(std::optional<Uri> proxy) {
    std::lock_guard lock(mutex_);
    settings_.outboundProxy = std::move(proxy);
}

std::optional<Uri> UserProfile::OutboundProxy() const {
    std::lock_guard lock(mutex_);
    return settings_.outboundProxy;
}

void UserProfile::SetExpressOutboundAsRouteSet(bool express) {
    std::lock_guard lock(mutex_);
    settings_.expressOutboundAsRouteSet = express;
}

bool UserProfile::ExpressOutboundAsRouteSet() const {
    std::lock_guard lock(mutex_);
    return settings_.expressOutboundAsRouteSet;
}

void UserProfile::SetInstanceId(std::string instanceId) {
    RequireSingleLine(instanceId, "the instance id");
    std::lock_guard lock(mutex_);
    settings_.instanceId = std::move(instanceId);
}

std::string UserProfile::InstanceId() const {
    std::lock_guard lock(mutex_);
    return settings_.instanceId;
}

void UserProfile::SetRegId(int regId) {
    if (regId < 0) {
        throw std::invalid_argument("the reg-id must not be negative: " + std::to_string(regId));
    }
    std::lock_guard lock(mutex_);
    settings_.regId = regId;
}

int UserProfile::RegId() const {
    std::lock_guard lock(mutex_);
    return settings_.regId;
}

void UserProfile::SetClientOutboundEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    settings_.clientOutboundEnabled = enabled;
}

bool UserProfile::ClientOutboundEnabled() const {
    std::lock_guard lock(mutex_);
    return settings_.clientOutboundEnabled;
}

} // namespace zel::sip::stack

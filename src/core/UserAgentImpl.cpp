#include "core/UserAgentImpl.h"

#include "config/tls/CipherList.h"
#include "core/ComputerNameProvider.h"
#include "core/MessageLogger.h"
#include "core/RandomNumberGenerator.h"
#include "core/ShutdownEventAdapter.h"
#include "core/Utils.h"
#include "dum/ContentsFactory.h"
#include "sdp/LocalSDPFactory.h"
#include "sdp/MediaNegotiator.h"
#include "stack/base/CharClass.h"
#include "stack/base/Log.h"
#include "stack/transport/SecuritySettings.h"

#include <openssl/ssl.h>

#include <boost/asio/ip/address.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <stdexcept>

namespace zel::sip {

namespace {

// How much longer than the dialog layer's own bound destruction waits for its notification before
// it goes on without it: the bound is the dialog layer's promise, this only keeps a fault there
// from hanging the host.
constexpr std::chrono::seconds kShutdownGrace{5};

bool Given(const char* text) noexcept {
    return text != nullptr && *text != '\0';
}

/// The I/O thread's body: runs the context until it is stopped. A handler that raises does not end
/// the thread while the context is still wanted.
void RunIOContext(boost::asio::io_context& context) noexcept {
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception& error) {
            ZEL_LOG(Err, "a task on the user agent's I/O thread failed: {}", error.what());
        } catch (...) {
            ZEL_LOG(Err, "a task on the user agent's I/O thread failed");
        }
        if (context.stopped()) {
            return;
        }
    }
}

/// "<urn:uuid:...>" with a version 4 (random) UUID of RFC 4122, lower-case (RFC 5626 section 4.1).
std::string CreateInstanceId() {
    boost::uuids::random_generator generate;
    return "<urn:uuid:" + boost::uuids::to_string(generate()) + ">";
}

stack::SecuritySettings MakeSecuritySettings(const Config& config) {
    const struct Config::TLS& tls = config.TLS;
    stack::SecuritySettings security;
    // Empty selects the stack's strongest suites.
    security.cipherList = tls::CipherList::IANAToOpenSSL(tls.Ciphers);
    security.dhParametersPath = tls.DHParametersPath;
    security.caDirectoryPath = tls.CADirectoryPath;
    security.certificatePath = tls.CertificatePath;
    security.privateKeyPath = tls.PrivateKeyPath;
    switch (tls.ClientVerificationMode) {
    case TLSClientVerificationMode::Optional:
        security.clientVerification = stack::ClientVerificationMode::Optional;
        break;
    case TLSClientVerificationMode::Mandatory:
        security.clientVerification = stack::ClientVerificationMode::Mandatory;
        break;
    case TLSClientVerificationMode::None:
    default:
        security.clientVerification = stack::ClientVerificationMode::None;
        break;
    }
    return security;
}

std::unique_ptr<stack::SipStack> MakeSipStack(const Config& config, boost::asio::io_context& ioContext) {
    stack::SetAllowWildcardCertificates(config.TLS.AllowWildcardCertificates);
    stack::StackOptions options;
    options.congestionTolerance = std::chrono::milliseconds(200);
    // The trace must be in place before the first transport exists, so that it sees every message.
    if (!config.MessageLogPath.empty()) {
        options.messageLogger = std::make_shared<MessageLogger>(ioContext, config.MessageLogPath);
    }
    return std::make_unique<stack::SipStack>(std::move(options));
}

/// Adds one transport per IP version that `address` calls for: that address's version, or with
/// no address IPv4 on all interfaces and then IPv6 on all interfaces, where IPv6 may fail (a host
/// without IPv6 still gets its IPv4 transport).
void AddTransport(stack::SipStack& stack, stack::TransportType type, std::uint16_t port, const std::string& address,
                  const stack::SecuritySettings* security) {
    if (!address.empty()) {
        boost::system::error_code error;
        const boost::asio::ip::address parsed = boost::asio::ip::make_address(address, error);
        if (error) {
            throw std::invalid_argument("Address '" + address + "' is not an IP address: " + error.message());
        }
        stack.AddTransport(type, parsed.is_v6() ? stack::IpVersion::V6 : stack::IpVersion::V4, address, port,
                           security);
        return;
    }
    stack.AddTransport(type, stack::IpVersion::V4, {}, port, security);
    try {
        stack.AddTransport(type, stack::IpVersion::V6, {}, port, security);
    } catch (const std::exception& error) {
        ZEL_LOG(Info, "no IPv6 {} transport on port {}: {}", stack::ToString(type), port, error.what());
    }
}

void AddTransports(stack::SipStack& stack, const Config& config) {
    const stack::SecuritySettings security = MakeSecuritySettings(config);
    if (config.UDPAllowed) {
        AddTransport(stack, stack::TransportType::UDP, config.UDPPort, config.Address, nullptr);
    }
    if (config.TCPAllowed) {
        AddTransport(stack, stack::TransportType::TCP, config.TCPPort, config.Address, nullptr);
    }
    // TLS below 1.2 and SSLv3 are refused by every context made from here on, in the whole process.
    if (config.TLSAllowed) {
        stack::AddOpenSslContextOptions(SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
        AddTransport(stack, stack::TransportType::TLS, config.TLSPort, config.Address, &security);
    }
    if (config.DTLSAllowed) {
        // For DTLS contexts this also refuses DTLS 1.0.
        stack::AddOpenSslContextOptions(SSL_OP_NO_TLSv1);
        AddTransport(stack, stack::TransportType::DTLS, config.DTLSPort, config.Address, &security);
    }
    if (config.WSAllowed) {
        AddTransport(stack, stack::TransportType::WS, config.WSPort, config.Address, nullptr);
    }
    if (config.WSSAllowed) {
        stack::AddOpenSslContextOptions(SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
        AddTransport(stack, stack::TransportType::WSS, config.WSSPort, config.Address, &security);
    }
}

/// Adds one RFC 3840 feature tag to `capabilities`: a bare name ("video", "+sip.foo") becomes a
/// parameter without a value; "name=value" and name="value" keep their value as written, so the
/// Contact carries the text the host configured. Anything else would corrupt every Contact we send
/// and raises std::invalid_argument.
void AddCapability(stack::NameAddr& capabilities, const std::string& entry) {
    const std::size_t equals = entry.find('=');
    const std::string_view name = std::string_view(entry).substr(0, equals);
    const auto refuse = [&] {
        throw std::invalid_argument("Capabilities entry '" + entry + "' is not a feature tag (RFC 3840)");
    };
    if (!stack::chars::IsTokenText(name)) {
        refuse();
    }
    if (equals == std::string::npos) {
        capabilities.Params().SetFlag(name);
        return;
    }
    std::string_view value = std::string_view(entry).substr(equals + 1);
    const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (quoted) {
        value = value.substr(1, value.size() - 2);
        if (value.find_first_of("\"\\\r\n") != std::string_view::npos) {
            refuse();
        }
    } else if (!stack::chars::IsTokenText(value)) {
        refuse();
    }
    capabilities.Params().Set(name, value, quoted);
}

std::shared_ptr<stack::MasterProfile> MakeMasterProfile(const Config& config) {
    auto profile = std::make_shared<stack::MasterProfile>();
    profile->SetUserAgent(std::string(UserAgentPrefix) + config.UserAgent);
    profile->ClearSupportedUriSchemes();
    profile->AddSupportedUriScheme("sip");
    if (config.TLSAllowed || config.DTLSAllowed) {
        profile->AddSupportedUriScheme("sips");
    }
    for (const std::string& method : config.SupportedMethods) {
        profile->AddSupportedMethod(method);
    }
    stack::NameAddr capabilities;
    for (const std::string& capability : config.Capabilities) {
        AddCapability(capabilities, capability);
    }
    profile->SetUserAgentCapabilities(std::move(capabilities));
    profile->AddSupportedOptionTag("outbound");
    profile->AddSupportedOptionTag("path");
    if (config.SupportSessionTimers) {
        profile->AddSupportedOptionTag("timer");
    }
    if (config.UseSRTP == UseSRTP::Fallback) {
        profile->AddSupportedOptionTag("x-cisco-srtp-fallback");
    }
    for (const std::string& option : config.SupportedOptions) {
        profile->AddSupportedOptionTag(option);
    }
    profile->SetUacReliableProvisionalMode(stack::ReliableProvisionalMode::Supported);
    profile->SetUasReliableProvisionalMode(stack::ReliableProvisionalMode::SupportedEssential);
    for (const auto& [method, contentType] : config.SupportedContentTypes) {
        profile->AddSupportedMimeType(method, Utils::ToMime(contentType));
    }
    profile->SetDefaultRegistrationTime(900);
    profile->SetMaxRegistrationTime(0);
    profile->SetRegistrationRetryTime(120);
    profile->SetKeepAliveTimeForDatagram(0);
    profile->SetKeepAliveTimeForStream(0);
    if (!config.ExternalContactUri.empty()) {
        profile->SetOverrideHostAndPort(stack::Uri::Parse(config.ExternalContactUri));
    }
    return profile;
}

} // namespace

UserAgentImpl::UserAgentImpl(const Config& config) {
    workGuard_.emplace(ioContext_.get_executor());
    ioThread_ = std::thread([this] { RunIOContext(ioContext_); });
    try {
        // The stack starts its event thread as it is made (there is no separate start), so that
        // transports bind on it; the dialog thread starts last, once every setting is in place.
        stack_ = MakeSipStack(config, ioContext_);
        dumThread_ = std::make_unique<stack::DumThread>();
        dum_ = std::make_unique<stack::DialogUsageManager>(*stack_, *dumThread_);

        random_ = std::make_shared<RandomNumberGenerator>();
        computerName_ = std::make_shared<ComputerNameProvider>();
        localSDPFactory_ = std::make_shared<LocalSDPFactory>(*computerName_, *random_);
        mediaNegotiator_ = std::make_shared<MediaNegotiator>(*random_, *localSDPFactory_, config);
        contentsFactory_ = std::make_shared<ContentsFactory>(*mediaNegotiator_);
        registrationHandler_ = std::make_shared<ClientRegistrationHandler>(*dum_);
        inviteHandler_ = std::make_shared<InviteSessionHandler>(*dum_, *mediaNegotiator_, *computerName_);

        instanceId_ = CreateInstanceId();
        nextRegId_ = 1;

        AddTransports(*stack_, config);

        dum_->SetMasterProfile(MakeMasterProfile(config));
        dum_->SetClientAuthentication(true);
        dum_->SetKeepAlives(true);
        dum_->SetClientRegistrationHandler(registrationHandler_.get());
        dum_->SetInviteSessionHandler(inviteHandler_.get());

        registrationHandler_->NewRegistration.connect(
            [this](const std::shared_ptr<ClientRegistrationImpl>& registration) {
                NewClientRegistration(std::shared_ptr<IClientRegistration>(registration));
            });
        inviteHandler_->NewSession.connect(
            [this](const std::shared_ptr<SessionImpl>& session, const stack::SipMessage& message) {
                NewSession(std::shared_ptr<ISession>(session), message);
            });
        mediaNegotiator_->LocalMediaEndpointRequired.connect(
            [this](std::uint64_t portCount, AddressType addressType, char* address, std::uint64_t addressSize,
                   std::uint16_t& port, char* information, std::uint64_t informationSize) {
                LocalMediaEndpointRequired(portCount, addressType, address, addressSize, port, information,
                                           informationSize);
            });
        mediaNegotiator_->LocalMediaEndpointSurplus.connect(
            [this](const char* address, std::uint16_t port) { LocalMediaEndpointSurplus(address, port); });

        dumThread_->Start();
    } catch (...) {
        // The members unwind in reverse order (the stack joins its event thread as it goes); the
        // I/O thread is no member that can join itself, so it is stopped here.
        StopIOThread();
        throw;
    }
}

UserAgentImpl::~UserAgentImpl() {
    // The walk over the registrations runs on the dialog thread, where every notification that
    // changes the map runs too; the dialog layer's shutdown, posted after it, ends whatever is left.
    dum_->Post([handler = registrationHandler_] { handler->RemoveAll(); });
    Shutdown();
}

void UserAgentImpl::Shutdown() noexcept {
    ShutdownEventAdapter adapter;
    dum_->Shutdown(adapter);
    const auto limit = stack::DumOptions{}.shutdownTimeout + kShutdownGrace;
    if (!adapter.WaitForShutdown(std::chrono::duration_cast<std::chrono::milliseconds>(limit))) {
        ZEL_LOG(Err, "the dialog layer did not report its shutdown in time; stopping it anyway");
    }
    dumThread_->Stop();
    dumThread_->Join();
    stack_->Shutdown();
    StopIOThread();
    // The adapter may only go once the dialog thread can no longer call it: joined above.
}

void UserAgentImpl::StopIOThread() noexcept {
    workGuard_.reset();
    ioContext_.stop();
    if (ioThread_.joinable()) {
        ioThread_.join();
    }
}

bool UserAgentImpl::IsOwnThread() const noexcept {
    return (dumThread_ != nullptr && dumThread_->IsCurrentThread()) ||
           (stack_ != nullptr && stack_->IsEventThread()) || std::this_thread::get_id() == ioThread_.get_id();
}

void UserAgentImpl::SetDefaultFrom(stack::UserProfile& profile, const char* from, const char* password,
                                   const char* user, const char* realm) {
    if (!Given(from)) {
        throw std::invalid_argument("a From address is required");
    }
    stack::NameAddr parsed = stack::NameAddr::Parse(from);
    const stack::Uri uri = parsed.GetUri();
    profile.SetDefaultFrom(std::move(parsed));
    if (!Given(password)) {
        return;
    }
    stack::DigestCredential credential;
    credential.realm = Given(realm) ? std::string(realm) : uri.Host();
    credential.user = Given(user) ? std::string(user) : uri.User();
    credential.password = password;
    profile.AddDigestCredential(std::move(credential));
}

void UserAgentImpl::SetDefaultFrom(const char* from, const char* password, const char* user, const char* realm) {
    const std::lock_guard lock(requestMutex_);
    SetDefaultFrom(*dum_->GetMasterProfile(), from, password, user, realm);
}

void UserAgentImpl::Register(const char* aor, const char* password, const char* outboundProxy, const char* user,
                             const char* realm) {
    const std::lock_guard lock(requestMutex_);
    if (!Given(aor)) {
        throw std::invalid_argument("an address of record is required");
    }
    const stack::NameAddr target = stack::NameAddr::Parse(aor);
    auto profile = std::make_shared<stack::UserProfile>(*dum_->GetMasterProfile());
    SetDefaultFrom(*profile, aor, password, user, realm);
    const bool outbound = Given(outboundProxy);
    if (outbound) {
        profile->SetOutboundProxy(stack::Uri::Parse(outboundProxy));
        profile->SetExpressOutboundAsRouteSet(true);
        profile->SetKeepAliveTimeForDatagram(30);
        profile->SetKeepAliveTimeForStream(120);
        profile->SetInstanceId(instanceId_);
        profile->SetRegId(nextRegId_);
        profile->SetClientOutboundEnabled(true);
    }
    auto request = dum_->MakeRegistration(target, std::move(profile));
    // Only a registration that is really sent uses up a reg-id.
    if (outbound) {
        ++nextRegId_;
    }
    dum_->SendCommand(std::move(request));
}

std::string UserAgentImpl::Invite(const char* to, const char* from, const char* password, const Contents* contents,
                                  std::uint64_t contentsCount, AddressType addressType, const char* user,
                                  const char* realm) {
    if (!Given(to)) {
        throw std::invalid_argument("a To address is required");
    }
    const stack::NameAddr target = stack::NameAddr::Parse(to);
    // Everything that can refuse the call is checked before the host is asked for media
    // endpoints, which it would otherwise hand out for a call that never starts.
    if (!target.GetUri().IsSip() || target.GetUri().Host().empty()) {
        throw std::invalid_argument("an INVITE needs a sip or sips URI with a host: " + target.ToString());
    }
    if (Given(from)) {
        (void)stack::NameAddr::Parse(from);
    }
    // The offer first, outside the mutex: the host's LocalMediaEndpointRequired runs inside it, on
    // this thread, and may take as long as it likes or call other operations.
    const std::shared_ptr<stack::Body> offer =
        contentsFactory_->CreateOffer(addressType, contents, static_cast<std::size_t>(contentsCount));
    std::shared_ptr<stack::InitialRequest> request;
    {
        const std::lock_guard lock(requestMutex_);
        std::shared_ptr<stack::UserProfile> profile;
        if (Given(from)) {
            // This call's own identity; the master profile stays as it is.
            profile = std::make_shared<stack::UserProfile>(*dum_->GetMasterProfile());
            SetDefaultFrom(*profile, from, password, user, realm);
        }
        request = dum_->MakeInviteSession(target, std::move(profile), offer.get());
    }
    std::string callId = request->CallId();
    dum_->SendCommand(std::move(request));
    return callId;
}

} // namespace zel::sip

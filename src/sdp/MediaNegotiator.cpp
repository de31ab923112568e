#include "sdp/MediaNegotiator.h"

#include "sdp/ISessionImpl.h"
#include "sdp/MediumFactory.h"
#include "sdp/negotiators/MediaCodecNegotiator.h"
#include "sdp/negotiators/MediaModeNegotiator.h"
#include "sdp/negotiators/MediaRTCPMultiplexingNegotiator.h"
#include "sdp/negotiators/MediaSecurityNegotiator.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zel::sip {

namespace {

using stack::sdp::AddrType;
using stack::sdp::Connection;
using stack::sdp::Medium;

constexpr std::size_t kAddressSize = 46;     // INET6_ADDRSTRLEN
constexpr std::size_t kInformationSize = 512;
constexpr std::string_view kRtcp = "rtcp";
constexpr std::string_view kLabel = "label";

[[noreturn]] void FailEndpoint() { throw std::runtime_error("unable to get a local media endpoint"); }

// A text written by the host into a buffer of `size` bytes, up to its NUL; none when the buffer
// holds no NUL.
std::optional<std::string> TerminatedText(const char* buffer, std::size_t size) {
    const void* nul = std::memchr(buffer, '\0', size);
    if (nul == nullptr) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<const char*>(nul));
}

// The address goes on c= and a=rtcp lines: it must be one token of visible characters so that
// host text cannot break or add SDP lines.
bool IsUsableAddress(std::string_view address) noexcept {
    return !address.empty() &&
           std::all_of(address.begin(), address.end(), [](char c) { return c > ' ' && c != '\x7f'; });
}

// The media title goes on an i= line: line breaks would start new SDP lines.
std::string SingleLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

const char* UnspecifiedAddress(AddrType type) noexcept { return type == AddrType::IP4 ? "0.0.0.0" : "::"; }

// A medium we refuse or disable: port 0 (RFC 3264 section 6), no attributes. It keeps one format
// of the offer, since an m= line needs at least one (RFC 8866 section 5.14).
Medium RejectedMedium(const Medium& remote) {
    Medium rejected(remote.MediaType(), 0, 1, remote.Protocol());
    if (!remote.Formats().empty()) {
        rejected.AddFormat(remote.Formats().front());
    }
    return rejected;
}

bool HasActiveMedium(const std::vector<Medium>& media) {
    return std::any_of(media.begin(), media.end(), [](const Medium& m) { return m.Port() != 0; });
}

std::vector<std::string>& AddressesFor(ISessionImpl& session, unsigned long index) {
    auto& addresses = session.LocalConnectionAddresses();
    if (addresses.size() < index + 1) {
        addresses.resize(index + 1);
    }
    return addresses;
}

} // namespace

MediaNegotiator::MediaNegotiator(const IRandomNumberGenerator& random, const ILocalSDPFactory& localSDPFactory,
                                 const Config& config)
    : localSDPFactory_(localSDPFactory),
      mediumFactory_(std::make_shared<sdp::MediumFactory>(random, config)),
      securityNegotiator_(
          std::make_shared<sdp::negotiators::MediaSecurityNegotiator>(random, config.UseSRTP, config)),
      negotiators_{std::make_shared<sdp::negotiators::MediaCodecNegotiator>(config),
                   std::make_shared<sdp::negotiators::MediaModeNegotiator>(config),
                   std::make_shared<sdp::negotiators::MediaRTCPMultiplexingNegotiator>(config)},
      specifySessionInformation_(config.SpecifySessionInformation),
      specifyRTCPAttribute_(config.SpecifyRTCPAttribute) {}

std::shared_ptr<stack::SdpBody> MediaNegotiator::MakeOffer(AddrType addressType) const {
    auto body = localSDPFactory_.CreateLocalSDP(addressType);
    FillOffer(nullptr, *body);
    return body;
}

stack::SdpBody& MediaNegotiator::MakeOffer(ISessionImpl& session, stack::IpVersion ipVersion) const {
    auto& body = GetLocalSDP(session, ipVersion == stack::IpVersion::V6 ? AddrType::IP6 : AddrType::IP4);
    if (!body.Session().Media().empty()) {
        return body;
    }
    FillOffer(&session, body);
    // Remember the endpoints handed out, so that a later answer or offer that disables a medium
    // releases its endpoint.
    const auto& media = body.Session().Media();
    for (std::size_t i = 0; i < media.size(); ++i) {
        auto& addresses = AddressesFor(session, i);
        if (addresses[i].empty() && !media[i].Connections().empty()) {
            addresses[i] = media[i].Connections().front().address;
        }
    }
    return body;
}

// A re-offer repeats the current local body, origin version included (RFC 3264 section 8).
void MediaNegotiator::FillOffer(ISessionImpl* session, stack::SdpBody& body) const {
    if (!std::as_const(body).Session().Media().empty()) {
        return;
    }
    auto& description = body.Session();
    const auto addressType = description.Origin().addrType;
    for (auto& medium : mediumFactory_->GetMediums(session)) {
        GetLocalMediaEndpoint(medium, addressType);
        for (const auto& negotiator : negotiators_) {
            negotiator->MakeOffer(session, 0, medium);
        }
        AddRTCPAttribute(medium);
        description.AddMedium(std::move(medium));
    }
}

stack::SdpBody& MediaNegotiator::GetLocalSDP(ISessionImpl& session, AddrType addressType) const {
    if (auto* existing = session.GetLocalSDP()) {
        return *existing;
    }
    session.SetLocalSDP(*localSDPFactory_.CreateLocalSDP(addressType));
    auto* stored = session.GetLocalSDP();
    if (stored == nullptr) {
        throw std::logic_error("the session did not keep its local SDP");
    }
    return *stored;
}

void MediaNegotiator::GetLocalMediaEndpoint(Medium& medium, AddrType addressType) const {
    if (medium.Port() != 0) {
        return;
    }
    std::array<char, kAddressSize> address{};
    std::array<char, kInformationSize> information{};
    unsigned short port = 0;
    LocalMediaEndpointRequired(medium.PortCount(), addressType == AddrType::IP6 ? AddressType::IPv6 : AddressType::IPv4,
                               address.data(), address.size(), port, information.data(), information.size());
    const auto addressText = TerminatedText(address.data(), address.size());
    const auto informationText = TerminatedText(information.data(), information.size());
    if (!addressText || !IsUsableAddress(*addressText) || port == 0 || !informationText) {
        FailEndpoint();
    }
    medium.SetConnection(Connection(addressType, *addressText));
    medium.SetPort(port);
    if (specifySessionInformation_) {
        medium.SetInformation(SingleLine(*informationText));
    }
}

// RFC 3605: the RTCP port and address, written even when RTCP is multiplexed (RFC 5761
// section 5.1.3 lets an offer carry both).
void MediaNegotiator::AddRTCPAttribute(Medium& medium) const {
    if (!specifyRTCPAttribute_ || medium.Connections().empty()) {
        return;
    }
    const auto& connection = medium.Connections().front();
    std::string value = std::to_string((static_cast<unsigned>(medium.Port()) + 1) % 65536);
    value.append(" IN ").append(connection.addrType == AddrType::IP4 ? "IP4" : "IP6");
    value.append(1, ' ').append(connection.address);
    medium.Attributes().Add(std::string(kRtcp), std::move(value));
}

stack::SdpBody& MediaNegotiator::NegotiateAnswer(ISessionImpl& session, stack::SdpBody& offer) const {
    auto& offered = offer.Session();
    auto& body = GetLocalSDP(session, offered.Origin().addrType);
    auto& answer = body.Session();
    if (offered.Media().size() < answer.Media().size()) {
        throw std::invalid_argument("media description count cannot be decreased");
    }
    // RFC 3264 section 8: each new answer of the session is a new version.
    if (!answer.Media().empty()) {
        ++answer.Origin().sessionVersion;
    }

    const auto count = offered.Media().size();
    for (std::size_t i = 0; i < count; ++i) {
        auto& remote = offered.Media()[i];
        if (i == answer.Media().size()) {
            answer.AddMedium(Medium(remote.MediaType(), 0, remote.PortCount(), remote.Protocol()));
        }
        auto& local = answer.Media()[i];
        try {
            local.Attributes().Remove(kRtcp);
            if (remote.Port() != 0) {
                for (const auto& negotiator : negotiators_) {
                    negotiator->NegotiateAnswer(session, i, remote, local);
                }
                securityNegotiator_->NegotiateAnswer(session, i, remote, local);
                AddMedium(session, i, local, offered.ConnectionsOf(remote));
            } else {
                RemoveMedium(session, i, local, remote);
            }
        } catch (const std::exception&) {
            // One medium that cannot be negotiated is refused on its own (RFC 3264 section 6);
            // only when nothing else could be accepted does the whole answer fail.
            if (!HasActiveMedium(answer.Media()) && i + 1 == count) {
                throw;
            }
            ReleaseEndpoint(session, i, local);
            local = Medium(remote.MediaType(), 0, 1, remote.Protocol());
        }
        // Every m= line needs a format, a refused one included.
        if (local.Port() == 0 && local.Formats().empty() && !remote.Formats().empty()) {
            local.AddFormat(remote.Formats().front());
        }
        // RFC 4574 section 5: the answer keeps the offered labels of each medium.
        local.Attributes().Remove(kLabel);
        for (auto& label : remote.Attributes().Values(kLabel)) {
            local.Attributes().Add(std::string(kLabel), std::move(label));
        }
    }
    session.SetRemoteSDP(offer);
    return body;
}

void MediaNegotiator::AddMedium(ISessionImpl& session, unsigned long index, Medium& answered,
                                const std::vector<Connection>& offeredConnections) const {
    if (offeredConnections.empty()) {
        throw std::invalid_argument("remote medium has no connection data");
    }
    const auto addressType = offeredConnections.front().addrType;
    GetLocalMediaEndpoint(answered, addressType);

    auto& addresses = AddressesFor(session, index);
    if (addresses[index].empty() && !answered.Connections().empty()) {
        addresses[index] = answered.Connections().front().address;
    }
    if (addresses[index].empty()) {
        FailEndpoint();
    }
    // RFC 3264 section 8.4: an offer on the unspecified address holds the stream; the answer
    // mirrors it and gives no RTCP address.
    const bool held = std::all_of(offeredConnections.begin(), offeredConnections.end(),
                                  [](const Connection& c) { return c.IsUnspecified(); });
    if (!held) {
        answered.SetConnection(Connection(addressType, addresses[index]));
        AddRTCPAttribute(answered);
    } else {
        answered.SetConnection(Connection(addressType, UnspecifiedAddress(addressType)));
    }
}

void MediaNegotiator::ReleaseEndpoint(ISessionImpl& session, unsigned long index, const Medium& local) const {
    auto& addresses = session.LocalConnectionAddresses();
    if (index >= addresses.size() || addresses[index].empty() || local.Port() == 0) {
        return;
    }
    const std::string address = addresses[index];
    LocalMediaEndpointSurplus(address.c_str(), local.Port());
    session.LocalConnectionAddresses()[index].clear();
}

void MediaNegotiator::RemoveMedium(ISessionImpl& session, unsigned long index, Medium& local,
                                   const Medium& remote) const {
    auto& addresses = session.LocalConnectionAddresses();
    if (index >= addresses.size() || addresses[index].empty() || local.Port() == 0) {
        return;
    }
    ReleaseEndpoint(session, index, local);
    local = RejectedMedium(remote);
}

void MediaNegotiator::VerifyAnswer(ISessionImpl& session, const stack::SdpBody& answer) const {
    const auto& answered = answer.Session();
    auto& body = GetLocalSDP(session, answered.Origin().addrType);
    auto& local = body.Session();
    if (answered.Media().size() != local.Media().size()) {
        throw std::invalid_argument("media description count cannot differ between offer and answer");
    }
    for (std::size_t i = 0; i < answered.Media().size(); ++i) {
        auto& offered = local.Media()[i];
        const auto& remote = answered.Media()[i];
        if (remote.Port() != 0) {
            for (const auto& negotiator : negotiators_) {
                negotiator->VerifyAnswer(session, i, offered, remote);
            }
            securityNegotiator_->VerifyAnswer(session, i, offered, remote);
        } else {
            RemoveMedium(session, i, offered, remote);
        }
    }
    session.SetRemoteSDP(answer);
}

} // namespace zel::sip

#include "dum/SessionImpl.h"

#include "stack/base/Log.h"
#include "stack/dum/HandleError.h"
#include "stack/message/Warning.h"

#include <charconv>
#include <cstring>
#include <optional>

namespace zel::sip {

namespace {

// The warn-code the product uses for its own refusals (RFC 3261 section 20.43: 399 is
// "Miscellaneous warning", free text for a human).
constexpr std::uint16_t kMiscellaneousWarning = 399;

/// The media description `index` of `sdp`, or null when there is no SDP or the index is out of
/// range.
const stack::sdp::Medium* MediumAt(const stack::SdpBody* sdp, std::uint64_t index) noexcept {
    if (sdp == nullptr || index >= sdp->Session().Media().size()) {
        return nullptr;
    }
    return &sdp->Session().Media()[static_cast<std::size_t>(index)];
}

/// Copies at most size - 1 bytes, zero-fills the rest of them and terminates at size - 1.
void CopyOut(std::string_view text, char* buffer, std::uint64_t size) noexcept {
    const std::uint64_t room = size - 1;
    const std::uint64_t copied = text.size() < room ? text.size() : room;
    std::memcpy(buffer, text.data(), copied);
    std::memset(buffer + copied, 0, room - copied + 1);
}

/// RFC 3605: the port at the start of the first a=rtcp value, else the RTP port plus one (16-bit
/// arithmetic, so 65535 gives 0). RTCP multiplexing is not taken into account: the host decides.
std::uint16_t ControlPort(const stack::SdpBody* sdp, std::uint64_t index) noexcept {
    const stack::sdp::Medium* medium = MediumAt(sdp, index);
    if (medium == nullptr) {
        return 0;
    }
    if (const auto rtcp = medium->Attributes().First("rtcp")) {
        std::uint16_t port = 0;
        const auto [end, error] = std::from_chars(rtcp->data(), rtcp->data() + rtcp->size(), port);
        (void)end;
        return error == std::errc() ? port : 0;
    }
    return static_cast<std::uint16_t>(medium->Port() + 1U);
}

std::uint16_t MediaPort(const stack::SdpBody* sdp, std::uint64_t index) noexcept {
    const stack::sdp::Medium* medium = MediumAt(sdp, index);
    return medium != nullptr ? medium->Port() : 0;
}

/// The connection addresses that apply to `medium`: its own c= lines or the session's.
std::vector<stack::sdp::Connection> ConnectionsOf(const stack::SdpBody& sdp, const stack::sdp::Medium& medium) {
    return sdp.Session().ConnectionsOf(medium);
}

} // namespace

SessionImpl::SessionImpl(stack::DialogUsageManager& dum, stack::InviteSessionHandle session,
                         const IComputerNameProvider& computerName)
    : handle_(std::move(session)), dum_(dum), computerName_(computerName), callId_(handle_->CallId()) {}

void SessionImpl::Publish() {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->local = ShareLocalSDP();
    snapshot->remote = remoteSdp_;
    snapshot->addresses = localAddresses_;
    const std::lock_guard lock(publishedMutex_);
    published_ = std::move(snapshot);
}

template <typename Read>
auto SessionImpl::WithView(Read read) const {
    if (dum_.Thread().IsCurrentThread()) {
        // The dialog thread is the only writer: its reads cannot meet a change.
        return read(View{localSdp_.Get(), remoteSdp_.get(), &localAddresses_});
    }
    std::shared_ptr<const Snapshot> snapshot;
    {
        const std::lock_guard lock(publishedMutex_);
        snapshot = published_;
    }
    return read(View{snapshot->local.get(), snapshot->remote.get(), &snapshot->addresses});
}

// ---- dialog-thread operations -------------------------------------------------------------------

std::string SessionImpl::CallId() const {
    ThrowIfEnded();
    return callId_;
}

bool SessionImpl::IsConnected() const {
    return handle_->IsConnected();
}

bool SessionImpl::IsSupportedByPeer(std::string_view tag) const {
    return handle_->IsSupportedByPeer(tag);
}

void SessionImpl::SetLocalSDP(const stack::SdpBody& sdp) {
    localSdp_.Assign(sdp);
    RebuildLocalAddresses();
}

void SessionImpl::AdoptLocalSDP(std::shared_ptr<const stack::SdpBody> sdp) {
    localSdp_.Adopt(std::move(sdp));
    RebuildLocalAddresses();
}

void SessionImpl::RebuildLocalAddresses() {
    localAddresses_.clear();
    const stack::SdpBody* local = localSdp_.Get();
    if (local == nullptr) {
        return;
    }
    const auto& media = local->Session().Media();
    localAddresses_.reserve(media.size());
    for (const auto& medium : media) {
        const auto connections = ConnectionsOf(*local, medium);
        localAddresses_.push_back(connections.empty() ? std::string() : connections.front().address);
    }
}

void SessionImpl::SetRemoteSDP(const stack::SdpBody& sdp) {
    if (lentRemote_ != nullptr && lentRemote_.get() == &sdp) {
        remoteSdp_ = lentRemote_;
        return;
    }
    remoteSdp_ = std::make_shared<const stack::SdpBody>(sdp);
}

// ---- getters (any thread) -------------------------------------------------------------------------

const std::string& SessionImpl::CallIdText() const {
    ThrowIfEnded();
    return callId_;
}

std::uint64_t SessionImpl::GetMediaCount() const {
    return WithView([](const View& view) -> std::uint64_t {
        const stack::SdpBody* sdp = view.Any();
        return sdp != nullptr ? sdp->Session().Media().size() : 0;
    });
}

const char* SessionImpl::GetMediaLabel(std::uint64_t index) const {
    return WithView([&](const View& view) -> const char* {
        const stack::sdp::Medium* medium = MediumAt(view.Any(), index);
        if (medium == nullptr) {
            return nullptr;
        }
        for (const auto& attribute : medium->Attributes().All()) {
            if (attribute.name == "label") {
                return attribute.value.c_str();
            }
        }
        return nullptr;
    });
}

void SessionImpl::GetLocalConnectionAddress(std::uint64_t index, char* buffer, std::uint64_t size) const {
    WithView([&](const View& view) {
        if (index < view.addresses->size()) {
            CopyOut((*view.addresses)[static_cast<std::size_t>(index)], buffer, size);
            return 0;
        }
        if (const stack::sdp::Medium* medium = MediumAt(view.local, index)) {
            const auto connections = ConnectionsOf(*view.local, *medium);
            CopyOut(connections.empty() ? std::string_view() : std::string_view(connections.front().address), buffer,
                    size);
            return 0;
        }
        buffer[size - 1] = '\0';
        return 0;
    });
}

std::uint64_t SessionImpl::GetRemoteConnectionAddressCount(std::uint64_t index) const {
    return WithView([&](const View& view) -> std::uint64_t {
        const stack::sdp::Medium* medium = MediumAt(view.remote, index);
        return medium != nullptr ? ConnectionsOf(*view.remote, *medium).size() : 0;
    });
}

void SessionImpl::GetRemoteConnectionAddress(std::uint64_t index, std::uint64_t address, char* buffer,
                                             std::uint64_t size) const {
    WithView([&](const View& view) {
        const stack::sdp::Medium* medium = MediumAt(view.remote, index);
        if (medium == nullptr) {
            return 0;
        }
        const auto connections = ConnectionsOf(*view.remote, *medium);
        if (address < connections.size()) {
            CopyOut(connections[static_cast<std::size_t>(address)].address, buffer, size);
        }
        return 0;
    });
}

std::uint64_t SessionImpl::GetPortCount(std::uint64_t index) const {
    return WithView([&](const View& view) -> std::uint64_t {
        const stack::sdp::Medium* medium = MediumAt(view.Any(), index);
        return medium != nullptr ? medium->PortCount() : 0;
    });
}

std::uint16_t SessionImpl::GetLocalMediaPort(std::uint64_t index) const {
    return WithView([&](const View& view) { return MediaPort(view.local, index); });
}

std::uint16_t SessionImpl::GetLocalControlPort(std::uint64_t index) const {
    return WithView([&](const View& view) { return ControlPort(view.local, index); });
}

std::uint16_t SessionImpl::GetRemoteMediaPort(std::uint64_t index) const {
    return WithView([&](const View& view) { return MediaPort(view.remote, index); });
}

std::uint16_t SessionImpl::GetRemoteControlPort(std::uint64_t index) const {
    return WithView([&](const View& view) { return ControlPort(view.remote, index); });
}

std::string SessionImpl::GetAttributes(std::uint64_t index) const {
    return WithView([&](const View& view) {
        const stack::sdp::Medium* medium = MediumAt(view.remote, index);
        std::string text;
        if (medium == nullptr) {
            return text;
        }
        for (const auto& codec : medium->Codecs()) {
            const std::string type = std::to_string(codec.payloadType);
            text.append("rtpmap:").append(type).append(" ").append(codec.RtpmapText()).append("\r\n");
            if (!codec.formatParameters.empty()) {
                text.append("fmtp:").append(type).append(" ").append(codec.formatParameters).append("\r\n");
            }
        }
        for (const auto& crypto : medium->Attributes().Values("crypto")) {
            text.append("crypto:").append(crypto).append("\r\n");
        }
        if (medium->Attributes().Exists("inactive")) {
            text.append("inactive\r\n");
        }
        if (medium->Attributes().Exists("rtcp-mux")) {
            text.append("rtcp-mux\r\n");
        }
        return text;
    });
}

// ---- actions (any thread) ---------------------------------------------------------------------------

void SessionImpl::ThrowIfEnded() const {
    // Get only reports here: it raises for an ended session and never dereferences one from this
    // thread. A session that ends after this check is caught on the dialog thread.
    if (!handle_.IsValid()) {
        (void)handle_.Get();
    }
}

template <typename Command>
void SessionImpl::OnDialogThread(const char* what, Command command) {
    if (dum_.Thread().IsCurrentThread()) {
        // The operation may end the session and the handler then drops this object: work on a
        // copy of the handle and touch nothing of this object afterwards.
        const stack::InviteSessionHandle handle = handle_;
        command(*handle);
        return;
    }
    // The session lives on the dialog thread; calling it from here would race that thread, so
    // the operation is carried there. The caller hears now of a session that has ended already.
    ThrowIfEnded();
    dum_.Post([handle = handle_, what, command = std::move(command)] {
        try {
            command(*handle);
        } catch (const stack::HandleError&) {
            // It ended on its own meanwhile: nothing left to do.
        } catch (const std::exception& error) {
            ZEL_LOG(Warning, "{} from a host thread failed: {}", what, error.what());
        }
    });
}

void SessionImpl::Reject(std::int32_t code, const char* text) {
    std::optional<stack::Warning> warning;
    if (text != nullptr) {
        std::string agent;
        try {
            agent = computerName_.GetFQDN();
        } catch (...) {
            // A Warning without a host name still tells the peer why.
        }
        warning.emplace(kMiscellaneousWarning, std::move(agent), text);
    }
    OnDialogThread("rejecting a session",
                   [code, warning](stack::InviteSession& session) { session.Reject(code, warning); });
}

void SessionImpl::Terminate() {
    OnDialogThread("ending a session",
                   [](stack::InviteSession& session) { session.End(stack::EndReason::UserHangup); });
}

} // namespace zel::sip

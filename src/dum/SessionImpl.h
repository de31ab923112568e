#pragma once

#include "core/IComputerNameProvider.h"
#include "dum/ISession.h"
#include "dum/SharedSdp.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/InviteSession.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zel::sip {

/// One call: the dialog layer's invite session handle, the local and remote SDP of the latest
/// offer/answer exchange, the local connection address of each media description, and the six
/// signals (see ISession for which SDP each getter reads and the thread rules).
///
/// The Call-ID is copied when the object is made (on the dialog thread), so the host can read it
/// from any thread while the call lives; handles themselves resolve on the dialog thread only.
class SessionImpl final : public ISession {
public:
    /// Dialog thread: `session` must resolve.
    SessionImpl(stack::DialogUsageManager& dum, stack::InviteSessionHandle session,
                const IComputerNameProvider& computerName);

    // ISessionImpl: dialog thread (the negotiator, under the handler's lock).
    std::string CallId() const override;
    bool IsConnected() const override;
    bool IsSupportedByPeer(std::string_view tag) const override;
    std::vector<std::string>& LocalConnectionAddresses() override { return localAddresses_; }
    const std::vector<std::string>& LocalConnectionAddresses() const override { return localAddresses_; }
    /// The local SDP to edit: a copy is made first when the current one is shared (published to
    /// the getters or handed to the dialog layer), which must never change.
    stack::SdpBody* GetLocalSDP() override { return localSdp_.Edit(); }
    const stack::SdpBody* GetLocalSDP() const override { return localSdp_.Get(); }
    void SetLocalSDP(const stack::SdpBody& sdp) override;
    const stack::SdpBody* GetRemoteSDP() const override { return remoteSdp_.get(); }
    /// Keeps a copy of `sdp`, or shares it when it is the body lent by LendRemoteSDP.
    void SetRemoteSDP(const stack::SdpBody& sdp) override;

    /// The local SDP as an immutable share (null when there is none), for the dialog layer's
    /// ProvideOffer / ProvideAnswer: from now on an edit goes to a fresh copy. Dialog thread.
    std::shared_ptr<const stack::SdpBody> ShareLocalSDP() noexcept { return localSdp_.Share(); }
    /// Takes `sdp`, immutable and possibly shared with the dialog layer, as the local SDP and
    /// rebuilds the local connection addresses from it, as SetLocalSDP does. Dialog thread.
    void AdoptLocalSDP(std::shared_ptr<const stack::SdpBody> sdp);
    /// Until the next call, a SetRemoteSDP of exactly this object (the negotiator's argument)
    /// shares it instead of copying it; null ends the loan. `sdp` must not change afterwards.
    /// Dialog thread.
    void LendRemoteSDP(std::shared_ptr<const stack::SdpBody> sdp) noexcept { lentRemote_ = std::move(sdp); }
    /// Replaces the remote SDP by `sdp`, immutable and equal to it (the dialog layer's own body,
    /// shared instead of a copy). Dialog thread.
    void ShareRemoteSDP(std::shared_ptr<const stack::SdpBody> sdp) noexcept { remoteSdp_ = std::move(sdp); }

    // ISession: any thread.
    const std::string& CallIdText() const override;
    std::uint64_t UsageId() const noexcept override { return handle_.Id(); }
    std::uint64_t GetMediaCount() const override;
    const char* GetMediaLabel(std::uint64_t index) const override;
    void GetLocalConnectionAddress(std::uint64_t index, char* buffer, std::uint64_t size) const override;
    std::uint64_t GetRemoteConnectionAddressCount(std::uint64_t index) const override;
    void GetRemoteConnectionAddress(std::uint64_t index, std::uint64_t address, char* buffer,
                                    std::uint64_t size) const override;
    std::uint64_t GetPortCount(std::uint64_t index) const override;
    std::uint16_t GetLocalMediaPort(std::uint64_t index) const override;
    std::uint16_t GetLocalControlPort(std::uint64_t index) const override;
    std::uint16_t GetRemoteMediaPort(std::uint64_t index) const override;
    std::uint16_t GetRemoteControlPort(std::uint64_t index) const override;
    std::string GetAttributes(std::uint64_t index) const override;
    void Reject(std::int32_t code, const char* text) override;
    void Terminate() override;

    /// The remote SDP if there is one, else the local one, else null. Dialog thread.
    const stack::SdpBody* GetAnySDP() const noexcept { return remoteSdp_ ? remoteSdp_.get() : localSdp_.Get(); }

    /// Makes the negotiation state as it is now what getters on other threads read. The dialog
    /// thread calls it once an exchange (or a failed attempt) is over, never half way, so a host
    /// thread sees one exchange or the next and never an SDP being replaced or edited.
    void Publish();
    const stack::InviteSessionHandle& Handle() const noexcept { return handle_; }

private:
    /// What the getters read: the live state on the dialog thread, the last published copy
    /// elsewhere.
    struct View {
        const stack::SdpBody* local = nullptr;
        const stack::SdpBody* remote = nullptr;
        const std::vector<std::string>* addresses = nullptr;
        const stack::SdpBody* Any() const noexcept { return remote != nullptr ? remote : local; }
    };
    /// Shares of the bodies as they were at Publish: the live ones are never edited in place
    /// once shared (see GetLocalSDP), so no copy is needed.
    struct Snapshot {
        std::shared_ptr<const stack::SdpBody> local;
        std::shared_ptr<const stack::SdpBody> remote;
        std::vector<std::string> addresses;
    };
    /// Runs `read` on the view this thread may use; the published copy is held for the call.
    template <typename Read>
    auto WithView(Read read) const;

    /// One entry per media description of the local SDP: its first connection address or empty.
    void RebuildLocalAddresses();
    /// Raises the dialog layer's handle error when the session has ended. Any thread.
    void ThrowIfEnded() const;
    /// Runs `command` with the resolved session: now on the dialog thread, else posted there.
    template <typename Command>
    void OnDialogThread(const char* what, Command command);

    stack::InviteSessionHandle handle_;
    stack::DialogUsageManager& dum_;
    const IComputerNameProvider& computerName_;
    std::string callId_;
    std::vector<std::string> localAddresses_;
    // The bodies of the latest exchange, shared with the published snapshot and the dialog
    // layer's session rather than copied for each.
    SharedSdp localSdp_;
    std::shared_ptr<const stack::SdpBody> remoteSdp_;
    std::shared_ptr<const stack::SdpBody> lentRemote_;
    mutable std::mutex publishedMutex_; ///< guards `published_` (the pointer, not what it points to)
    std::shared_ptr<const Snapshot> published_ = std::make_shared<const Snapshot>();
};

} // namespace zel::sip

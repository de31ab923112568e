#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stack/dum/DialogId.h"
#include "stack/message/NameAddr.h"
#include "stack/message/SipMessage.h"
#include "stack/message/Uri.h"

namespace zel::sip::stack {

/// The state of one dialog of RFC 3261 section 12: identifier, local and remote sequence numbers,
/// local and remote URIs, remote target, route set and the secure flag. A pure core: it builds
/// in-dialog requests and checks and learns from the ones received, and does no I/O.
///
///   UAC                                   UAS
///   request ----------------------------> CreateAsUas (Early)
///   CreateAsUac (Early) <-- 1xx with tag    (To tag = our local tag)
///   CreateAsUac / OnResponse <- 2xx ------ Confirm()
///                 (Confirmed: route set fixed)
///
/// The route set of an early dialog is replaced by the one of the 2xx that confirms it (section
/// 12.1.2); afterwards only the remote target changes, on target refresh requests and their 2xx.
///
/// Errors: creation and the checks of received messages report problems as values (a peer's bytes
/// must never make us throw); MakeRequest raises std::invalid_argument / std::logic_error on misuse.
///
/// Thread rules: not thread-safe; used on the dialog thread only. A value type (copyable).
class Dialog {
public:
    enum class State { Early, Confirmed };
    enum class Role { Uac, Uas };

    /// A request built for this dialog, and where it goes first (RFC 3261 section 12.2.1.1 and
    /// 8.1.2): the URI of the first Route, or the Request-URI when there is no Route. The caller
    /// still adds the Via (the transport decides its sent-by) and any body.
    struct OutgoingRequest {
        SipMessage request;
        Uri nextHop;
    };

    /// What the caller does with a request received in this dialog (RFC 3261 section 12.2.2).
    enum class RequestVerdict {
        Accepted,   ///< process it
        OutOfOrder, ///< CSeq lower than the remote sequence number: answer 500
        Malformed,  ///< CSeq or a target-refresh Contact cannot be read: answer 400
    };

    /// Creates the dialog a response to our request establishes (RFC 3261 section 12.1.2): a 1xx
    /// (not 100) with a To tag makes an early dialog, a 2xx a confirmed one. Route set from the
    /// response's Record-Route in reverse order; remote target from its Contact (when a 1xx has
    /// none, the Request-URI stands in until a later response brings one); local sequence number
    /// from the request; remote sequence number empty; secure when the Request-URI is sips.
    /// Returns nullopt with `error` set when the response does not create a dialog with this
    /// request (no To tag, another Call-ID, From tag or CSeq, a final non-2xx, unreadable headers).
    static std::optional<Dialog> CreateAsUac(const SipMessage& request, const SipMessage& response,
                                             std::string* error = nullptr);

    /// Creates the dialog we establish by answering `request` with a 1xx or 2xx carrying our
    /// `localTag` in To (RFC 3261 section 12.1.1). The dialog starts Early; call Confirm when the
    /// 2xx goes out. Route set from Record-Route in order; remote target from Contact; remote
    /// sequence number from CSeq; local sequence number empty. `localContact` is the Contact we
    /// send, repeated in our target refresh requests. Returns nullopt with `error` set when the
    /// request cannot create a dialog (no or unreadable Contact, Call-ID, From, To or CSeq).
    static std::optional<Dialog> CreateAsUas(const SipMessage& request, std::string localTag,
                                             std::optional<NameAddr> localContact, std::string* error = nullptr);

    /// Builds an in-dialog request (RFC 3261 section 12.2.1.1): Request-URI and Route from the
    /// remote target and route set (with the strict-routing rewrite when the first route lacks
    /// `lr`), From and To with the tags, Call-ID, CSeq, Max-Forwards 70 and, for target refresh
    /// methods, our Contact. The local sequence number is incremented (starting at 1 when empty),
    /// except for ACK, which takes the number of the latest INVITE we sent in this dialog.
    /// Raises std::invalid_argument for an empty method or CANCEL (build a CANCEL from the request
    /// it cancels) and std::logic_error for an ACK when no INVITE was sent in this dialog.
    OutgoingRequest MakeRequest(std::string_view method);

    /// Checks a request received in this dialog and learns from it: the remote sequence number
    /// (lower -> OutOfOrder), and for target refresh requests (INVITE, UPDATE, SUBSCRIBE, NOTIFY)
    /// the remote target from their Contact. ACK and CANCEL leave the sequence number alone.
    /// A request that is not Accepted changes nothing.
    RequestVerdict OnRequest(const SipMessage& request);

    /// Learns from a response to a request of ours in this dialog (its To tag must be our remote
    /// tag, else it is ignored): a 2xx to the request that created an early UAC dialog confirms it, replacing
    /// route set and remote target; a later 1xx of the early dialog and a 2xx to a target refresh
    /// request update the remote target. Returns true when this response confirmed the dialog.
    bool OnResponse(const SipMessage& response);

    /// Marks a UAS dialog confirmed: we sent the 2xx to the request that created it.
    void Confirm() noexcept { state_ = State::Confirmed; }

    const DialogId& Id() const noexcept { return id_; }
    State GetState() const noexcept { return state_; }
    Role GetRole() const noexcept { return role_; }
    /// Route set in the order requests carry it.
    const std::vector<NameAddr>& RouteSet() const noexcept { return routeSet_; }
    const Uri& RemoteTarget() const noexcept { return remoteTarget_; }
    /// The local URI (From of our requests) and the remote URI (To), without tags.
    const NameAddr& LocalUri() const noexcept { return localUri_; }
    const NameAddr& RemoteUri() const noexcept { return remoteUri_; }
    const std::optional<NameAddr>& LocalContact() const noexcept { return localContact_; }
    void SetLocalContact(NameAddr contact) { localContact_ = std::move(contact); }
    std::optional<std::uint32_t> LocalCSeq() const noexcept { return localCSeq_; }
    std::optional<std::uint32_t> RemoteCSeq() const noexcept { return remoteCSeq_; }
    bool IsSecure() const noexcept { return secure_; }

    /// Whether requests of `method` refresh the remote target (RFC 3261 section 12.2, RFC 3311,
    /// RFC 6665 section 4.1.2.1 and 4.2.1).
    static bool IsTargetRefresh(std::string_view method) noexcept;

private:
    Dialog() = default;

    DialogId id_;
    State state_ = State::Early;
    Role role_ = Role::Uac;
    std::vector<NameAddr> routeSet_;
    Uri remoteTarget_;
    NameAddr localUri_;
    NameAddr remoteUri_;
    std::optional<NameAddr> localContact_;
    std::optional<std::uint32_t> localCSeq_;
    std::optional<std::uint32_t> remoteCSeq_;
    std::optional<std::uint32_t> lastInviteCSeq_;
    std::optional<std::uint32_t> creatingCSeq_; // UAC: the request whose 2xx confirms an early dialog
    bool secure_ = false;
};

/// "Early", "Confirmed": for logs.
std::string_view ToString(Dialog::State state) noexcept;

} // namespace zel::sip::stack

#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "stack/dum/Dialog.h"
#include "stack/dum/DialogId.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// The dialogs of one request (Call-ID + local tag, RFC 3261 section 12): for a request of ours
/// that forks, one early dialog per remote tag, and which of them got the first 2xx (section
/// 13.2.2.4); for a request we received, the one dialog we create. A pure core, no I/O.
///
///   our INVITE
///   1xx tag=a -> dialog a (Early)      1xx tag=b -> dialog b (Early)
///   2xx tag=b -> b Confirmed, first success          (a stays Early until the caller ends it)
///   2xx tag=a -> a Confirmed, AdditionalSuccess      (the caller ACKs and BYEs it)
///   3xx-6xx   -> every early dialog ends (section 12.3)
///
/// Thread rules: not thread-safe; dialog thread only. Pointers to dialogs stay valid until that
/// dialog is removed (RemoveDialog, a final non-2xx response) or the set is destroyed.
class DialogSet {
public:
    /// A set for the dialogs `request` (ours, with a From tag) may create; the request is kept as
    /// the template the dialogs are created from. Raises std::invalid_argument when it is not a
    /// request or lacks a readable Call-ID, From tag or CSeq.
    /// Early dialogs kept per set (forks of one request); 1xx responses creating more are ignored.
    static constexpr std::size_t kMaxDialogs = 32;

    explicit DialogSet(SipMessage request);
    /// A set for a request we received and answer with `localTag`.
    explicit DialogSet(DialogSetId id);

    /// What a response to our request did to the set.
    enum class ResponseEffect {
        Ignored,           ///< not for this set or its request, 100, no To tag, or unreadable
        EarlyDialog,       ///< a 1xx created or refreshed an early dialog
        FirstSuccess,      ///< the first 2xx: its dialog is the one that answered
        AdditionalSuccess, ///< a further 2xx from another fork (the caller ACKs it, then sends BYE)
        Failure,           ///< a final non-2xx: every early dialog ended
    };
    struct ResponseResult {
        ResponseEffect effect = ResponseEffect::Ignored;
        Dialog* dialog = nullptr; ///< the dialog the response belongs to, when it has one
        std::string error;        ///< why it was ignored, for logs
    };

    /// Routes a response to our request (same CSeq; responses to requests sent inside a dialog go
    /// to Dialog::OnResponse) to its dialog by To tag, creating the dialog when the tag
    /// is new (forking). Per-packet: problems are reported in the result.
    ResponseResult OnResponse(const SipMessage& response);

    /// Adds a dialog (UAS side, or a dialog built elsewhere); false when its id is not of this set
    /// or its remote tag is taken.
    bool AddDialog(Dialog dialog);
    /// Removes the dialog with this remote tag; returns whether there was one.
    bool RemoveDialog(std::string_view remoteTag);

    Dialog* Find(const DialogId& id) noexcept;
    Dialog* FindByRemoteTag(std::string_view remoteTag) noexcept;
    /// The dialog that got the first 2xx, or null.
    Dialog* Winner() noexcept;
    const std::optional<std::string>& WinnerTag() const noexcept { return winnerTag_; }

    const DialogSetId& Id() const noexcept { return id_; }
    std::size_t Size() const noexcept { return dialogs_.size(); }
    bool Empty() const noexcept { return dialogs_.empty(); }
    /// The dialogs in creation order.
    const std::list<Dialog>& Dialogs() const noexcept { return dialogs_; }
    /// The request of ours the set belongs to; null for a set of a received request.
    const SipMessage* Request() const noexcept { return request_.get(); }

private:
    DialogSetId id_;
    std::unique_ptr<SipMessage> request_; // behind a pointer: a received call's set has none
    std::list<Dialog> dialogs_; // a handful of forks at most; a list keeps the pointers we hand out valid
    std::optional<std::string> winnerTag_;
};

/// "Ignored", "EarlyDialog", ...: for logs.
std::string_view ToString(DialogSet::ResponseEffect effect) noexcept;

} // namespace zel::sip::stack

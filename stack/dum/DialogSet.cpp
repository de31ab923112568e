#include "stack/dum/DialogSet.h"

#include <algorithm>
#include <stdexcept>

#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"

namespace zel::sip::stack {

namespace {

std::string_view TagOf(const NameAddr& address) noexcept {
    const Parameter* tag = address.Params().Find("tag");
    return tag != nullptr && tag->hasValue ? std::string_view(tag->value) : std::string_view();
}

} // namespace

DialogSet::DialogSet(SipMessage request) {
    if (!request.IsRequest()) {
        throw std::invalid_argument("DialogSet: needs a request");
    }
    const CallId* callId = request.Peek<CallId>(HeaderType::CallId);
    const NameAddr* from = request.Peek<NameAddr>(HeaderType::From);
    if (callId == nullptr || from == nullptr || TagOf(*from).empty() ||
        request.Peek<CSeq>(HeaderType::CSeq) == nullptr) {
        throw std::invalid_argument("DialogSet: the request needs a Call-ID, a From tag and a CSeq");
    }
    id_ = DialogSetId{callId->Value(), std::string(TagOf(*from))};
    request_ = std::make_unique<SipMessage>(std::move(request));
}

DialogSet::DialogSet(DialogSetId id) : id_(std::move(id)) {}

DialogSet::ResponseResult DialogSet::OnResponse(const SipMessage& response) {
    ResponseResult result;
    if (!request_) {
        result.error = "a set of a received request gets no responses";
        return result;
    }
    const CallId* callId = response.Peek<CallId>(HeaderType::CallId);
    const NameAddr* from = response.Peek<NameAddr>(HeaderType::From);
    const NameAddr* to = response.Peek<NameAddr>(HeaderType::To);
    if (!response.IsResponse() || callId == nullptr || from == nullptr || to == nullptr) {
        result.error = "not a readable response";
        return result;
    }
    if (callId->Value() != id_.callId || TagOf(*from) != id_.localTag) {
        result.error = "the response belongs to another dialog set";
        return result;
    }
    const CSeq* cseq = response.Peek<CSeq>(HeaderType::CSeq);
    const CSeq& ours = request_->Get<CSeq>(HeaderType::CSeq);
    if (cseq == nullptr || cseq->Sequence() != ours.Sequence() || cseq->Method() != ours.Method()) {
        // A response to a request sent inside one of the dialogs (PRACK, UPDATE) belongs to that
        // dialog; counting its 2xx here would crown a winner the INVITE never had.
        result.error = "not a response to the request of this set";
        return result;
    }
    const int status = response.StatusCode();
    if (status >= 300) {
        // Section 12.3 / 13.2.2.3: a final non-2xx ends every early dialog of the request. A
        // dialog a 2xx confirmed survives (the failure then answers another fork).
        std::erase_if(dialogs_, [](const Dialog& dialog) { return dialog.GetState() == Dialog::State::Early; });
        result.effect = ResponseEffect::Failure;
        return result;
    }
    const std::string_view remoteTag = TagOf(*to);
    if (status <= 100 || remoteTag.empty()) {
        result.error = "no dialog without a To tag";
        return result;
    }

    Dialog* dialog = FindByRemoteTag(remoteTag);
    if (dialog == nullptr && status < 200 && dialogs_.size() >= kMaxDialogs) {
        // A forking proxy gone wild (or a peer inventing To tags) must not grow the set without
        // end: further early dialogs are not tracked. A 2xx is still taken, so that it is ACKed
        // (and, when it is not the first, ended with BYE).
        result.error = "too many early dialogs in one dialog set";
        return result;
    }
    if (dialog == nullptr) {
        std::optional<Dialog> created = Dialog::CreateAsUac(*request_, response, &result.error);
        if (!created) {
            return result;
        }
        dialogs_.push_back(std::move(*created));
        dialog = &dialogs_.back();
    } else {
        dialog->OnResponse(response);
    }
    result.dialog = dialog;
    if (status < 200) {
        result.effect = ResponseEffect::EarlyDialog;
    } else if (!winnerTag_) {
        winnerTag_ = std::string(remoteTag);
        result.effect = ResponseEffect::FirstSuccess;
    } else {
        // The winner's retransmitted 2xx (the caller re-sends its ACK), or another fork's 2xx.
        result.effect = *winnerTag_ == remoteTag ? ResponseEffect::FirstSuccess : ResponseEffect::AdditionalSuccess;
    }
    return result;
}

bool DialogSet::AddDialog(Dialog dialog) {
    if (dialog.Id().SetId() != id_ || FindByRemoteTag(dialog.Id().remoteTag) != nullptr) {
        return false;
    }
    dialogs_.push_back(std::move(dialog));
    return true;
}

bool DialogSet::RemoveDialog(std::string_view remoteTag) {
    const auto removed =
        std::erase_if(dialogs_, [remoteTag](const Dialog& dialog) { return dialog.Id().remoteTag == remoteTag; });
    // The winner's tag stays recorded: a later 2xx of another fork is still an additional one.
    return removed > 0;
}

Dialog* DialogSet::Find(const DialogId& id) noexcept {
    return id.SetId() == id_ ? FindByRemoteTag(id.remoteTag) : nullptr;
}

Dialog* DialogSet::FindByRemoteTag(std::string_view remoteTag) noexcept {
    auto it = std::find_if(dialogs_.begin(), dialogs_.end(),
                           [remoteTag](const Dialog& dialog) { return dialog.Id().remoteTag == remoteTag; });
    return it != dialogs_.end() ? &*it : nullptr;
}

Dialog* DialogSet::Winner() noexcept {
    return winnerTag_ ? FindByRemoteTag(*winnerTag_) : nullptr;
}

std::string_view ToString(DialogSet::ResponseEffect effect) noexcept {
    switch (effect) {
    case DialogSet::ResponseEffect::Ignored:
        return "Ignored";
    case DialogSet::ResponseEffect::EarlyDialog:
        return "EarlyDialog";
    case DialogSet::ResponseEffect::FirstSuccess:
        return "FirstSuccess";
    case DialogSet::ResponseEffect::AdditionalSuccess:
        return "AdditionalSuccess";
    case DialogSet::ResponseEffect::Failure:
        return "Failure";
    }
    return "?";
}

} // namespace zel::sip::stack

#include "stack/dum/MergedRequests.h"

#include "stack/base/CaseInsensitive.h"
#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"
#include "stack/message/NameAddr.h"
#include "stack/message/Via.h"

namespace zel::sip::stack {

namespace {

constexpr std::string_view kMagicCookie = "z9hG4bK";

// What a server transaction is matched by (RFC 3261 section 17.2.3): branch plus sent-by when the
// branch carries the magic cookie, otherwise (RFC 2543) the Request-URI and the top Via, which
// with From tag, Call-ID and CSeq (already in the key) is what that older rule compares.
std::string TransactionIdentity(const SipMessage& request, const Via& via) {
    std::string identity;
    const std::string_view branch = via.Branch();
    if (branch.size() > kMagicCookie.size() && branch.substr(0, kMagicCookie.size()) == kMagicCookie) {
        identity.append(branch).push_back('|');
        identity.append(ToLower(via.Host())).push_back(':');
        identity.append(std::to_string(via.Port()));
    } else {
        identity.append(request.RawRequestUri()).push_back('|');
        identity.append(via.ToString());
    }
    return identity;
}

} // namespace

MergedRequests::MergedRequests(std::size_t capacity, std::chrono::seconds lifetime)
    : capacity_(capacity == 0 ? 1 : capacity), lifetime_(lifetime) {}

bool MergedRequests::IsMerged(const SipMessage& request, TimePoint now) noexcept {
    try {
        if (!request.IsRequest() || request.Method() == "ACK" || request.Method() == "CANCEL") {
            return false;
        }
        const NameAddr* to = request.Peek<NameAddr>(HeaderType::To);
        const NameAddr* from = request.Peek<NameAddr>(HeaderType::From);
        const CallId* callId = request.Peek<CallId>(HeaderType::CallId);
        const CSeq* cseq = request.Peek<CSeq>(HeaderType::CSeq);
        const Via* via = request.Peek<Via>(HeaderType::Via);
        if (to == nullptr || to->Params().Has("tag") || from == nullptr || callId == nullptr || cseq == nullptr ||
            via == nullptr) {
            return false;
        }
        const Parameter* fromTag = from->Params().Find("tag");
        std::string key;
        key.append(fromTag != nullptr ? std::string_view(fromTag->value) : std::string_view()).push_back('\n');
        key.append(callId->ToString()).push_back('\n');
        key.append(cseq->ToString());

        Expire(now);
        if (const auto found = entries_.find(key); found != entries_.end()) {
            return found->second.transaction != TransactionIdentity(request, *via);
        }
        if (entries_.size() >= capacity_) {
            entries_.erase(order_.front());
            order_.pop_front();
        }
        entries_.emplace(key, Entry{TransactionIdentity(request, *via), now + lifetime_});
        order_.push_back(std::move(key));
        return false;
    } catch (const std::exception&) {
        // Out of memory while copying texts: treat the request as new rather than refuse it.
        return false;
    }
}

void MergedRequests::Expire(TimePoint now) {
    while (!order_.empty()) {
        const auto found = entries_.find(order_.front());
        if (found != entries_.end() && found->second.expires > now) {
            break;
        }
        if (found != entries_.end()) {
            entries_.erase(found);
        }
        order_.pop_front();
    }
}

} // namespace zel::sip::stack

#include "stack/transaction/TransactionKey.h"

#include <boost/container_hash/hash.hpp>

#include "stack/base/CaseInsensitive.h"

namespace zel::sip::stack {

namespace {

std::string_view TagOf(const SipMessage& message, HeaderType type) {
    const NameAddr* value = message.Peek<NameAddr>(type);
    if (value == nullptr) {
        return {};
    }
    const Parameter* tag = value->Params().Find("tag");
    return tag != nullptr ? std::string_view(tag->value) : std::string_view{};
}

std::string SentBy(const Via& via) {
    std::string out = ToLower(via.Host());
    if (via.HasPort()) {
        out += ':';
        out += std::to_string(via.Port());
    }
    return out;
}

std::string_view NormalisedMethod(std::string_view method) { return method == "ACK" ? "INVITE" : method; }

} // namespace

// A branch that is only the cookie carries no identifier (RFC 4475 section 3.2.1): every such
// request would share one key, so it falls back to RFC 2543 matching like a branch without it.
bool HasMagicCookie(std::string_view branch) noexcept {
    return branch.size() > kMagicCookie.size() && branch.substr(0, kMagicCookie.size()) == kMagicCookie;
}

std::string TransactionKey::ToString() const {
    if (IsRfc3261()) {
        return branch + ' ' + (sentBy.empty() ? std::string() : sentBy + ' ') + method;
    }
    return "2543 " + method + ' ' + requestUri + ' ' + callId + ' ' + std::to_string(cseq) + " from-tag=" + fromTag +
           " to-tag=" + toTag + " via=" + topVia;
}

std::size_t TransactionKeyHash::operator()(const TransactionKey& key) const noexcept {
    std::size_t seed = 0;
    boost::hash_combine(seed, key.branch);
    boost::hash_combine(seed, key.sentBy);
    boost::hash_combine(seed, key.method);
    if (!key.IsRfc3261()) {
        boost::hash_combine(seed, key.requestUri);
        boost::hash_combine(seed, key.fromTag);
        boost::hash_combine(seed, key.toTag);
        boost::hash_combine(seed, key.callId);
        boost::hash_combine(seed, key.cseq);
        boost::hash_combine(seed, key.topVia);
    }
    return seed;
}

std::optional<TransactionKey> ServerTransactionKey(const SipMessage& request) {
    if (!request.IsRequest()) {
        return std::nullopt;
    }
    const Via* via = request.Peek<Via>(HeaderType::Via, 0);
    const CSeq* cseq = request.Peek<CSeq>(HeaderType::CSeq);
    if (via == nullptr || cseq == nullptr) {
        return std::nullopt;
    }
    TransactionKey key;
    key.method = NormalisedMethod(request.Method());
    if (HasMagicCookie(via->Branch())) {
        key.branch = via->Branch();
        key.sentBy = SentBy(*via);
        return key;
    }
    // RFC 2543 peers: RFC 3261 section 17.2.3, second half.
    key.requestUri = request.RawRequestUri();
    key.fromTag = TagOf(request, HeaderType::From);
    if (key.method != "INVITE") {
        key.toTag = TagOf(request, HeaderType::To);
    }
    const CallId* callId = request.Peek<CallId>(HeaderType::CallId);
    if (callId != nullptr) {
        key.callId = callId->Value();
    }
    key.cseq = cseq->Sequence();
    key.topVia = via->ToString();
    return key;
}

std::optional<TransactionKey> CancelledInviteKey(const SipMessage& cancel) {
    if (!cancel.IsRequest() || cancel.Method() != "CANCEL") {
        return std::nullopt;
    }
    std::optional<TransactionKey> key = ServerTransactionKey(cancel);
    if (key) {
        key->method = "INVITE";
        key->toTag.clear();
    }
    return key;
}

std::optional<TransactionKey> ClientTransactionKey(const SipMessage& message) {
    const Via* via = message.Peek<Via>(HeaderType::Via, 0);
    const CSeq* cseq = message.Peek<CSeq>(HeaderType::CSeq);
    if (via == nullptr || cseq == nullptr || !HasMagicCookie(via->Branch())) {
        return std::nullopt;
    }
    TransactionKey key;
    key.branch = via->Branch();
    key.method = NormalisedMethod(message.IsRequest() ? message.Method() : std::string_view(cseq->Method()));
    return key;
}

} // namespace zel::sip::stack

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// The branch prefix that marks a branch as unique per RFC 3261 (section 8.1.1.7), compared
/// exactly as written.
inline constexpr std::string_view kMagicCookie = "z9hG4bK";

/// True when `branch` starts with the magic cookie.
bool HasMagicCookie(std::string_view branch) noexcept;

/// What identifies a transaction (RFC 3261 sections 17.1.3 and 17.2.3).
///
/// RFC 3261 form (top Via branch with the magic cookie): `branch`, `method` and, for server
/// transactions, `sentBy`. RFC 2543 form (no cookie): `branch` is empty and the request's
/// Request-URI, From tag, Call-ID, CSeq number and top Via identify the transaction, with the To
/// tag for every method but INVITE and ACK. The To tag of an INVITE and of its ACK differ (the ACK
/// carries the tag of the response), so the INVITE server transaction checks them itself.
///
/// `method` is the request method, INVITE for an ACK (the ACK of a non-2xx belongs to the INVITE
/// transaction); a CANCEL has its own transaction.
///
/// Client and server keys of the same message may be equal (a UA sending to itself): keep them
/// in separate tables.
struct TransactionKey {
    std::string branch;
    std::string sentBy; ///< lower-case host, then ":port" when a port is written; server keys only
    std::string method;
    // RFC 2543 form only:
    std::string requestUri;
    std::string fromTag;
    std::string toTag;
    std::string callId;
    std::uint32_t cseq = 0;
    std::string topVia;

    bool IsRfc3261() const noexcept { return !branch.empty(); }
    /// "branch sent-by method" or "2543 ..." for logs.
    std::string ToString() const;

    friend bool operator==(const TransactionKey&, const TransactionKey&) = default;
};

/// Hash for unordered containers of keys.
struct TransactionKeyHash {
    std::size_t operator()(const TransactionKey& key) const noexcept;
};

/// The key of the server transaction a received request belongs to or creates (RFC 3261 section
/// 17.2.3); nullopt when the request lacks a parsable top Via or CSeq (the caller answers 400 or
/// drops it). Never raises for anything a peer can send.
std::optional<TransactionKey> ServerTransactionKey(const SipMessage& request);

/// The key of the INVITE server transaction that a received CANCEL cancels (RFC 3261 section
/// 9.2): the CANCEL's own key with method INVITE. nullopt when `cancel` is not a CANCEL or its key
/// cannot be computed.
std::optional<TransactionKey> CancelledInviteKey(const SipMessage& cancel);

/// The key of a client transaction (RFC 3261 section 17.1.3): the top Via branch and the CSeq
/// method of a received response, or the branch and method of a request we send. nullopt without a
/// branch carrying the magic cookie (such a response matches no client transaction of ours) or
/// without a parsable CSeq.
std::optional<TransactionKey> ClientTransactionKey(const SipMessage& message);

} // namespace zel::sip::stack

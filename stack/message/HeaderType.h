#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zel::sip::stack {

/// How values of a header are laid out on the wire.
enum class Multiplicity : std::uint8_t {
    Single, ///< one value per message (From, To, CSeq, ...)
    List,   ///< comma-separated values, possibly over several lines (Via, Contact, Supported, ...)
    Lines,  ///< several values allowed, one per line; commas belong to the value (WWW-Authenticate, ...)
};

/// The typed value class a header's values parse into (see SipMessage::Peek).
enum class ValueKind : std::uint8_t {
    Text,           ///< stack::Text
    Token,          ///< stack::Token
    NameAddr,       ///< stack::NameAddr
    Via,            ///< stack::Via
    CSeq,           ///< stack::CSeq
    CallId,         ///< stack::CallId
    Mime,           ///< stack::Mime
    Warning,        ///< stack::Warning
    Reason,         ///< stack::Reason
    Event,          ///< stack::Event
    Number,         ///< stack::Number
    RetryAfter,     ///< stack::RetryAfter
    SessionExpires, ///< stack::SessionExpires
    RAck,           ///< stack::RAck
    Auth,           ///< stack::Auth
};

// X(enumerator, name, compact form or 0, multiplicity, value kind). Compact forms: RFC 3261
// section 7.3.3 and the IANA SIP header field registry.
#define ZEL_SIP_HEADERS(X)                                                                   \
    X(Accept, "Accept", 0, List, Mime)                                                       \
    X(AcceptContact, "Accept-Contact", 'a', List, Text)                                      \
    X(AcceptEncoding, "Accept-Encoding", 0, List, Token)                                     \
    X(AcceptLanguage, "Accept-Language", 0, List, Token)                                     \
    X(AlertInfo, "Alert-Info", 0, List, NameAddr)                                            \
    X(Allow, "Allow", 0, List, Token)                                                        \
    X(AllowEvents, "Allow-Events", 'u', List, Token)                                         \
    X(AnswerMode, "Answer-Mode", 0, Single, Token)                                           \
    X(AuthenticationInfo, "Authentication-Info", 0, Single, Auth)                            \
    X(Authorization, "Authorization", 0, Lines, Auth)                                        \
    X(CallId, "Call-ID", 'i', Single, CallId)                                                \
    X(CallInfo, "Call-Info", 0, List, NameAddr)                                              \
    X(Contact, "Contact", 'm', List, NameAddr)                                               \
    X(ContentDescription, "Content-Description", 0, Single, Text)                            \
    X(ContentDisposition, "Content-Disposition", 0, Single, Token)                           \
    X(ContentEncoding, "Content-Encoding", 'e', List, Token)                                 \
    X(ContentId, "Content-ID", 0, Single, Text)                                              \
    X(ContentLanguage, "Content-Language", 0, List, Token)                                   \
    X(ContentLength, "Content-Length", 'l', Single, Number)                                  \
    X(ContentTransferEncoding, "Content-Transfer-Encoding", 0, Single, Token)                \
    X(ContentType, "Content-Type", 'c', Single, Mime)                                        \
    X(CSeq, "CSeq", 0, Single, CSeq)                                                         \
    X(Date, "Date", 0, Single, Text)                                                         \
    X(Diversion, "Diversion", 0, List, NameAddr)                                             \
    X(ErrorInfo, "Error-Info", 0, List, NameAddr)                                            \
    X(Event, "Event", 'o', Single, Event)                                                    \
    X(Expires, "Expires", 0, Single, Number)                                                 \
    X(FeatureCaps, "Feature-Caps", 0, List, Text)                                            \
    X(FlowTimer, "Flow-Timer", 0, Single, Number)                                            \
    X(From, "From", 'f', Single, NameAddr)                                                   \
    X(Geolocation, "Geolocation", 0, List, NameAddr)                                         \
    X(HistoryInfo, "History-Info", 0, List, NameAddr)                                        \
    X(Identity, "Identity", 'y', Single, Text)                                               \
    X(IdentityInfo, "Identity-Info", 'n', Single, NameAddr)                                  \
    X(InfoPackage, "Info-Package", 0, Single, Token)                                         \
    X(InReplyTo, "In-Reply-To", 0, List, Token)                                              \
    X(Join, "Join", 0, Single, Token)                                                        \
    X(MaxBreadth, "Max-Breadth", 0, Single, Number)                                          \
    X(MaxForwards, "Max-Forwards", 0, Single, Number)                                        \
    X(MimeVersion, "MIME-Version", 0, Single, Text)                                          \
    X(MinExpires, "Min-Expires", 0, Single, Number)                                          \
    X(MinSE, "Min-SE", 0, Single, SessionExpires)                                            \
    X(Organization, "Organization", 0, Single, Text)                                         \
    X(PAccessNetworkInfo, "P-Access-Network-Info", 0, List, Token)                           \
    X(PAssertedIdentity, "P-Asserted-Identity", 0, List, NameAddr)                           \
    X(PAssociatedUri, "P-Associated-URI", 0, List, NameAddr)                                 \
    X(PCalledPartyId, "P-Called-Party-ID", 0, Single, NameAddr)                              \
    X(PChargingFunctionAddresses, "P-Charging-Function-Addresses", 0, Single, Text)          \
    X(PChargingVector, "P-Charging-Vector", 0, Single, Text)                                 \
    X(PPreferredIdentity, "P-Preferred-Identity", 0, List, NameAddr)                         \
    X(PVisitedNetworkId, "P-Visited-Network-ID", 0, List, Text)                              \
    X(Path, "Path", 0, List, NameAddr)                                                       \
    X(Priority, "Priority", 0, Single, Token)                                                \
    X(PrivAnswerMode, "Priv-Answer-Mode", 0, Single, Token)                                  \
    X(Privacy, "Privacy", 0, Single, Token)                                                  \
    X(ProxyAuthenticate, "Proxy-Authenticate", 0, Lines, Auth)                               \
    X(ProxyAuthorization, "Proxy-Authorization", 0, Lines, Auth)                             \
    X(ProxyRequire, "Proxy-Require", 0, List, Token)                                         \
    X(RAck, "RAck", 0, Single, RAck)                                                         \
    X(Reason, "Reason", 0, List, Reason)                                                     \
    X(RecordRoute, "Record-Route", 0, List, NameAddr)                                        \
    X(RecvInfo, "Recv-Info", 0, List, Token)                                                 \
    X(ReferSub, "Refer-Sub", 0, Single, Token)                                               \
    X(ReferTo, "Refer-To", 'r', Single, NameAddr)                                            \
    X(ReferredBy, "Referred-By", 'b', Single, NameAddr)                                      \
    X(RejectContact, "Reject-Contact", 'j', List, Text)                                      \
    X(Replaces, "Replaces", 0, Single, Token)                                                \
    X(ReplyTo, "Reply-To", 0, Single, NameAddr)                                              \
    X(RequestDisposition, "Request-Disposition", 'd', List, Token)                           \
    X(Require, "Require", 0, List, Token)                                                    \
    X(RetryAfter, "Retry-After", 0, Single, RetryAfter)                                      \
    X(Route, "Route", 0, List, NameAddr)                                                     \
    X(RSeq, "RSeq", 0, Single, Number)                                                       \
    X(SecurityClient, "Security-Client", 0, List, Token)                                     \
    X(SecurityServer, "Security-Server", 0, List, Token)                                     \
    X(SecurityVerify, "Security-Verify", 0, List, Token)                                     \
    X(Server, "Server", 0, Single, Text)                                                     \
    X(ServiceRoute, "Service-Route", 0, List, NameAddr)                                      \
    X(SessionExpires, "Session-Expires", 'x', Single, SessionExpires)                        \
    X(SessionId, "Session-ID", 0, Single, Text)                                              \
    X(SipETag, "SIP-ETag", 0, Single, Token)                                                 \
    X(SipIfMatch, "SIP-If-Match", 0, Single, Token)                                          \
    X(Subject, "Subject", 's', Single, Text)                                                 \
    X(SubscriptionState, "Subscription-State", 0, Single, Token)                             \
    X(Supported, "Supported", 'k', List, Token)                                              \
    X(SuppressIfMatch, "Suppress-If-Match", 0, Single, Token)                                \
    X(TargetDialog, "Target-Dialog", 0, Single, Token)                                       \
    X(Timestamp, "Timestamp", 0, Single, Text)                                               \
    X(To, "To", 't', Single, NameAddr)                                                       \
    X(Unsupported, "Unsupported", 0, List, Token)                                            \
    X(UserAgent, "User-Agent", 0, Single, Text)                                              \
    X(UserToUser, "User-to-User", 0, List, Text)                                             \
    X(Via, "Via", 'v', List, Via)                                                            \
    X(Warning, "Warning", 0, List, Warning)                                                  \
    X(WwwAuthenticate, "WWW-Authenticate", 0, Lines, Auth)

/// The standard headers the stack knows by name. `Extension` stands for every other header, which
/// the message keeps under its own name.
enum class HeaderType : std::uint8_t {
#define ZEL_SIP_HEADER_ENUM(id, name, compact, multiplicity, kind) id,
    ZEL_SIP_HEADERS(ZEL_SIP_HEADER_ENUM)
#undef ZEL_SIP_HEADER_ENUM
    Extension,
};

/// Number of standard header types (HeaderType values before Extension).
inline constexpr std::size_t kHeaderTypeCount = static_cast<std::size_t>(HeaderType::Extension);

/// What the header table knows about one standard header.
struct HeaderInfo {
    HeaderType type;
    std::string_view name;     ///< canonical spelling, e.g. "Call-ID"
    char compact;              ///< compact form, or '\0'
    Multiplicity multiplicity;
    ValueKind kind;
};

/// The entry of a standard header. `type` must not be Extension (std::out_of_range).
const HeaderInfo& GetHeaderInfo(HeaderType type);

/// The standard header called `name` (full or compact form, any case), or Extension.
/// Thread-safe; no allocation.
HeaderType LookupHeader(std::string_view name) noexcept;

/// Canonical name of a standard header ("" for Extension).
std::string_view HeaderName(HeaderType type) noexcept;

} // namespace zel::sip::stack

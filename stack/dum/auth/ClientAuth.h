#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "stack/dum/DigestCredential.h"
#include "stack/dum/auth/Digest.h"
#include "stack/message/HeaderType.h"
#include "stack/message/SipMessage.h"

namespace zel::sip::stack {

/// Digest client authentication of one usage (a dialog set or a client registration):
/// RFC 3261 section 22.2-22.3 with the algorithms of RFC 7616 and RFC 8760. Does no I/O.
///
///     usage                              ClientAuth                            peer
///       | request (Authorize: nothing held) --------------------------------->  |
///       | <------------------------------------------------ 401 / 407 challenge  |
///       | HandleChallenge(sent, response, credentials)                          |
///       |   true: answers held (Answering)   false: give up (Failed)            |
///       | bump CSeq, Authorize(retry): Authorization / Proxy-Authorization ---> |
///       | later requests: Authorize adds the same answers, nc + 1 each          |
///
/// One answer is held per challenged realm (and per header: WWW-Authenticate is answered with
/// Authorization, Proxy-Authenticate with Proxy-Authorization), at most kMaxAnswers; a new realm
/// beyond that pushes out the one challenged longest ago.
///
/// Thread rules: not thread-safe; every call runs on the dialog thread. Lifetime: owned by its
/// usage; keeps copies of everything it needs, no references to messages or credentials.
class ClientAuth {
public:
    /// The usage's view of where authentication stands.
    enum class State {
        Unchallenged, ///< no challenge seen yet: Authorize adds nothing
        Answering,    ///< answers held: Authorize adds them to every request
        Failed,       ///< the last challenge could not be answered or was a repeat
    };

    /// Makes a client nonce (RFC 7616 section 3.4: an opaque quoted string). Must not return CR or LF.
    using CnonceGenerator = std::function<std::string()>;

    /// Realms (with their nonces) kept per usage.
    static constexpr std::size_t kMaxAnswers = 8;
    /// Challenge values read per header of one response; the rest are ignored.
    static constexpr std::size_t kMaxChallengesRead = 32;

    /// `cnonce` defaults to 16 bytes of OpenSSL RAND_bytes as 32 hex digits.
    explicit ClientAuth(CnonceGenerator cnonce = {});

    /// Decides whether `response` (a 401 or 407 to `sentRequest`) can be answered and, when it can,
    /// keeps the answers that Authorize adds from now on.
    ///
    /// Every Digest challenge of the response is considered (WWW-Authenticate and
    /// Proxy-Authenticate, since a forking proxy may merge both into one response, RFC 3261 section
    /// 22.3); malformed ones, other schemes and unknown algorithms are skipped. Where one realm offers
    /// several algorithms the strongest is taken (SHA-256 over MD5, RFC 8760 section 2.4). Each realm
    /// is answered with the credential whose realm is byte-for-byte equal (realms are compared with
    /// case, as quoted); when none is and `credentials` holds exactly one, that one is used.
    ///
    /// Returns false - the request has failed - when nothing can be answered, when the status is not
    /// 401 or 407, or when a realm that `sentRequest` already carried credentials for is challenged
    /// again without stale=true (the credentials were refused: retrying them would loop, RFC 3261
    /// section 22.2). stale=true is answered again with the new nonce, once: a stale challenge to a
    /// nonce that itself came with stale=true and was used only that once is a refusal too.
    /// Returns true when the caller should resend `sentRequest` with a new CSeq through Authorize.
    ///
    /// Never throws on the peer's bytes; raises only what the cnonce generator raises.
    bool HandleChallenge(const SipMessage& sentRequest, const SipMessage& response,
                         const std::vector<DigestCredential>& credentials);

    /// Adds the held answers to `request` (a new request of the usage, or the retry after
    /// HandleChallenge): one Authorization or Proxy-Authorization per realm, using the last nonce
    /// of that realm with its nonce count incremented (RFC 7616 section 3.4). The digest-uri is the
    /// Request-URI as it stands in `request`, so set that first. Values already present for the
    /// same realm (a retry built from a copy of the refused request) are replaced; others are kept.
    /// ACK and CANCEL are left alone: neither can be challenged, and the ACK of a 2xx carries the
    /// INVITE's credentials as they were (RFC 3261 section 22.1).
    /// Raises std::invalid_argument when `request` is a response, std::runtime_error when OpenSSL
    /// fails to hash.
    void Authorize(SipMessage& request);

    /// Forgets every answer (for example when the profile's credentials change).
    void Clear() noexcept;

    State GetState() const noexcept { return state_; }
    /// Number of realms answered by Authorize.
    std::size_t AnswerCount() const noexcept { return answers_.size(); }

private:
    struct Answer {
        HeaderType header = HeaderType::Authorization;
        DigestChallenge challenge;
        DigestCredential credential;
        std::string cnonce;
        std::uint32_t nonceCount = 0; // requests that carried this nonce so far
        bool nonceFromStale = false;  // the nonce came with stale=true
    };

    Answer* Find(HeaderType header, std::string_view realm) noexcept;
    void Store(Answer answer);

    CnonceGenerator cnonce_;
    std::vector<Answer> answers_; // oldest challenged first
    State state_ = State::Unchallenged;
};

std::string_view ToString(ClientAuth::State state) noexcept;

/// 16 bytes from OpenSSL RAND_bytes as 32 lower-case hex digits. Raises std::runtime_error when
/// the generator is not seeded.
std::string RandomCnonce();

} // namespace zel::sip::stack

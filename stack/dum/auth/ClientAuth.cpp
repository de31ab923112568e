#include "stack/dum/auth/ClientAuth.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "stack/base/CaseInsensitive.h"

namespace zel::sip::stack {
namespace {

constexpr HeaderType AnswerHeaderFor(HeaderType challengeHeader) noexcept {
    return challengeHeader == HeaderType::ProxyAuthenticate ? HeaderType::ProxyAuthorization
                                                            : HeaderType::Authorization;
}

// What a request we sent already said to one realm.
struct SentCredentials {
    std::string nonce;
    std::optional<std::uint32_t> nonceCount;
};

std::optional<std::uint32_t> ReadNonceCount(std::string_view text) noexcept {
    if (text.size() != 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        const int digit = (c >= '0' && c <= '9')   ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

bool IsDigestFor(const Auth& credentials, std::string_view realm) noexcept {
    const Parameter* p = credentials.Params().Find("realm");
    return IEquals(credentials.Scheme(), "Digest") && p != nullptr && p->value == realm;
}

std::optional<SentCredentials> FindSent(const SipMessage& request, HeaderType header, std::string_view realm) {
    const std::size_t count = request.Count(header);
    for (std::size_t i = 0; i < count; ++i) {
        const Auth* sent = request.Peek<Auth>(header, i);
        if (sent != nullptr && IsDigestFor(*sent, realm)) {
            return SentCredentials{std::string(sent->Param("nonce")), ReadNonceCount(sent->Param("nc"))};
        }
    }
    return std::nullopt;
}

const DigestCredential* ChooseCredential(const std::vector<DigestCredential>& credentials,
                                         std::string_view realm) noexcept {
    for (const DigestCredential& c : credentials) {
        if (c.realm == realm) {
            return &c;
        }
    }
    // Users rarely know the realm their PBX announces: a single credential answers any realm.
    return credentials.size() == 1 ? &credentials.front() : nullptr;
}

void AppendParam(Auth& auth, std::string_view name, std::string_view value, bool quoted) {
    Parameter p;
    p.name.assign(name);
    p.value.assign(value);
    p.hasValue = true;
    p.quoted = quoted;
    auth.Params().Append(std::move(p));
}

} // namespace

std::string_view ToString(ClientAuth::State state) noexcept {
    switch (state) {
    case ClientAuth::State::Unchallenged:
        return "Unchallenged";
    case ClientAuth::State::Answering:
        return "Answering";
    case ClientAuth::State::Failed:
        return "Failed";
    }
    return "?";
}

std::string RandomCnonce() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw std::runtime_error("digest authentication: OpenSSL RAND_bytes failed to make a cnonce");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const unsigned char b : bytes) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0f]);
    }
    return text;
}

ClientAuth::ClientAuth(CnonceGenerator cnonce) : cnonce_(cnonce ? std::move(cnonce) : CnonceGenerator(&RandomCnonce)) {}

ClientAuth::Answer* ClientAuth::Find(HeaderType header, std::string_view realm) noexcept {
    for (Answer& a : answers_) {
        if (a.header == header && a.challenge.realm == realm) {
            return &a;
        }
    }
    return nullptr;
}

void ClientAuth::Store(Answer answer) {
    for (auto it = answers_.begin(); it != answers_.end(); ++it) {
        if (it->header == answer.header && it->challenge.realm == answer.challenge.realm) {
            answers_.erase(it);
            break;
        }
    }
    if (answers_.size() >= kMaxAnswers) {
        answers_.erase(answers_.begin());
    }
    answers_.push_back(std::move(answer));
}

bool ClientAuth::HandleChallenge(const SipMessage& sentRequest, const SipMessage& response,
                                 const std::vector<DigestCredential>& credentials) {
    if (response.StatusCode() != 401 && response.StatusCode() != 407) {
        state_ = State::Failed;
        return false;
    }

    // The challenge to answer per (header, realm): the strongest algorithm offered, first on a tie.
    struct Candidate {
        HeaderType header;
        DigestChallenge challenge;
    };
    std::vector<Candidate> candidates;
    for (const HeaderType challengeHeader : {HeaderType::WwwAuthenticate, HeaderType::ProxyAuthenticate}) {
        const HeaderType header = AnswerHeaderFor(challengeHeader);
        const std::size_t count = std::min(response.Count(challengeHeader), kMaxChallengesRead);
        for (std::size_t i = 0; i < count; ++i) {
            const Auth* value = response.Peek<Auth>(challengeHeader, i);
            if (value == nullptr) {
                continue; // malformed: skipped, the others may still be answerable
            }
            std::optional<DigestChallenge> challenge = ReadDigestChallenge(*value);
            if (!challenge) {
                continue;
            }
            Candidate* same = nullptr;
            for (Candidate& c : candidates) {
                if (c.header == header && c.challenge.realm == challenge->realm) {
                    same = &c;
                    break;
                }
            }
            if (same != nullptr) {
                if (Strength(challenge->algorithm) > Strength(same->challenge.algorithm)) {
                    same->challenge = std::move(*challenge);
                }
            } else if (candidates.size() < kMaxAnswers) {
                candidates.push_back(Candidate{header, std::move(*challenge)});
            }
        }
    }

    // Decide for every realm before changing anything: one refused realm fails the request.
    std::vector<Answer> answers;
    for (Candidate& c : candidates) {
        const DigestCredential* credential = ChooseCredential(credentials, c.challenge.realm);
        if (credential == nullptr) {
            continue;
        }
        if (const std::optional<SentCredentials> sent = FindSent(sentRequest, c.header, c.challenge.realm)) {
            if (!c.challenge.stale) {
                state_ = State::Failed;
                return false;
            }
            // A stale answer to a nonce that was itself handed over as stale and used just once:
            // the peer refuses every nonce, so answering again would never end.
            const Answer* held = Find(c.header, c.challenge.realm);
            const bool firstUse = sent->nonceCount ? *sent->nonceCount <= 1 : (held == nullptr || held->nonceCount <= 1);
            if (held != nullptr && held->nonceFromStale && held->challenge.nonce == sent->nonce && firstUse) {
                state_ = State::Failed;
                return false;
            }
        }
        Answer answer;
        answer.header = c.header;
        answer.credential = *credential;
        answer.nonceFromStale = c.challenge.stale;
        answer.challenge = std::move(c.challenge);
        answers.push_back(std::move(answer));
    }
    if (answers.empty()) {
        state_ = State::Failed;
        return false;
    }
    for (Answer& a : answers) {
        a.cnonce = cnonce_();
        Store(std::move(a));
    }
    state_ = State::Answering;
    return true;
}

void ClientAuth::Authorize(SipMessage& request) {
    if (!request.IsRequest()) {
        throw std::invalid_argument("ClientAuth::Authorize: credentials go on requests, not on responses");
    }
    if (request.Method() == "ACK" || request.Method() == "CANCEL") {
        return;
    }
    for (Answer& a : answers_) {
        for (std::size_t i = request.Count(a.header); i-- > 0;) {
            const Auth* present = request.Peek<Auth>(a.header, i);
            if (present != nullptr && IsDigestFor(*present, a.challenge.realm)) {
                request.RemoveAt(a.header, i);
            }
        }
        if (a.nonceCount < std::numeric_limits<std::uint32_t>::max()) {
            ++a.nonceCount;
        }
        const DigestChallenge& ch = a.challenge;
        DigestInput in;
        in.algorithm = ch.algorithm;
        in.qop = ch.qop;
        in.user = a.credential.user;
        in.realm = ch.realm;
        in.password = a.credential.password;
        in.nonce = ch.nonce;
        in.cnonce = a.cnonce;
        in.nonceCount = a.nonceCount;
        in.method = request.Method();
        in.uri = request.RawRequestUri();
        in.body = request.Body();

        // RFC 7616 section 3.4 order; algorithm, qop and nc are tokens, the rest quoted-strings.
        Auth credentials("Digest");
        AppendParam(credentials, "username", a.credential.user, true);
        AppendParam(credentials, "realm", ch.realm, true);
        AppendParam(credentials, "nonce", ch.nonce, true);
        AppendParam(credentials, "uri", in.uri, true);
        AppendParam(credentials, "response", ComputeDigestResponse(in), true);
        if (!ch.algorithmText.empty()) {
            AppendParam(credentials, "algorithm", ch.algorithmText, false);
        }
        if (ch.qop != DigestQop::None) {
            AppendParam(credentials, "cnonce", a.cnonce, true);
        }
        if (ch.hasOpaque) {
            AppendParam(credentials, "opaque", ch.opaque, true);
        }
        if (ch.qop != DigestQop::None) {
            AppendParam(credentials, "qop", ToString(ch.qop), false);
            AppendParam(credentials, "nc", FormatNonceCount(a.nonceCount), false);
        }
        request.Add(a.header, std::move(credentials));
    }
}

void ClientAuth::Clear() noexcept {
    answers_.clear();
    state_ = State::Unchallenged;
}

} // namespace zel::sip::stack

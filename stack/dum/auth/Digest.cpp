#include "stack/dum/auth/Digest.h"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <stdexcept>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"

namespace zel::sip::stack {
namespace {

const EVP_MD* HashOf(DigestAlgorithm algorithm) noexcept {
    switch (algorithm) {
    case DigestAlgorithm::Md5:
    case DigestAlgorithm::Md5Sess:
        return EVP_md5();
    case DigestAlgorithm::Sha256:
    case DigestAlgorithm::Sha256Sess:
        return EVP_sha256();
    }
    return EVP_md5();
}

bool IsSess(DigestAlgorithm algorithm) noexcept {
    return algorithm == DigestAlgorithm::Md5Sess || algorithm == DigestAlgorithm::Sha256Sess;
}

// Texts we would have to send back inside a quoted-string: CR and LF cannot be carried there at
// all, so a challenge holding them cannot be answered faithfully.
bool IsCarriable(std::string_view text) noexcept {
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\0') {
            return false;
        }
    }
    return true;
}

std::string_view TrimLws(std::string_view text) noexcept {
    while (!text.empty() && chars::IsWsp(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && chars::IsWsp(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// qop-options is a quoted, comma-separated list of tokens (RFC 7616 section 3.3).
std::optional<DigestQop> ChooseQop(std::string_view options) noexcept {
    bool authInt = false;
    while (true) {
        const std::size_t comma = options.find(',');
        const std::string_view item = TrimLws(options.substr(0, comma));
        if (IEquals(item, "auth")) {
            return DigestQop::Auth;
        }
        if (IEquals(item, "auth-int")) {
            authInt = true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        options.remove_prefix(comma + 1);
    }
    if (authInt) {
        return DigestQop::AuthInt;
    }
    return std::nullopt;
}

} // namespace

std::string_view ToString(DigestAlgorithm algorithm) noexcept {
    switch (algorithm) {
    case DigestAlgorithm::Md5:
        return "MD5";
    case DigestAlgorithm::Md5Sess:
        return "MD5-sess";
    case DigestAlgorithm::Sha256:
        return "SHA-256";
    case DigestAlgorithm::Sha256Sess:
        return "SHA-256-sess";
    }
    return "?";
}

std::optional<DigestAlgorithm> ParseDigestAlgorithm(std::string_view token) noexcept {
    for (const DigestAlgorithm a :
         {DigestAlgorithm::Md5, DigestAlgorithm::Md5Sess, DigestAlgorithm::Sha256, DigestAlgorithm::Sha256Sess}) {
        if (IEquals(token, ToString(a))) {
            return a;
        }
    }
    return std::nullopt;
}

int Strength(DigestAlgorithm algorithm) noexcept {
    switch (algorithm) {
    case DigestAlgorithm::Md5:
    case DigestAlgorithm::Md5Sess:
        return 1;
    case DigestAlgorithm::Sha256:
    case DigestAlgorithm::Sha256Sess:
        return 2;
    }
    return 0;
}

std::string_view ToString(DigestQop qop) noexcept {
    switch (qop) {
    case DigestQop::None:
        return "";
    case DigestQop::Auth:
        return "auth";
    case DigestQop::AuthInt:
        return "auth-int";
    }
    return "";
}

std::string DigestHex(DigestAlgorithm algorithm, std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, HashOf(algorithm), nullptr) != 1) {
        throw std::runtime_error("digest authentication: OpenSSL could not compute " +
                                 std::string(ToString(algorithm)));
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(std::size_t{length} * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0f]);
    }
    return hex;
}

std::string FormatNonceCount(std::uint32_t count) {
    std::array<char, 9> text{};
    std::snprintf(text.data(), text.size(), "%08x", static_cast<unsigned>(count));
    return std::string(text.data(), 8);
}

std::string ComputeDigestResponse(const DigestInput& in) {
    std::string a1;
    a1.append(in.user).append(":").append(in.realm).append(":").append(in.password);
    std::string ha1 = DigestHex(in.algorithm, a1);
    if (IsSess(in.algorithm)) {
        // RFC 7616 section 3.4.2: the session key binds the nonce and cnonce of first use.
        ha1 = DigestHex(in.algorithm, ha1 + ":" + std::string(in.nonce) + ":" + std::string(in.cnonce));
    }

    std::string a2;
    a2.append(in.method).append(":").append(in.uri);
    if (in.qop == DigestQop::AuthInt) {
        a2.append(":").append(DigestHex(in.algorithm, in.body));
    }
    const std::string ha2 = DigestHex(in.algorithm, a2);

    std::string kd = ha1;
    kd.append(":").append(in.nonce).append(":");
    if (in.qop != DigestQop::None) {
        kd.append(FormatNonceCount(in.nonceCount)).append(":").append(in.cnonce).append(":");
        kd.append(ToString(in.qop)).append(":");
    }
    kd.append(ha2);
    return DigestHex(in.algorithm, kd);
}

std::optional<DigestChallenge> ReadDigestChallenge(const Auth& challenge) {
    if (!IEquals(challenge.Scheme(), "Digest") || !challenge.Opaque().empty()) {
        return std::nullopt;
    }
    const ParameterList& params = challenge.Params();
    const Parameter* realm = params.Find("realm");
    const Parameter* nonce = params.Find("nonce");
    if (realm == nullptr || nonce == nullptr || !realm->hasValue || !nonce->hasValue) {
        return std::nullopt;
    }
    DigestChallenge out;
    out.realm = realm->value;
    out.nonce = nonce->value;
    if (const Parameter* algorithm = params.Find("algorithm"); algorithm != nullptr) {
        const std::optional<DigestAlgorithm> known = ParseDigestAlgorithm(algorithm->value);
        if (!known) {
            return std::nullopt;
        }
        out.algorithm = *known;
        out.algorithmText = algorithm->value;
    }
    if (const Parameter* qop = params.Find("qop"); qop != nullptr) {
        const std::optional<DigestQop> chosen = ChooseQop(qop->value);
        if (!chosen) {
            return std::nullopt;
        }
        out.qop = *chosen;
    }
    if (out.qop == DigestQop::None && IsSess(out.algorithm)) {
        // A -sess session key needs a cnonce, which only a qop answer carries (RFC 7616 section 3.4).
        return std::nullopt;
    }
    if (const Parameter* opaque = params.Find("opaque"); opaque != nullptr) {
        out.opaque = opaque->value;
        out.hasOpaque = true;
    }
    if (const Parameter* stale = params.Find("stale"); stale != nullptr) {
        out.stale = IEquals(stale->value, "true");
    }
    if (!IsCarriable(out.realm) || !IsCarriable(out.nonce) || !IsCarriable(out.opaque) ||
        !IsCarriable(out.algorithmText)) {
        return std::nullopt;
    }
    return out;
}

} // namespace zel::sip::stack

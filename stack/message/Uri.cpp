#include "stack/message/Uri.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"
#include "stack/base/Escaping.h"
#include "stack/base/Scanner.h"

namespace zel::sip::stack {
namespace {

constexpr bool IsUserOrEscape(char c) noexcept { return chars::IsUserChar(c) || c == '%'; }
constexpr bool IsPasswordOrEscape(char c) noexcept { return chars::IsPasswordChar(c) || c == '%'; }
constexpr bool IsParamOrEscape(char c) noexcept { return chars::IsParamChar(c) || c == '%'; }
constexpr bool IsHeaderOrEscape(char c) noexcept { return chars::IsHeaderChar(c) || c == '%'; }
constexpr bool IsSchemeChar(char c) noexcept { return chars::IsAlphaNum(c) || c == '+' || c == '-' || c == '.'; }
// RFC 3966 phonedigit-hex, visual separators and the local-number characters.
constexpr bool IsTelNumberChar(char c) noexcept {
    return chars::IsHex(c) || c == '*' || c == '#' || c == '+' || c == '-' || c == '.' || c == '(' || c == ')' ||
           c == 'p' || c == 'w' || c == 'P' || c == 'W';
}
// The characters an opaque absolute URI may hold: anything visible but the delimiters of SIP headers.
constexpr bool IsOpaqueChar(char c) noexcept {
    return static_cast<unsigned char>(c) > 0x20 && c != 0x7F && c != '<' && c != '>' && c != '"';
}

ParseStatus DecodePart(std::string_view raw, std::string& out, std::size_t base) { return Unescape(raw, out, base); }

// `;name[=value]` ... with URI character rules, starting after the first ';' has been seen.
ParseStatus ParseUriParams(Scanner& s, ParameterList& out) {
    out.ReserveFor(s.Rest(), ';');
    while (s.Consume(';')) {
        const std::size_t at = s.Position();
        const std::string_view name = s.TakeWhile(IsParamOrEscape);
        if (name.empty()) {
            return s.Fail("empty URI parameter name");
        }
        Parameter p;
        if (auto st = DecodePart(name, p.name, at); !st) {
            return st;
        }
        if (s.Consume('=')) {
            const std::size_t valueAt = s.Position();
            p.hasValue = true;
            if (auto st = DecodePart(s.TakeWhile(IsParamOrEscape), p.value, valueAt); !st) {
                return st;
            }
        }
        out.Append(std::move(p));
    }
    return {};
}

ParseStatus ParseUriHeaders(Scanner& s, ParameterList& out) {
    if (!s.Consume('?')) {
        return {};
    }
    do {
        const std::size_t at = s.Position();
        const std::string_view name = s.TakeWhile(IsHeaderOrEscape);
        if (name.empty()) {
            return s.Fail("empty URI header name");
        }
        Parameter p;
        if (auto st = DecodePart(name, p.name, at); !st) {
            return st;
        }
        if (!s.Consume('=')) {
            return s.Fail("expected '=' in URI header");
        }
        p.hasValue = true;
        const std::size_t valueAt = s.Position();
        if (auto st = DecodePart(s.TakeWhile(IsHeaderOrEscape), p.value, valueAt); !st) {
            return st;
        }
        out.Append(std::move(p));
    } while (s.Consume('&'));
    return {};
}

ParseStatus ParseSipRest(Scanner& s, Uri& out, std::string& scratch) {
    const std::string_view rest = s.Rest();
    const std::size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        const std::size_t start = s.Position();
        const std::string_view userinfo = rest.substr(0, at);
        const std::size_t colon = userinfo.find(':');
        const std::string_view user = userinfo.substr(0, colon);
        if (user.empty()) {
            return ParseFailure{start, "empty user part"};
        }
        for (std::size_t i = 0; i < user.size(); ++i) {
            if (!IsUserOrEscape(user[i])) {
                return ParseFailure{start + i, "invalid character in user part"};
            }
        }
        if (auto st = DecodePart(user, scratch, start); !st) {
            return st;
        }
        out.SetUser(scratch);
        if (colon != std::string_view::npos) {
            const std::string_view password = userinfo.substr(colon + 1);
            for (std::size_t i = 0; i < password.size(); ++i) {
                if (!IsPasswordOrEscape(password[i])) {
                    return ParseFailure{start + colon + 1 + i, "invalid character in password"};
                }
            }
            if (auto st = DecodePart(password, scratch, start + colon + 1); !st) {
                return st;
            }
            out.SetPassword(scratch);
        }
        s.Advance(at + 1);
    }
    std::string host;
    std::uint16_t port = 0;
    bool hasPort = false;
    if (auto st = ParseHostPort(s, host, port, hasPort); !st) {
        return st;
    }
    out.SetHost(host);
    if (hasPort) {
        out.SetPort(port);
    }
    if (auto st = ParseUriParams(s, out.Params()); !st) {
        return st;
    }
    return ParseUriHeaders(s, out.Headers());
}

} // namespace

bool IsIpv6Address(std::string_view text) noexcept {
    std::array<char, INET6_ADDRSTRLEN + 1> buffer{};
    if (text.empty() || text.size() >= buffer.size()) {
        return false;
    }
    std::memcpy(buffer.data(), text.data(), text.size());
    in6_addr address{};
    return inet_pton(AF_INET6, buffer.data(), &address) == 1;
}

bool IsIpv4Address(std::string_view text) noexcept {
    std::array<char, INET_ADDRSTRLEN + 1> buffer{};
    if (text.empty() || text.size() >= buffer.size()) {
        return false;
    }
    std::memcpy(buffer.data(), text.data(), text.size());
    in_addr address{};
    return inet_pton(AF_INET, buffer.data(), &address) == 1;
}

ParseStatus ParseHostPort(Scanner& s, std::string& host, std::uint16_t& port, bool& hasPort) {
    hasPort = false;
    port = 0;
    if (s.Peek() == '[') {
        const std::size_t start = s.Position();
        s.Advance();
        const std::string_view address = s.TakeWhile([](char c) { return chars::IsHex(c) || c == ':' || c == '.'; });
        if (!s.Consume(']')) {
            return s.Fail("expected ']' after IPv6 reference");
        }
        if (!IsIpv6Address(address)) {
            return ParseFailure{start, "invalid IPv6 reference"};
        }
        host.assign(address);
    } else {
        const std::string_view name = s.TakeWhile(chars::IsHostChar);
        if (name.empty()) {
            return s.Fail("expected a host");
        }
        host.assign(name);
    }
    if (s.Peek() == ':' && chars::IsDigit(s.PeekAt(1))) {
        s.Advance();
        std::uint32_t value = 0;
        if (auto st = s.TakeUInt32(value); !st) {
            return st;
        }
        if (value > 65535) {
            return s.Fail("port out of range");
        }
        port = static_cast<std::uint16_t>(value);
        hasPort = true;
    } else if (s.Peek() == ':') {
        return s.Fail("expected a port number");
    }
    return {};
}

void AppendHost(std::string& out, std::string_view host) {
    if (host.find(':') != std::string_view::npos) {
        out.push_back('[');
        out.append(host);
        out.push_back(']');
    } else {
        out.append(host);
    }
}

void Uri::SetScheme(std::string_view scheme) {
    if (IEquals(scheme, "sip") || IEquals(scheme, "sips")) {
        kind_ = Kind::Sip;
        scheme_ = ToLower(scheme);
    } else if (IEquals(scheme, "tel")) {
        kind_ = Kind::Tel;
        scheme_ = "tel";
    } else {
        kind_ = Kind::Opaque;
        scheme_.assign(scheme);
    }
}

void Uri::SetHost(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    host_.assign(host);
}

ParseStatus Uri::TryParse(std::string_view text, Uri& out, std::size_t base) {
    out = Uri();
    Scanner s(text, base);
    const std::string_view scheme = s.TakeWhile(IsSchemeChar);
    if (scheme.empty() || !chars::IsAlpha(scheme.front())) {
        return ParseFailure{base, "expected a URI scheme"};
    }
    if (!s.Consume(':')) {
        return s.Fail("expected ':' after URI scheme");
    }
    out.SetScheme(scheme);
    std::string scratch;
    switch (out.kind_) {
    case Kind::Sip:
        if (auto st = ParseSipRest(s, out, scratch); !st) {
            return st;
        }
        break;
    case Kind::Tel: {
        const std::string_view number = s.TakeWhile(IsTelNumberChar);
        if (number.empty()) {
            return s.Fail("expected a telephone number");
        }
        out.user_.assign(number);
        if (auto st = ParseUriParams(s, out.params_); !st) {
            return st;
        }
        break;
    }
    case Kind::Opaque: {
        const std::string_view opaque = s.TakeWhile(IsOpaqueChar);
        if (opaque.empty()) {
            return s.Fail("empty URI");
        }
        out.opaque_.assign(opaque);
        break;
    }
    }
    if (!s.AtEnd()) {
        return s.Fail("unexpected character in URI");
    }
    return {};
}

Uri Uri::Parse(std::string_view text) {
    Uri uri;
    ThrowIfFailed(TryParse(text, uri), "URI");
    return uri;
}

void Uri::Encode(std::string& out) const {
    out.append(scheme_);
    out.push_back(':');
    switch (kind_) {
    case Kind::Sip:
        if (!user_.empty()) {
            AppendEscaped(out, user_, chars::IsUserChar);
            if (hasPassword_) {
                out.push_back(':');
                AppendEscaped(out, password_, chars::IsPasswordChar);
            }
            out.push_back('@');
        }
        AppendHost(out, host_);
        if (hasPort_) {
            out.push_back(':');
            out.append(std::to_string(port_));
        }
        params_.EncodeEscaped(out, ';', ';', chars::IsParamChar);
        headers_.EncodeEscaped(out, '?', '&', chars::IsHeaderChar);
        break;
    case Kind::Tel:
        out.append(user_);
        params_.EncodeEscaped(out, ';', ';', chars::IsParamChar);
        break;
    case Kind::Opaque:
        out.append(opaque_);
        break;
    }
}

std::string Uri::ToString() const {
    std::string text;
    text.reserve(64);
    Encode(text);
    return text;
}

bool Uri::Equivalent(const Uri& other) const {
    if (kind_ != other.kind_ || !IEquals(scheme_, other.scheme_)) {
        return false;
    }
    if (kind_ != Kind::Sip) {
        return ToString() == other.ToString() || (IEquals(opaque_, other.opaque_) && kind_ == Kind::Opaque);
    }
    if (user_ != other.user_ || hasPassword_ != other.hasPassword_ || password_ != other.password_ ||
        !IEquals(host_, other.host_) || hasPort_ != other.hasPort_ || port_ != other.port_) {
        return false;
    }
    for (const char* name : {"user", "ttl", "method", "maddr", "transport"}) {
        const Parameter* a = params_.Find(name);
        const Parameter* b = other.params_.Find(name);
        if ((a == nullptr) != (b == nullptr)) {
            return false;
        }
    }
    for (const Parameter& a : params_) {
        if (params_.Find(a.name) != &a) {
            continue; // a repeated name: the first occurrence is the one that counts
        }
        const Parameter* b = other.params_.Find(a.name);
        if (b != nullptr && (a.hasValue != b->hasValue || !IEquals(a.value, b->value))) {
            return false;
        }
    }
    if (headers_.Size() != other.headers_.Size()) {
        return false;
    }
    for (const Parameter& a : headers_) {
        const Parameter* b = other.headers_.Find(a.name);
        if (headers_.Find(a.name) != &a) {
            continue;
        }
        if (b == nullptr || a.value != b->value) {
            return false;
        }
    }
    return true;
}

} // namespace zel::sip::stack

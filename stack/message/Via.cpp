#include "stack/message/Via.h"

#include <charconv>

#include "stack/base/Scanner.h"
#include "stack/message/Uri.h"

namespace zel::sip::stack {
namespace {

std::string_view ValueOf(const ParameterList& params, std::string_view name) noexcept {
    const Parameter* p = params.Find(name);
    return p != nullptr ? std::string_view(p->value) : std::string_view();
}

template <class T>
std::optional<T> NumberOf(const ParameterList& params, std::string_view name) noexcept {
    const Parameter* p = params.Find(name);
    if (p == nullptr || !p->hasValue || p->value.empty()) {
        return std::nullopt;
    }
    T value{};
    const auto [end, ec] = std::from_chars(p->value.data(), p->value.data() + p->value.size(), value);
    if (ec != std::errc() || end != p->value.data() + p->value.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

ParseStatus Via::TryParse(std::string_view text, Via& out, std::size_t base) {
    out = Via();
    Scanner s(text, base);
    s.SkipLws();
    const std::string_view name = s.TakeToken();
    if (name.empty()) {
        return s.Fail("expected a protocol name");
    }
    if (!s.ConsumeSeparator('/')) {
        return s.Fail("expected '/' in Via protocol");
    }
    const std::string_view version = s.TakeToken();
    if (version.empty()) {
        return s.Fail("expected a protocol version");
    }
    if (!s.ConsumeSeparator('/')) {
        return s.Fail("expected '/' in Via protocol");
    }
    const std::string_view transport = s.TakeToken();
    if (transport.empty()) {
        return s.Fail("expected a transport");
    }
    if (!s.SkipLws()) {
        return s.Fail("expected white space before sent-by");
    }
    out.protocolName_.assign(name);
    out.protocolVersion_.assign(version);
    out.transport_.assign(transport);
    if (auto st = ParseHostPort(s, out.host_, out.port_, out.hasPort_); !st) {
        return st;
    }
    if (!out.hasPort_) {
        // RFC 3261 writes the sent-by colon as COLON, which allows white space around it.
        Scanner probe = s;
        if (probe.ConsumeSeparator(':')) {
            std::uint32_t port = 0;
            if (auto st = probe.TakeUInt32(port); !st) {
                return st;
            }
            if (port > 65535) {
                return probe.Fail("port out of range");
            }
            out.port_ = static_cast<std::uint16_t>(port);
            out.hasPort_ = true;
            s = probe;
        }
    }
    if (auto st = ParseHeaderParams(s, out.params_); !st) {
        return st;
    }
    // A comment may follow the parameters (RFC 2543 allowed one); it is not kept.
    s.SkipLws();
    if (s.Peek() == '(') {
        std::string_view comment;
        if (auto st = s.TakeComment(comment); !st) {
            return st;
        }
    }
    return ExpectEnd(s);
}

Via Via::Parse(std::string_view text) {
    Via value;
    ThrowIfFailed(TryParse(text, value), "Via");
    return value;
}

void Via::SetHost(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    host_.assign(host);
}

std::string_view Via::Branch() const noexcept { return ValueOf(params_, "branch"); }
std::string_view Via::Received() const noexcept { return ValueOf(params_, "received"); }
std::string_view Via::Maddr() const noexcept { return ValueOf(params_, "maddr"); }
std::optional<std::uint32_t> Via::Ttl() const noexcept { return NumberOf<std::uint32_t>(params_, "ttl"); }
std::optional<std::uint16_t> Via::Rport() const noexcept { return NumberOf<std::uint16_t>(params_, "rport"); }

void Via::Encode(std::string& out) const {
    out.append(protocolName_).push_back('/');
    out.append(protocolVersion_).push_back('/');
    out.append(transport_).push_back(' ');
    AppendHost(out, host_);
    if (hasPort_) {
        out.push_back(':');
        out.append(std::to_string(port_));
    }
    params_.EncodeHeaderParams(out);
}

std::string Via::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

} // namespace zel::sip::stack

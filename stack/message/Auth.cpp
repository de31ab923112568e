#include "stack/message/Auth.h"

#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"

namespace zel::sip::stack {
namespace {

ParseStatus ParseAuthParam(Scanner& s, ParameterList& out) {
    Parameter p;
    const std::string_view name = s.TakeToken();
    if (name.empty()) {
        return s.Fail("expected an auth-param name");
    }
    p.name.assign(name);
    if (!s.ConsumeSeparator('=')) {
        return s.Fail("expected '=' in auth-param");
    }
    p.hasValue = true;
    if (s.Peek() == '"') {
        if (auto st = s.TakeQuotedString(p.value); !st) {
            return st;
        }
        p.quoted = true;
    } else {
        const std::string_view value = s.TakeToken();
        if (value.empty()) {
            return s.Fail("expected an auth-param value");
        }
        p.value.assign(value);
    }
    out.Append(std::move(p));
    return {};
}

} // namespace

ParseStatus Auth::TryParse(std::string_view text, Auth& out, std::size_t base) {
    out = Auth();
    Scanner s(text, base);
    s.SkipLws();
    const std::size_t start = s.Offset();
    const std::string_view first = s.TakeToken();
    if (first.empty()) {
        return s.Fail("expected an auth-scheme");
    }
    Scanner probe = s;
    if (probe.ConsumeSeparator('=')) {
        // No scheme: Authentication-Info carries only auth-params.
        s.Seek(start);
    } else {
        out.scheme_.assign(first);
        if (!s.SkipLws()) {
            return ExpectEnd(s);
        }
        Scanner paramProbe = s;
        paramProbe.TakeToken();
        if (!paramProbe.ConsumeSeparator('=') || paramProbe.Peek() == '=' || paramProbe.AtEnd()) {
            // token68 credentials (e.g. Basic): keep the text as it is.
            const std::string_view rest = s.Rest();
            std::size_t end = rest.size();
            while (end > 0 && (chars::IsWsp(rest[end - 1]) || rest[end - 1] == '\r' || rest[end - 1] == '\n')) {
                --end;
            }
            out.opaque_.assign(rest.substr(0, end));
            return {};
        }
    }
    do {
        if (auto st = ParseAuthParam(s, out.params_); !st) {
            return st;
        }
    } while (s.ConsumeSeparator(','));
    return ExpectEnd(s);
}

Auth Auth::Parse(std::string_view text) {
    Auth value;
    ThrowIfFailed(TryParse(text, value), "authentication header");
    return value;
}

std::string_view Auth::Param(std::string_view name) const noexcept {
    const Parameter* p = params_.Find(name);
    return p != nullptr ? std::string_view(p->value) : std::string_view();
}

void Auth::Encode(std::string& out) const {
    out.append(scheme_);
    if (!opaque_.empty()) {
        out.push_back(' ');
        out.append(opaque_);
        return;
    }
    bool first = true;
    for (const Parameter& p : params_) {
        if (first) {
            if (!scheme_.empty()) {
                out.push_back(' ');
            }
        } else {
            out.append(", ");
        }
        first = false;
        out.append(p.name).push_back('=');
        if (p.quoted) {
            AppendQuoted(out, p.value);
        } else {
            out.append(p.value);
        }
    }
}

std::string Auth::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

} // namespace zel::sip::stack

#include "stack/message/NameAddr.h"

#include <algorithm>

#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"

namespace zel::sip::stack {
namespace {

constexpr bool IsDisplayChar(char c) noexcept { return chars::IsToken(c) || chars::IsNonAscii(c); }

// The end of a bare addr-spec: RFC 3261 section 20.10 puts everything after ";" into header params,
// a "," separates values, and a "?" (URI headers) needs angle brackets too.
constexpr bool IsBareUriChar(char c) noexcept {
    return c != ';' && c != ',' && c != '?' && c != '<' && c != '>' && c != '"' && !chars::IsWsp(c) && c != '\r' &&
           c != '\n' && c != '\0';
}

bool NeedsQuotes(std::string_view name) noexcept {
    if (name.empty() || name.front() == ' ' || name.back() == ' ') {
        return !name.empty();
    }
    bool lastSpace = false;
    for (char c : name) {
        if (c == ' ') {
            if (lastSpace) {
                return true;
            }
            lastSpace = true;
            continue;
        }
        lastSpace = false;
        if (!chars::IsToken(c)) {
            return true;
        }
    }
    return false;
}

} // namespace

void NameAddr::SetDisplayName(std::string_view name) {
    displayName_.assign(name);
    displayQuoted_ = NeedsQuotes(name);
}

ParseStatus NameAddr::TryParse(std::string_view text, NameAddr& out, std::size_t base) {
    out = NameAddr();
    Scanner s(text, base);
    s.SkipLws();
    if (s.Peek() == '*') {
        Scanner probe = s;
        probe.Advance();
        probe.SkipLws();
        if (probe.AtEnd() || probe.Peek() == ';') {
            out.wildcard_ = true;
            s = probe;
            if (auto st = ParseHeaderParams(s, out.params_); !st) {
                return st;
            }
            s.SkipLws();
            return s.AtEnd() ? ParseStatus{} : ParseStatus{s.Fail("unexpected text after '*'")};
        }
    }

    bool angle = false;
    if (s.Peek() == '"') {
        if (auto st = s.TakeQuotedString(out.displayName_); !st) {
            return st;
        }
        out.displayQuoted_ = true;
        s.SkipLws();
        if (s.Peek() != '<') {
            return s.Fail("expected '<' after display name");
        }
        angle = true;
    } else if (s.Peek() == '<') {
        angle = true;
    } else {
        // A token sequence followed by "<" is a display name; anything else is an addr-spec.
        const std::size_t start = s.Offset();
        std::size_t end = start;
        while (IsDisplayChar(s.Peek())) {
            s.TakeWhile(IsDisplayChar);
            end = s.Offset();
            s.SkipLws();
        }
        if (s.Peek() == '<') {
            out.displayName_.assign(s.Slice(start, end));
            out.displayQuoted_ = false;
            angle = true;
        } else {
            s.Seek(start);
        }
    }

    if (angle) {
        s.Advance(); // '<'
        const std::size_t uriStart = s.Offset();
        const std::string_view rest = s.Rest();
        const std::size_t close = rest.find('>');
        if (close == std::string_view::npos) {
            return s.Fail("expected '>'");
        }
        if (auto st = Uri::TryParse(rest.substr(0, close), out.uri_, base + uriStart); !st) {
            return st;
        }
        s.Advance(close + 1);
        out.bracketed_ = true;
    } else {
        const std::size_t uriStart = s.Offset();
        const std::string_view uriText = s.TakeWhile(IsBareUriChar);
        if (uriText.empty()) {
            return s.Fail("expected a URI");
        }
        if (auto st = Uri::TryParse(uriText, out.uri_, base + uriStart); !st) {
            return st;
        }
        out.bracketed_ = false;
    }
    if (auto st = ParseHeaderParams(s, out.params_); !st) {
        return st;
    }
    s.SkipLws();
    if (!s.AtEnd()) {
        return s.Fail("unexpected text after name-address");
    }
    return {};
}

NameAddr NameAddr::Parse(std::string_view text) {
    NameAddr value;
    ThrowIfFailed(TryParse(text, value), "name-address");
    return value;
}

void NameAddr::Encode(std::string& out) const {
    if (wildcard_) {
        out.push_back('*');
        params_.EncodeHeaderParams(out);
        return;
    }
    const std::size_t start = out.size();
    if (!displayName_.empty()) {
        if (displayQuoted_) {
            AppendQuoted(out, displayName_);
        } else {
            out.append(displayName_);
        }
        out.push_back(' ');
    }
    const bool bare = !bracketed_ && out.size() == start && uri_.Params().Empty() && uri_.Headers().Empty();
    if (bare) {
        const std::size_t uriStart = out.size();
        uri_.Encode(out);
        const std::string_view written(out.data() + uriStart, out.size() - uriStart);
        if (written.find_first_of(",;?") == std::string_view::npos) {
            params_.EncodeHeaderParams(out);
            return;
        }
        out.resize(uriStart);
    }
    out.push_back('<');
    uri_.Encode(out);
    out.push_back('>');
    params_.EncodeHeaderParams(out);
}

std::string NameAddr::ToString() const {
    std::string text;
    text.reserve(96);
    Encode(text);
    return text;
}

} // namespace zel::sip::stack

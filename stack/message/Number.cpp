#include "stack/message/Number.h"

#include "stack/base/Scanner.h"

namespace zel::sip::stack {

ParseStatus Number::TryParse(std::string_view text, Number& out, std::size_t base) {
    Scanner s(text, base);
    s.SkipLws();
    if (auto st = s.TakeUInt32(out.value_); !st) {
        return st;
    }
    return ExpectEnd(s);
}

Number Number::Parse(std::string_view text) {
    Number value;
    ThrowIfFailed(TryParse(text, value), "number");
    return value;
}

ParseStatus RetryAfter::TryParse(std::string_view text, RetryAfter& out, std::size_t base) {
    out = RetryAfter();
    Scanner s(text, base);
    s.SkipLws();
    if (auto st = s.TakeUInt32(out.value_); !st) {
        return st;
    }
    const std::size_t mark = s.Offset();
    s.SkipLws();
    if (s.Peek() == '(') {
        std::string_view comment;
        if (auto st = s.TakeComment(comment); !st) {
            return st;
        }
        out.comment_.assign(comment);
    } else {
        s.Seek(mark);
    }
    if (auto st = ParseHeaderParams(s, out.params_); !st) {
        return st;
    }
    return ExpectEnd(s);
}

RetryAfter RetryAfter::Parse(std::string_view text) {
    RetryAfter value;
    ThrowIfFailed(TryParse(text, value), "Retry-After");
    return value;
}

void RetryAfter::Encode(std::string& out) const {
    out.append(std::to_string(value_));
    if (!comment_.empty()) {
        out.push_back(' ');
        out.append(comment_);
    }
    params_.EncodeHeaderParams(out);
}

std::string RetryAfter::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

ParseStatus SessionExpires::TryParse(std::string_view text, SessionExpires& out, std::size_t base) {
    out = SessionExpires();
    Scanner s(text, base);
    s.SkipLws();
    if (auto st = s.TakeUInt32(out.value_); !st) {
        return st;
    }
    if (auto st = ParseHeaderParams(s, out.params_); !st) {
        return st;
    }
    return ExpectEnd(s);
}

SessionExpires SessionExpires::Parse(std::string_view text) {
    SessionExpires value;
    ThrowIfFailed(TryParse(text, value), "Session-Expires");
    return value;
}

std::string_view SessionExpires::Refresher() const noexcept {
    const Parameter* p = params_.Find("refresher");
    return p != nullptr ? std::string_view(p->value) : std::string_view();
}

void SessionExpires::Encode(std::string& out) const {
    out.append(std::to_string(value_));
    params_.EncodeHeaderParams(out);
}

std::string SessionExpires::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

ParseStatus RAck::TryParse(std::string_view text, RAck& out, std::size_t base) {
    out = RAck();
    Scanner s(text, base);
    s.SkipLws();
    if (auto st = s.TakeUInt32(out.rseq_); !st) {
        return st;
    }
    if (!s.SkipLws()) {
        return s.Fail("expected white space in RAck");
    }
    if (auto st = s.TakeUInt32(out.cseq_); !st) {
        return st;
    }
    if (!s.SkipLws()) {
        return s.Fail("expected white space in RAck");
    }
    const std::string_view method = s.TakeToken();
    if (method.empty()) {
        return s.Fail("expected a method");
    }
    out.method_.assign(method);
    return ExpectEnd(s);
}

RAck RAck::Parse(std::string_view text) {
    RAck value;
    ThrowIfFailed(TryParse(text, value), "RAck");
    return value;
}

void RAck::Encode(std::string& out) const {
    out.append(std::to_string(rseq_)).push_back(' ');
    out.append(std::to_string(cseq_)).push_back(' ');
    out.append(method_);
}

std::string RAck::ToString() const {
    std::string text;
    Encode(text);
    return text;
}

} // namespace zel::sip::stack

#include "stack/base/Scanner.h"

#include <cstdint>
#include <limits>

#include "stack/base/CaseInsensitive.h"

namespace zel::sip::stack {

bool Scanner::ConsumeNoCase(std::string_view word) noexcept {
    if (IStartsWith(Rest(), word)) {
        pos_ += word.size();
        return true;
    }
    return false;
}

bool Scanner::SkipLwsFrom(char c) noexcept {
    const std::size_t start = pos_;
    for (;; c = Peek()) {
        if (chars::IsWsp(c)) {
            ++pos_;
        } else if (c == '\r' && PeekAt(1) == '\n' && chars::IsWsp(PeekAt(2))) {
            pos_ += 3;
        } else if (c == '\n' && chars::IsWsp(PeekAt(1))) {
            pos_ += 2;
        } else {
            break;
        }
    }
    return pos_ != start;
}

bool Scanner::ConsumeSeparator(char c) noexcept {
    const std::size_t start = pos_;
    SkipLws();
    if (!Consume(c)) {
        pos_ = start;
        return false;
    }
    SkipLws();
    return true;
}

ParseStatus Scanner::TakeQuotedString(std::string& out) {
    out.clear();
    if (!Consume('"')) {
        return Fail("expected '\"'");
    }
    for (;;) {
        if (AtEnd()) {
            return Fail("unterminated quoted string");
        }
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            return {};
        }
        if (c == '\\') {
            const char next = PeekAt(1);
            if (pos_ + 1 >= text_.size() || next == '\r' || next == '\n') {
                return Fail("bad quoted-pair");
            }
            out.push_back(next);
            pos_ += 2;
            continue;
        }
        if (c == '\r' || c == '\n') {
            const std::size_t before = pos_;
            if (!SkipLws()) {
                return Fail("line end inside quoted string");
            }
            // Keep the white space of the fold, without its line end.
            for (std::size_t i = before; i < pos_; ++i) {
                if (chars::IsWsp(text_[i])) {
                    out.push_back(text_[i]);
                }
            }
            continue;
        }
        out.push_back(c);
        ++pos_;
    }
}

ParseStatus Scanner::TakeComment(std::string_view& out) noexcept {
    const std::size_t start = pos_;
    if (!Consume('(')) {
        return Fail("expected '('");
    }
    int depth = 1;
    while (depth > 0) {
        if (AtEnd()) {
            return Fail("unterminated comment");
        }
        const char c = text_[pos_++];
        if (c == '\\') {
            if (AtEnd()) {
                return Fail("bad quoted-pair");
            }
            ++pos_;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        }
    }
    out = text_.substr(start, pos_ - start);
    return {};
}

ParseStatus Scanner::TakeUInt32(std::uint32_t& out) noexcept {
    const std::size_t start = pos_;
    std::uint64_t value = 0;
    while (chars::IsDigit(Peek())) {
        value = value * 10 + static_cast<std::uint64_t>(Peek() - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return Fail("number out of range");
        }
        ++pos_;
    }
    if (pos_ == start) {
        return Fail("expected a number");
    }
    out = static_cast<std::uint32_t>(value);
    return {};
}

} // namespace zel::sip::stack

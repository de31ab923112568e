#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stack/base/CharClass.h"
#include "stack/base/ParseError.h"

namespace zel::sip::stack {

/// A forward cursor over text, with the SIP whitespace rules of RFC 3261 section 25.1 and failures
/// that carry the byte position where parsing stopped.
///
/// The scanner does not own the text: it must outlive the scanner and every view taken from it.
/// `base` is added to every reported position, so a scanner over a slice of a larger buffer reports
/// positions in that buffer. Not thread-safe; cheap to copy (copying is how a parser backtracks).
class Scanner {
public:
    explicit Scanner(std::string_view text, std::size_t base = 0) noexcept : text_(text), base_(base) {}

    bool AtEnd() const noexcept { return pos_ >= text_.size(); }
    /// The current character, or NUL at the end.
    char Peek() const noexcept { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    /// The character `ahead` places after the current one, or NUL past the end.
    char PeekAt(std::size_t ahead) const noexcept { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
    /// Offset from the start of this scanner's text.
    std::size_t Offset() const noexcept { return pos_; }
    /// Offset plus base: the position reported in failures.
    std::size_t Position() const noexcept { return base_ + pos_; }
    /// Moves to an offset previously read from `Offset()`.
    void Seek(std::size_t offset) noexcept { pos_ = offset < text_.size() ? offset : text_.size(); }
    /// The text not yet consumed.
    std::string_view Rest() const noexcept { return {text_.data() + pos_, text_.size() - pos_}; }
    /// The text between two offsets.
    std::string_view Slice(std::size_t from, std::size_t to) const noexcept { return text_.substr(from, to - from); }
    std::string_view Text() const noexcept { return text_; }

    void Advance(std::size_t count = 1) noexcept { pos_ = pos_ + count < text_.size() ? pos_ + count : text_.size(); }

    /// Consumes `c` if it is next.
    bool Consume(char c) noexcept {
        if (Peek() == c && !AtEnd()) {
            ++pos_;
            return true;
        }
        return false;
    }

    /// Consumes `word` if it is next, compared without regard to ASCII case.
    bool ConsumeNoCase(std::string_view word) noexcept;

    /// Consumes and returns the longest run of characters that satisfy `pred` (possibly empty).
    // Always inlined: callers pass plain functions as `pred`, and only an inlined copy turns the
    // call per character into a table look-up.
    template <class Pred>
    [[gnu::always_inline]] std::string_view TakeWhile(Pred pred) noexcept {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && pred(text_[pos_])) {
            ++pos_;
        }
        return {text_.data() + start, pos_ - start};
    }

    /// Consumes and returns a `token` (empty when none is next).
    std::string_view TakeToken() noexcept { return TakeWhile(chars::IsToken); }

    /// Skips linear white space: SP, HTAB and line folds (CRLF or a bare LF followed by SP/HTAB).
    /// Returns whether anything was skipped. A line end not followed by white space is not skipped.
    bool SkipLws() noexcept {
        const char c = Peek(); // most calls find none: decide that without a call
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return false;
        }
        return SkipLwsFrom(c);
    }

    /// Skips LWS, then consumes `c` and any LWS after it (the SEMI, COMMA, EQUAL, ... rules).
    bool ConsumeSeparator(char c) noexcept;

    /// Parses a quoted-string at the cursor into `out` (content without the quotes, quoted-pairs
    /// resolved, line folds reduced to their white space).
    ParseStatus TakeQuotedString(std::string& out);

    /// Consumes a comment `( ... )`, nested comments and quoted-pairs included, and returns its text
    /// with the outer parentheses.
    ParseStatus TakeComment(std::string_view& out) noexcept;

    /// Consumes decimal digits into an unsigned 32-bit number; fails on no digits or overflow.
    ParseStatus TakeUInt32(std::uint32_t& out) noexcept;

    /// A failure at the current position.
    ParseFailure Fail(const char* reason) const noexcept { return ParseFailure{Position(), reason}; }

private:
    bool SkipLwsFrom(char c) noexcept;

    std::string_view text_;
    std::size_t base_ = 0;
    std::size_t pos_ = 0;
};

} // namespace zel::sip::stack

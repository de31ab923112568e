#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zel::sip::stack {

/// Where and why a parse failed. `position` is a byte offset into the text that was parsed (for a
/// header value: into that value; for a message: into the whole buffer). `reason` is a static text
/// (never freed, never owned), so a failure is cheap to make on per-packet paths.
struct ParseFailure {
    std::size_t position = 0;
    const char* reason = "";
};

/// The outcome of a non-throwing parse: success, or a `ParseFailure`. Per-packet parsing returns
/// this instead of throwing, so a hostile peer cannot make the stack throw per datagram.
class [[nodiscard]] ParseStatus {
public:
    /// Success.
    ParseStatus() = default;
    /// Failure. Implicit so parsers can `return scanner.Fail("...")`.
    ParseStatus(ParseFailure failure) noexcept : failed_(true), failure_(failure) {} // NOLINT

    bool Ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return !failed_; }
    /// The failure; meaningful only when `!Ok()`.
    const ParseFailure& Failure() const noexcept { return failure_; }
    /// "reason (at offset N)", or "ok".
    std::string Describe() const;

private:
    bool failed_ = false;
    ParseFailure failure_;
};

/// Raised by the throwing conveniences (`T::Parse`, `SipMessage::Get`) of the message layer.
/// what() reads "<what> parse error: <reason> (at offset N)".
class ParseError : public std::runtime_error {
public:
    ParseError(std::string_view what, const ParseFailure& failure);

    std::size_t Position() const noexcept { return failure_.position; }
    const char* Reason() const noexcept { return failure_.reason; }

private:
    ParseFailure failure_;
};

/// Throws `ParseError` naming `what` when `status` is a failure.
void ThrowIfFailed(const ParseStatus& status, std::string_view what);

} // namespace zel::sip::stack

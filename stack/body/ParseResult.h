#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace zel::sip::stack {

/// Why a body (or an SDP) could not be parsed: a message and, for line-based grammars, the 1-based
/// line number where the fault was found (0 when the fault concerns the body as a whole).
struct BodyError {
    std::size_t line = 0;
    std::string message;

    /// "line N: message", or the message alone when no line is known.
    std::string ToString() const;
};

/// Raised by the throwing parse entry points; what() is BodyError::ToString().
class BodyParseError : public std::invalid_argument {
public:
    explicit BodyParseError(BodyError error) : std::invalid_argument(error.ToString()), error_(std::move(error)) {}

    std::size_t Line() const noexcept { return error_.line; }
    const BodyError& Error() const noexcept { return error_; }

private:
    BodyError error_;
};

/// The outcome of parsing what a peer sent: a value or a BodyError. Parsing never throws on bad
/// input; the caller decides whether a failure becomes an exception (ValueOrThrow) or a response.
template <class T>
class ParseResult {
public:
    ParseResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}           // NOLINT
    ParseResult(BodyError error) : state_(std::in_place_index<1>, std::move(error)) {}   // NOLINT

    bool Ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return Ok(); }

    /// The value; only when Ok().
    T& Value() & { return std::get<0>(state_); }
    const T& Value() const& { return std::get<0>(state_); }
    T&& Value() && { return std::get<0>(std::move(state_)); }

    /// The error; only when !Ok().
    const BodyError& Error() const { return std::get<1>(state_); }

    /// The value, or raises BodyParseError with the error.
    T ValueOrThrow() && {
        if (!Ok()) {
            throw BodyParseError(std::get<1>(state_));
        }
        return std::get<0>(std::move(state_));
    }

private:
    std::variant<T, BodyError> state_;
};

} // namespace zel::sip::stack

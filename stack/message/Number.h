#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

/// A plain unsigned number header value: Expires, Min-Expires, Max-Forwards, Content-Length, RSeq,
/// Flow-Timer, Max-Breadth. Values above 2**32-1 are parse errors (RFC 4475 section 3.1.2.5 leaves
/// the reaction to the element).
class Number {
public:
    Number() = default;
    explicit Number(std::uint32_t value) : value_(value) {}

    static ParseStatus TryParse(std::string_view text, Number& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Number Parse(std::string_view text);

    std::uint32_t Value() const noexcept { return value_; }
    void SetValue(std::uint32_t value) noexcept { value_ = value; }

    void Encode(std::string& out) const { out.append(std::to_string(value_)); }
    std::string ToString() const { return std::to_string(value_); }

private:
    std::uint32_t value_ = 0;
};

/// Retry-After (RFC 3261 section 20.33): delta-seconds, an optional comment, and parameters
/// (duration, ...).
class RetryAfter {
public:
    static ParseStatus TryParse(std::string_view text, RetryAfter& out, std::size_t base = 0);
    static RetryAfter Parse(std::string_view text);

    std::uint32_t Value() const noexcept { return value_; }
    void SetValue(std::uint32_t value) noexcept { value_ = value; }
    /// The comment with its parentheses, empty when none.
    const std::string& Comment() const noexcept { return comment_; }
    void SetComment(std::string_view comment) { comment_.assign(comment); }
    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::uint32_t value_ = 0;
    std::string comment_;
    ParameterList params_;
};

/// Session-Expires and Min-SE (RFC 4028 sections 4, 5): delta-seconds with parameters; the
/// refresher parameter ("uac" or "uas") of Session-Expires is readable by name.
class SessionExpires {
public:
    static ParseStatus TryParse(std::string_view text, SessionExpires& out, std::size_t base = 0);
    static SessionExpires Parse(std::string_view text);

    std::uint32_t Value() const noexcept { return value_; }
    void SetValue(std::uint32_t value) noexcept { value_ = value; }
    /// The refresher parameter, empty when absent.
    std::string_view Refresher() const noexcept;
    void SetRefresher(std::string_view refresher) { params_.Set("refresher", refresher); }
    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::uint32_t value_ = 0;
    ParameterList params_;
};

/// RAck (RFC 3262 section 7.2): response-num, CSeq-num and method.
class RAck {
public:
    static ParseStatus TryParse(std::string_view text, RAck& out, std::size_t base = 0);
    static RAck Parse(std::string_view text);

    std::uint32_t ResponseNumber() const noexcept { return rseq_; }
    void SetResponseNumber(std::uint32_t value) noexcept { rseq_ = value; }
    std::uint32_t CSeqNumber() const noexcept { return cseq_; }
    void SetCSeqNumber(std::uint32_t value) noexcept { cseq_ = value; }
    const std::string& Method() const noexcept { return method_; }
    void SetMethod(std::string_view method) { method_.assign(method); }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::uint32_t rseq_ = 0;
    std::uint32_t cseq_ = 0;
    std::string method_;
};

} // namespace zel::sip::stack

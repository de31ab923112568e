#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"

namespace zel::sip::stack {

/// The CSeq value (RFC 3261 section 20.16): a sequence number below 2**31 and a method token.
class CSeq {
public:
    CSeq() = default;
    CSeq(std::uint32_t sequence, std::string method) : sequence_(sequence), method_(std::move(method)) {}

    static ParseStatus TryParse(std::string_view text, CSeq& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static CSeq Parse(std::string_view text);

    std::uint32_t Sequence() const noexcept { return sequence_; }
    void SetSequence(std::uint32_t sequence) noexcept { sequence_ = sequence; }
    /// The method as written (methods are case-sensitive, RFC 3261 section 7.1).
    const std::string& Method() const noexcept { return method_; }
    void SetMethod(std::string_view method) { method_.assign(method); }

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::uint32_t sequence_ = 0;
    std::string method_;
};

} // namespace zel::sip::stack

#pragma once

#include <string>
#include <string_view>

#include "stack/base/ParseError.h"

namespace zel::sip::stack {

/// The Call-ID value (RFC 3261 section 20.8): `word ["@" word]`, compared byte for byte.
class CallId {
public:
    CallId() = default;
    explicit CallId(std::string value) : value_(std::move(value)) {}

    static ParseStatus TryParse(std::string_view text, CallId& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static CallId Parse(std::string_view text);

    /// The identifier; `Value().c_str()` stays valid while this object lives unchanged.
    const std::string& Value() const noexcept { return value_; }
    void SetValue(std::string_view value) { value_.assign(value); }

    void Encode(std::string& out) const { out.append(value_); }
    std::string ToString() const { return value_; }

private:
    std::string value_;
};

} // namespace zel::sip::stack

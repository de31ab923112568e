#pragma once

#include <string>
#include <string_view>

namespace zel::sip::stack {

/// A MIME media type as SIP carries it in Content-Type and Accept (RFC 3261 section 20.15):
/// a type and a subtype. Media-type parameters are added by the message layer's header grammar.
///
/// The values are kept as given: no trimming and no change of case, so a type built from host text
/// is written back exactly. Comparison follows RFC 2045 section 5.1: type and subtype are compared
/// without regard to ASCII case.
class Mime {
public:
    Mime() = default;
    Mime(std::string type, std::string subtype) : type_(std::move(type)), subtype_(std::move(subtype)) {}

    const std::string& Type() const noexcept { return type_; }
    const std::string& Subtype() const noexcept { return subtype_; }

    /// "type/subtype".
    std::string ToString() const;

    /// Type and subtype equal without regard to ASCII case.
    bool Matches(std::string_view type, std::string_view subtype) const noexcept;

    friend bool operator==(const Mime& a, const Mime& b) noexcept { return a.Matches(b.type_, b.subtype_); }

private:
    std::string type_;
    std::string subtype_;
};

} // namespace zel::sip::stack

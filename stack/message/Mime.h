#pragma once

#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

/// A MIME media type as SIP carries it in Content-Type and Accept (RFC 3261 sections 20.1, 20.15):
/// a type, a subtype and media-type parameters (charset, boundary, q, ...), kept in order.
///
/// Type and subtype are kept as given: no trimming and no change of case, so a type built from host
/// text is written back exactly. Comparison follows RFC 2045 section 5.1: type and subtype are
/// compared without regard to ASCII case; parameters are not compared.
class Mime {
public:
    Mime() = default;
    Mime(std::string type, std::string subtype) : type_(std::move(type)), subtype_(std::move(subtype)) {}

    /// Parses `type "/" subtype *(SEMI m-parameter)`. "*" is accepted as type and subtype (Accept).
    static ParseStatus TryParse(std::string_view text, Mime& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Mime Parse(std::string_view text);

    const std::string& Type() const noexcept { return type_; }
    const std::string& Subtype() const noexcept { return subtype_; }

    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }

    /// "type/subtype", without parameters.
    std::string ToString() const;
    /// Appends "type/subtype;param=value..." (the header value form).
    void Encode(std::string& out) const;

    /// Type and subtype equal without regard to ASCII case.
    bool Matches(std::string_view type, std::string_view subtype) const noexcept;

    friend bool operator==(const Mime& a, const Mime& b) noexcept { return a.Matches(b.type_, b.subtype_); }

private:
    std::string type_;
    std::string subtype_;
    ParameterList params_;
};

} // namespace zel::sip::stack

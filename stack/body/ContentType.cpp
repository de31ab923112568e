#include "stack/body/ContentType.h"

#include "stack/base/CharClass.h"

#include <boost/algorithm/string/predicate.hpp>

namespace zel::sip::stack {

using chars::IsTokenText;

ParseResult<ContentType> ContentType::Parse(std::string_view text) {
    // The message layer's media-type grammar, then the parameters as plain name/value pairs. A
    // trailing ";" is a common sloppiness in part headers and is tolerated.
    std::string_view grammar = text;
    while (!grammar.empty() && (grammar.back() == ' ' || grammar.back() == '\t')) {
        grammar.remove_suffix(1);
    }
    if (grammar.ends_with(';')) {
        grammar.remove_suffix(1);
    }
    stack::Mime parsed;
    if (auto status = stack::Mime::TryParse(grammar, parsed); !status) {
        return BodyError{0, "invalid Content-Type '" + std::string(text) + "': " + std::string(status.Failure().reason)};
    }
    for (const auto& p : parsed.Params()) {
        if (!p.hasValue || (p.value.empty() && !p.quoted)) {
            return BodyError{0, "invalid Content-Type '" + std::string(text) + "': parameter without value"};
        }
    }
    return FromMime(parsed);
}

ContentType ContentType::FromMime(const stack::Mime& mime) {
    ContentType result{mime.Type(), mime.Subtype()};
    for (const auto& p : mime.Params()) {
        if (p.hasValue) {
            result.parameters.push_back(MimeParameter{p.name, p.value});
        }
    }
    return result;
}

stack::Mime ContentType::ToMime() const {
    stack::Mime result(mime.Type(), mime.Subtype());
    for (const auto& p : parameters) {
        result.Params().Append(stack::Parameter{p.name, p.value, true, !IsTokenText(p.value)});
    }
    return result;
}

std::optional<std::string_view> ContentType::Parameter(std::string_view name) const noexcept {
    for (const auto& p : parameters) {
        if (boost::algorithm::iequals(p.name, name)) {
            return std::string_view(p.value);
        }
    }
    return std::nullopt;
}

void ContentType::SetParameter(std::string_view name, std::string value) {
    for (auto& p : parameters) {
        if (boost::algorithm::iequals(p.name, name)) {
            p.value = std::move(value);
            return;
        }
    }
    parameters.push_back(MimeParameter{std::string(name), std::move(value)});
}

std::string ContentType::Encode() const {
    std::string text = mime.ToString();
    for (const auto& p : parameters) {
        text.append(1, ';').append(p.name).append(1, '=');
        if (IsTokenText(p.value)) {
            text.append(p.value);
        } else {
            AppendQuoted(text, p.value);
        }
    }
    return text;
}

} // namespace zel::sip::stack

#include "stack/body/ContentType.h"

#include "stack/body/detail/MimeGrammar.h"

#include <boost/algorithm/string/predicate.hpp>

namespace zel::sip::stack {

using detail::IsToken;
using detail::IsTokenChar;
using detail::SkipBlanks;

ParseResult<ContentType> ContentType::Parse(std::string_view text) {
    std::size_t i = 0;
    SkipBlanks(text, i);
    auto readToken = [&](std::string_view& out) {
        const std::size_t start = i;
        while (i < text.size() && IsTokenChar(text[i])) {
            ++i;
        }
        out = text.substr(start, i - start);
        return !out.empty();
    };
    std::string_view type;
    std::string_view subtype;
    if (!readToken(type)) {
        return BodyError{0, "invalid Content-Type '" + std::string(text) + "': missing type"};
    }
    SkipBlanks(text, i);
    if (i >= text.size() || text[i] != '/') {
        return BodyError{0, "invalid Content-Type '" + std::string(text) + "': missing '/'"};
    }
    ++i;
    SkipBlanks(text, i);
    if (!readToken(subtype)) {
        return BodyError{0, "invalid Content-Type '" + std::string(text) + "': missing subtype"};
    }
    ContentType result{std::string(type), std::string(subtype)};
    for (;;) {
        SkipBlanks(text, i);
        if (i >= text.size()) {
            break;
        }
        if (text[i] != ';') {
            return BodyError{0, "invalid Content-Type '" + std::string(text) + "': expected ';'"};
        }
        ++i;
        SkipBlanks(text, i);
        if (i >= text.size()) {
            break; // a trailing ";" is a common sloppiness
        }
        std::string_view name;
        if (!readToken(name)) {
            return BodyError{0, "invalid Content-Type '" + std::string(text) + "': bad parameter name"};
        }
        SkipBlanks(text, i);
        if (i >= text.size() || text[i] != '=') {
            return BodyError{0, "invalid Content-Type '" + std::string(text) + "': parameter without value"};
        }
        ++i;
        SkipBlanks(text, i);
        std::string value;
        if (i < text.size() && text[i] == '"') {
            if (!detail::ReadQuotedString(text, i, value)) {
                return BodyError{0, "invalid Content-Type '" + std::string(text) + "': unterminated quoted string"};
            }
        } else {
            std::string_view token;
            if (!readToken(token)) {
                return BodyError{0, "invalid Content-Type '" + std::string(text) + "': bad parameter value"};
            }
            value = std::string(token);
        }
        result.parameters.push_back(MimeParameter{std::string(name), std::move(value)});
    }
    return result;
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
        result.Params().Append(stack::Parameter{p.name, p.value, true, !IsToken(p.value)});
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
        if (IsToken(p.value)) {
            text.append(p.value);
        } else {
            text.append(detail::Quote(p.value));
        }
    }
    return text;
}

} // namespace zel::sip::stack

#include "stack/message/Parameter.h"

#include <algorithm>
#include <cstring>
#include <charconv>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"

namespace zel::sip::stack {
namespace {

constexpr bool IsGenValueChar(char c) noexcept {
    return chars::IsToken(c) || c == '[' || c == ']' || c == ':' || c == '/' || c == '@';
}

} // namespace

const Parameter* ParameterList::Find(std::string_view name) const noexcept {
    for (const Parameter& p : items_) {
        if (IEquals(p.name, name)) {
            return &p;
        }
    }
    return nullptr;
}

Parameter* ParameterList::Find(std::string_view name) noexcept {
    for (Parameter& p : items_) {
        if (IEquals(p.name, name)) {
            return &p;
        }
    }
    return nullptr;
}

void ParameterList::Set(std::string_view name, std::string_view value, bool forceQuotes) {
    Parameter* existing = Find(name);
    if (existing == nullptr) {
        items_.push_back(Parameter{std::string(name), {}, false, false});
        existing = &items_.back();
    }
    existing->value.assign(value);
    existing->hasValue = true;
    existing->quoted = forceQuotes || !IsPlainParamValue(value);
}

std::optional<std::uint32_t> ParameterList::GetUInt32(std::string_view name) const noexcept {
    const Parameter* p = Find(name);
    if (p == nullptr || !p->hasValue || p->value.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const char* end = p->value.data() + p->value.size();
    const auto [stop, ec] = std::from_chars(p->value.data(), end, value);
    if (ec != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

void ParameterList::SetUInt32(std::string_view name, std::uint32_t value) { Set(name, std::to_string(value)); }

void ParameterList::SetFlag(std::string_view name) {
    if (Find(name) == nullptr) {
        items_.push_back(Parameter{std::string(name), {}, false, false});
    }
}

bool ParameterList::Remove(std::string_view name) {
    const auto before = items_.size();
    items_.erase(std::remove_if(items_.begin(), items_.end(), [name](const Parameter& p) { return IEquals(p.name, name); }),
                 items_.end());
    return items_.size() != before;
}

void ParameterList::EncodeHeaderParams(std::string& out) const {
    for (const Parameter& p : items_) {
        out.push_back(';');
        out.append(p.name);
        if (p.hasValue) {
            out.push_back('=');
            if (p.quoted) {
                AppendQuoted(out, p.value);
            } else {
                out.append(p.value);
            }
        }
    }
}

void ParameterList::EncodeEscaped(std::string& out, char first, char separator, CharPredicate allowed) const {
    bool isFirst = true;
    for (const Parameter& p : items_) {
        out.push_back(isFirst ? first : separator);
        isFirst = false;
        AppendEscaped(out, p.name, allowed);
        if (p.hasValue) {
            out.push_back('=');
            AppendEscaped(out, p.value, allowed);
        }
    }
}

bool operator==(const ParameterList& a, const ParameterList& b) noexcept {
    if (a.items_.size() != b.items_.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.items_.size(); ++i) {
        const Parameter& x = a.items_[i];
        const Parameter& y = b.items_[i];
        if (!IEquals(x.name, y.name) || x.hasValue != y.hasValue || x.value != y.value) {
            return false;
        }
    }
    return true;
}

bool IsPlainParamValue(std::string_view value) noexcept {
    return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return IsGenValueChar(c); });
}

void AppendQuoted(std::string& out, std::string_view value) {
    out.push_back('"');
    for (char c : value) {
        if (c == '\r' || c == '\n') {
            out.push_back(' '); // a quoted-pair cannot carry a line end (RFC 3261 section 25.1)
            continue;
        }
        // qdtext (RFC 3261 section 25.1) holds no control byte but HTAB, nor '"' or '\\': those
        // travel as quoted-pairs, so a peer never finds a bare NUL or DEL inside our quotes.
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || (byte < 0x20 && c != '\t') || byte == 0x7f) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

void ParameterList::ReserveFor(std::string_view text, char separator) {
    constexpr std::size_t kMostReserved = 8; // a line of empty parameters must not reserve thousands
    if (!items_.empty()) {
        return;
    }
    std::size_t count = 0;
    for (const char* at = text.data(); count < kMostReserved;) {
        const auto* found = static_cast<const char*>(std::memchr(at, separator, static_cast<std::size_t>(text.data() + text.size() - at)));
        if (found == nullptr) {
            break;
        }
        ++count;
        at = found + 1;
    }
    items_.reserve(count);
}

ParseStatus ParseHeaderParams(Scanner& scanner, ParameterList& out) {
    out.ReserveFor(scanner.Rest(), ';');
    for (;;) {
        const std::size_t mark = scanner.Offset();
        if (!scanner.ConsumeSeparator(';')) {
            scanner.Seek(mark);
            return {};
        }
        Parameter parameter;
        const std::string_view name = scanner.TakeToken();
        if (name.empty()) {
            return scanner.Fail("expected a parameter name");
        }
        parameter.name.assign(name);
        const std::size_t afterName = scanner.Offset();
        if (scanner.ConsumeSeparator('=')) {
            parameter.hasValue = true;
            if (scanner.Peek() == '"') {
                if (auto status = scanner.TakeQuotedString(parameter.value); !status) {
                    return status;
                }
                parameter.quoted = true;
            } else {
                parameter.value.assign(scanner.TakeWhile(IsGenValueChar));
            }
        } else {
            scanner.Seek(afterName);
        }
        out.Append(std::move(parameter));
    }
}

ParseStatus ExpectEnd(Scanner& scanner) {
    scanner.SkipLws();
    if (!scanner.AtEnd()) {
        return scanner.Fail("unexpected text");
    }
    return {};
}

} // namespace zel::sip::stack

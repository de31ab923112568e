#include "sdp/attributes/Crypto.h"

#include <charconv>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace zel::sip::sdp::attributes {

namespace {

constexpr std::uint64_t MaximumMKILength = 8;

// The separators of an attribute value: the white space of the classic locale, which is what
// formatted stream input splits at. NUL and bytes above 0x7f are ordinary token characters.
bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Cuts the next white-space separated token off the front of `text`; empty when none is left.
std::string_view NextToken(std::string_view& text) {
    std::size_t begin = 0;
    while (begin < text.size() && IsWhiteSpace(text[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < text.size() && !IsWhiteSpace(text[end]))
        ++end;
    const auto token = text.substr(begin, end - begin);
    text.remove_prefix(end);
    return token;
}

// A whole text of decimal digits, no sign, no white space, that fits in T.
template <typename T>
bool ParseDecimal(std::string_view text, T& value) {
    if (text.empty())
        return false;
    const auto* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end;
}

// The lifetime number: an optional sign, then digits. A "-" negates modulo 2^64, as strtoull does.
bool ParseLifetime(std::string_view text, std::uint64_t& value) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (!ParseDecimal(text, value))
        return false;
    if (negative)
        value = std::uint64_t{0} - value;
    return true;
}

// "<mki>:<length>", both unsigned decimal numbers that fit in 64 bits, and nothing else.
bool ParseMKI(std::string_view text, std::uint64_t& mki, std::uint64_t& length) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    return ParseDecimal(text.substr(0, colon), mki) && ParseDecimal(text.substr(colon + 1), length);
}

std::invalid_argument Invalid(std::string_view what, std::string_view quoted) {
    std::string message(what);
    message.append(": '").append(quoted).append("'");
    return std::invalid_argument(message);
}

void ParseFurtherPart(std::string_view part, Crypto::KeyParameter& parameter) {
    if (part.find(':') != std::string_view::npos) {
        std::uint64_t mki = 0;
        std::uint64_t length = 0;
        if (!ParseMKI(part, mki, length))
            throw Invalid("invalid crypto attribute key-parameter mki", part);
        if (length > MaximumMKILength)
            throw std::invalid_argument("unsupported mki-length " + std::to_string(length) +
                                        " - maximum supported mki-length is " +
                                        std::to_string(MaximumMKILength));
        parameter.MKI = mki;
        parameter.MKILength = length;
        return;
    }

    // A lifetime is "2^n" or a plain packet count (RFC 4568 section 9.2); the base before "^" is
    // not checked.
    const auto caret = part.find('^');
    const auto number = caret == std::string_view::npos ? part : part.substr(caret + 1);
    std::uint64_t lifetime = 0;
    if (!ParseLifetime(number, lifetime))
        throw Invalid("invalid crypto attribute key-parameter lifetime", part);
    parameter.Lifetime = lifetime;
    // A lifetime of 0 means "absent" whatever its form, so it prints (and compares) as absent.
    parameter.LifetimeIsPacketCount = caret == std::string_view::npos && lifetime != 0;
}

std::string ReadToEnd(std::istream& input) {
    std::string text;
    if (input.good())
        text.assign(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
    input.setstate(std::ios_base::eofbit);
    return text;
}

} // namespace

Crypto::KeyParameter Crypto::KeyParameter::Parse(const std::string& text) {
    if (text.empty())
        throw Invalid("invalid crypto attribute key-parameter", text);

    const std::string_view whole(text);
    const auto firstBar = whole.find('|');
    const auto first = whole.substr(0, firstBar);

    KeyParameter parameter;
    const auto colon = first.find(':');
    parameter.Method = first.substr(0, colon);
    if (parameter.Method.empty())
        throw Invalid("invalid crypto attribute key-parameter method", first);
    auto keySalt = colon == std::string_view::npos ? std::string_view() : first.substr(colon + 1);
    parameter.Info = NextToken(keySalt);
    if (parameter.Info.empty())
        throw Invalid("invalid crypto attribute key-parameter key-salt", first);

    if (firstBar == std::string_view::npos)
        return parameter;
    auto rest = whole.substr(firstBar + 1);
    for (;;) {
        const auto bar = rest.find('|');
        ParseFurtherPart(rest.substr(0, bar), parameter);
        if (bar == std::string_view::npos)
            break;
        rest.remove_prefix(bar + 1);
    }
    return parameter;
}

Crypto Crypto::Parse(std::istream& input) {
    const std::string text = ReadToEnd(input);
    std::string_view rest(text);

    Crypto crypto;
    const auto tag = NextToken(rest);
    const auto suite = NextToken(rest);
    const auto keyParameters = NextToken(rest);
    if (tag.empty() || suite.empty() || keyParameters.empty() || !ParseDecimal(tag, crypto.Tag))
        throw Invalid("invalid crypto attribute", text);
    crypto.Suite = suite;

    // Pieces between ";"; a ";" at the very end ends the list without a further, empty piece.
    for (std::size_t begin = 0; begin < keyParameters.size();) {
        const auto end = keyParameters.find(';', begin);
        crypto.KeyParameters.push_back(
            KeyParameter::Parse(std::string(keyParameters.substr(begin, end - begin))));
        if (end == std::string_view::npos)
            break;
        begin = end + 1;
    }

    for (auto token = NextToken(rest); !token.empty(); token = NextToken(rest))
        crypto.SessionParameters.emplace_back(token);
    return crypto;
}

// Numbers go through std::to_string so that a caller's stream flags (std::hex) cannot change them.
std::ostream& operator<<(std::ostream& output, const Crypto::KeyParameter& parameter) {
    output << parameter.Method << ':' << parameter.Info;
    if (parameter.Lifetime != 0)
        output << (parameter.LifetimeIsPacketCount ? "|" : "|2^") << std::to_string(parameter.Lifetime);
    // An MKI of 0 is a valid value (RFC 4568 section 9.2), so the part is written whenever it was
    // given, not only when both numbers are non-zero.
    if (parameter.MKI != 0 || parameter.MKILength != 0)
        output << '|' << std::to_string(parameter.MKI) << ':' << std::to_string(parameter.MKILength);
    return output;
}

std::ostream& operator<<(std::ostream& output, const Crypto& crypto) {
    output << std::to_string(crypto.Tag) << ' ' << crypto.Suite << ' ';
    const char* separator = "";
    for (const auto& parameter : crypto.KeyParameters) {
        output << separator << parameter;
        separator = ";";
    }
    for (const auto& parameter : crypto.SessionParameters)
        output << ' ' << parameter;
    return output;
}

} // namespace zel::sip::sdp::attributes

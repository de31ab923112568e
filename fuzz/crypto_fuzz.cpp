// Parses arbitrary text as an SDP crypto attribute value and as one key parameter.
// Invariants: a parse either succeeds or raises std::invalid_argument with one of the parser's
// messages; a value that parsed prints to a text that parses again to an equal value, and that
// second value prints to the same text.
#include "sdp/attributes/Crypto.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using zel::sip::sdp::attributes::Crypto;

constexpr std::array<std::string_view, 7> KnownMessages = {
    "invalid crypto attribute: '",
    "invalid crypto attribute key-parameter: '",
    "invalid crypto attribute key-parameter method: '",
    "invalid crypto attribute key-parameter key-salt: '",
    "invalid crypto attribute key-parameter mki: '",
    "invalid crypto attribute key-parameter lifetime: '",
    "unsupported mki-length ",
};

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: [%s]\n", what, detail.c_str());
    std::abort();
}

// what() is a C string: a quoted input that holds a NUL ends the message early.
void CheckMessage(const std::invalid_argument& error, bool inputHasNul) {
    const std::string_view message = error.what();
    for (const auto known : KnownMessages) {
        if (message.substr(0, known.size()) != known)
            continue;
        if (!inputHasNul && known.back() == '\'' && message.back() != '\'')
            Fail("quoted message not closed", std::string(message));
        return;
    }
    Fail("unknown message", std::string(message));
}

template <typename T>
std::string Print(const T& value) {
    std::ostringstream output;
    output << value;
    return output.str();
}

Crypto ParseCrypto(const std::string& text) {
    std::istringstream input(text);
    return Crypto::Parse(input);
}

template <typename T, typename ParseFn>
void RoundTrip(const std::string& text, ParseFn parse) {
    T first;
    try {
        first = parse(text);
    } catch (const std::invalid_argument& error) {
        CheckMessage(error, text.find('\0') != std::string::npos);
        return;
    }
    const auto printed = Print(first);
    T second;
    try {
        second = parse(printed);
    } catch (const std::invalid_argument& error) {
        Fail("printed value does not parse", printed + "] <- [" + error.what());
    }
    if (!(second == first))
        Fail("re-parsed value differs", printed);
    if (Print(second) != printed)
        Fail("printed text not stable", printed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    RoundTrip<Crypto>(text, ParseCrypto);
    RoundTrip<Crypto::KeyParameter>(text, [](const std::string& t) { return Crypto::KeyParameter::Parse(t); });
    return 0;
}

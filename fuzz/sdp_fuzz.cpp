// Parses arbitrary bytes as an SDP and as a body (the first line is taken as the Content-Type,
// the rest as the content, so multipart framing and nested parts are reached). Whatever parses
// must encode, parse again and encode to the same bytes.

#include "stack/body/BodyFactory.h"
#include "stack/body/sdp/Session.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void FuzzSdp(std::string_view text) {
    using zel::sip::stack::sdp::Session;
    auto first = Session::Parse(text);
    if (!first) {
        return;
    }
    const std::string encoded = first.Value().Encode();
    auto second = Session::Parse(encoded);
    Check(second.Ok());
    Check(second.Value().Encode() == encoded);
    for (const auto& medium : first.Value().Media()) {
        (void)medium.Codecs();
    }
}

void FuzzBody(std::string_view data) {
    using namespace zel::sip::stack;
    const auto newline = data.find('\n');
    if (newline == std::string_view::npos) {
        return;
    }
    auto first = ParseBody(data.substr(0, newline), data.substr(newline + 1));
    if (!first) {
        return;
    }
    const std::string type = first.Value()->ContentType().Encode();
    const std::string encoded = first.Value()->Encode(); // a parsed body's boundary is always safe
    auto second = ParseBody(type, encoded, first.Value()->Headers());
    Check(second.Ok());
    Check(second.Value()->ContentType().Encode() == type);
    Check(second.Value()->Encode() == encoded);
    (void)FindSdp(*second.Value());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FuzzSdp(text);
    FuzzBody(text);
    return 0;
}

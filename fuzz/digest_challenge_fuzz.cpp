// libFuzzer target: digest client authentication fed arbitrary challenges. Each input line is one
// WWW-Authenticate value of a 401 (Proxy-Authenticate of a 407 when the first byte is odd), parsed
// as a peer's datagram, then answered and answered again as a retry would be. Nothing may throw,
// and what Authorize writes must parse back with the same response.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stack/dum/auth/ClientAuth.h"

namespace {

using namespace zel::sip::stack;

const std::string kRequest = "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
                             "Via: SIP/2.0/UDP 192.0.2.10;branch=z9hG4bKfuzz\r\n"
                             "To: <sip:bob@biloxi.example.com>\r\n"
                             "From: <sip:alice@atlanta.example.com>;tag=1\r\n"
                             "Call-ID: fuzz\r\n"
                             "CSeq: 1 INVITE\r\n"
                             "Content-Length: 2\r\n\r\nhi";

void CheckWritten(const SipMessage& request, HeaderType header) {
    SipMessage again;
    if (!SipMessage::TryParse(request.Encode(), again)) {
        __builtin_trap();
    }
    for (std::size_t i = 0; i < request.Count(header); ++i) {
        const Auth* written = request.Peek<Auth>(header, i);
        const Auth* read = again.Peek<Auth>(header, i);
        if (written == nullptr || read == nullptr || written->Param("response") != read->Param("response")) {
            __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool proxy = (data[0] & 1) != 0;
    const bool oneCredential = (data[0] & 2) != 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string text = proxy ? "SIP/2.0 407 Proxy Authentication Required\r\n" : "SIP/2.0 401 Unauthorized\r\n";
    text += "Via: SIP/2.0/UDP 192.0.2.10;branch=z9hG4bKfuzz\r\n"
            "To: <sip:bob@biloxi.example.com>;tag=2\r\n"
            "From: <sip:alice@atlanta.example.com>;tag=1\r\n"
            "Call-ID: fuzz\r\nCSeq: 1 INVITE\r\n";
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        text.append(proxy ? "Proxy-Authenticate: " : "WWW-Authenticate: ").append(line).append("\r\n");
    }
    text += "Content-Length: 0\r\n\r\n";
    SipMessage response;
    if (!SipMessage::TryParse(std::move(text), response)) {
        return 0;
    }

    const std::vector<DigestCredential> credentials =
        oneCredential ? std::vector<DigestCredential>{{"atlanta.example.com", "al\"ice", "pw"}}
                      : std::vector<DigestCredential>{{"r", "a", "p"}, {"realm", "b\\", "q"}};
    const HeaderType header = proxy ? HeaderType::ProxyAuthorization : HeaderType::Authorization;
    ClientAuth auth([] { return std::string("0a4f113b"); });
    const SipMessage sent = SipMessage::Parse(kRequest);
    if (!auth.HandleChallenge(sent, response, credentials)) {
        return 0;
    }
    SipMessage retry = sent;
    auth.Authorize(retry);
    CheckWritten(retry, header);
    // The same challenge to the retry is a refusal unless it says stale; either way no throw.
    if (auth.HandleChallenge(retry, response, credentials)) {
        SipMessage third = retry;
        auth.Authorize(third);
        CheckWritten(third, header);
    }
    return 0;
}

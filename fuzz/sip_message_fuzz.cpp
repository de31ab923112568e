// libFuzzer target: the SIP message parser, typed header access, encoding and stream framing.
// Whatever the bytes, parsing must end in a message or a failure value, never a crash or a hang;
// a parsed message must re-encode into something that parses again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stack/message/SipMessage.h"
#include "stack/message/StreamFramer.h"

namespace {

using namespace zel::sip::stack;

void TouchAllHeaders(SipMessage& m) {
    for (std::size_t i = 0; i < kHeaderTypeCount; ++i) {
        const auto type = static_cast<HeaderType>(i);
        const std::size_t count = m.Count(type);
        for (std::size_t index = 0; index < count && index < 8; ++index) {
            (void)m.Raw(type, index);
            switch (GetHeaderInfo(type).kind) {
            case ValueKind::Text: (void)m.Peek<Text>(type, index); break;
            case ValueKind::Token: (void)m.Peek<Token>(type, index); break;
            case ValueKind::NameAddr: (void)m.Edit<NameAddr>(type, index); break;
            case ValueKind::Via: (void)m.Edit<Via>(type, index); break;
            case ValueKind::CSeq: (void)m.Peek<CSeq>(type, index); break;
            case ValueKind::CallId: (void)m.Peek<CallId>(type, index); break;
            case ValueKind::Mime: (void)m.Edit<Mime>(type, index); break;
            case ValueKind::Warning: (void)m.Edit<Warning>(type, index); break;
            case ValueKind::Reason: (void)m.Edit<Reason>(type, index); break;
            case ValueKind::Event: (void)m.Peek<Event>(type, index); break;
            case ValueKind::Number: (void)m.Peek<Number>(type, index); break;
            case ValueKind::RetryAfter: (void)m.Edit<RetryAfter>(type, index); break;
            case ValueKind::SessionExpires: (void)m.Peek<SessionExpires>(type, index); break;
            case ValueKind::RAck: (void)m.Peek<RAck>(type, index); break;
            case ValueKind::Auth: (void)m.Edit<Auth>(type, index); break;
            }
        }
    }
    for (std::string_view name : m.ExtensionNames()) {
        (void)m.PeekExtension<Text>(name, 0);
    }
    (void)m.EditRequestUri();
    (void)m.Validate();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    SipMessage message;
    if (SipMessage::TryParse(std::string(bytes), message)) {
        TouchAllHeaders(message);
        const std::string wire = message.Encode();
        SipMessage again;
        MessageLimits loose;
        loose.maxMessageBytes = wire.size() + 1;
        loose.maxBodyBytes = wire.size() + 1;
        loose.maxLineLength = wire.size() + 1;
        loose.maxHeaderCount = wire.size() + 1;
        if (!SipMessage::TryParse(wire, again, loose)) {
            __builtin_trap(); // what we encode must parse
        }
        if (again.Encode() != wire) {
            __builtin_trap(); // and encode to the same bytes
        }
    }

    // The same bytes as a stream, fed in two uneven chunks.
    StreamFramer framer;
    const std::size_t half = size / 3;
    framer.Feed(bytes.substr(0, half));
    for (int round = 0; round < 2; ++round) {
        for (int guard = 0; guard < 1000; ++guard) {
            SipMessage framed;
            ParseFailure failure;
            const FrameKind kind = framer.Next(framed, failure);
            if (kind == FrameKind::NeedMore || kind == FrameKind::Error) {
                break;
            }
            if (kind == FrameKind::Message) {
                (void)framed.Encode();
            }
        }
        framer.Feed(bytes.substr(half));
    }
    return 0;
}

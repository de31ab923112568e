#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "stack/message/SipMessage.h"
#include "stack/message/Token.h"

namespace zel::sip::stack::test {

/// Message text written with LF line ends, as in the test sources and data files, sent with CRLF.
inline std::string WithCrlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 64);
    for (char c : text) {
        if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

inline SipMessage ParseLf(std::string_view text) { return SipMessage::Parse(WithCrlf(text)); }

/// Whether one of `message`'s `type` headers lists the token `tag`.
inline bool Lists(const SipMessage& message, HeaderType type, std::string_view tag) {
    for (std::size_t i = 0; i < message.Count(type); ++i) {
        const Token* value = message.Peek<Token>(type, i);
        if (value != nullptr && value->Matches(tag)) {
            return true;
        }
    }
    return false;
}

/// A captured message from tests/data/messages/dum.
inline SipMessage LoadCaptured(const std::string& name) {
    std::ifstream in(std::string(ZEL_TEST_DATA_DIR) + "/messages/dum/" + name, std::ios::binary);
    if (!in) {
        throw std::runtime_error("missing test message " + name);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseLf(text.str());
}

} // namespace zel::sip::stack::test

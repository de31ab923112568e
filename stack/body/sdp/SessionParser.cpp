// Session::Parse: the SDP grammar of RFC 8866 section 9, read line by line.

#include "stack/body/sdp/Session.h"

#include <charconv>
#include <limits>

namespace zel::sip::stack::sdp {

namespace {

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }

std::vector<std::string_view> Tokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !IsBlank(text[i])) {
            ++i;
        }
        if (i > start) {
            tokens.push_back(text.substr(start, i - start));
        }
    }
    return tokens;
}

template <class N>
bool ToNumber(std::string_view text, N& out) noexcept {
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// Reads one session description; each Parse* member handles one line type and returns an error
// text, or the empty text on success.
class Parser {
public:
    explicit Parser(const ParseLimits& limits) : limits_(limits) {}

    ParseResult<Session> Run(std::string_view text) {
        if (text.size() > limits_.maxBytes) {
            return BodyError{0, "SDP of " + std::to_string(text.size()) + " bytes exceeds the limit of " +
                                    std::to_string(limits_.maxBytes) + " bytes"};
        }
        std::size_t lineNumber = 0;
        std::size_t lines = 0;
        std::size_t pos = 0;
        while (pos < text.size()) {
            auto end = text.find('\n', pos);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNumber;
            while (!line.empty() && (line.back() == '\r' || IsBlank(line.back()))) {
                line.remove_suffix(1);
            }
            if (line.empty()) {
                continue;
            }
            if (++lines > limits_.maxLines) {
                return BodyError{lineNumber, "more than " + std::to_string(limits_.maxLines) + " lines"};
            }
            if (line.size() > limits_.maxLineLength) {
                return BodyError{lineNumber, "line longer than " + std::to_string(limits_.maxLineLength) + " bytes"};
            }
            if (std::string error = ParseLine(line); !error.empty()) {
                return BodyError{lineNumber, std::move(error)};
            }
        }
        if (!sawVersion_) {
            return BodyError{0, "empty SDP"};
        }
        if (!sawOrigin_) {
            return BodyError{0, "missing origin line (o=)"};
        }
        return std::move(session_);
    }

private:
    std::string ParseLine(std::string_view line) {
        if (line.size() < 2 || line[1] != '=') {
            return "expected <type>=<value>";
        }
        const char type = line[0];
        const std::string_view value = line.substr(2);
        for (char c : value) {
            if (c == '\0' || c == '\r') {
                return "control character in value";
            }
        }
        if (!sawVersion_) {
            if (type != 'v') {
                return "SDP must start with a version line (v=)";
            }
            sawVersion_ = true;
            unsigned version = 0;
            if (!ToNumber(value, version)) {
                return "invalid version line";
            }
            session_.SetVersion(version);
            return {};
        }
        if (type == 'm') {
            return ParseMedia(value);
        }
        if (medium_) {
            return ParseMediaLevel(type, value);
        }
        return ParseSessionLevel(type, value);
    }

    std::string ParseSessionLevel(char type, std::string_view value) {
        switch (type) {
        case 'v':
            return "more than one version line";
        case 'o':
            if (sawOrigin_) {
                return "more than one origin line";
            }
            sawOrigin_ = true;
            return ParseOrigin(value);
        case 's':
            if (sawName_) {
                return "more than one session name line";
            }
            sawName_ = true;
            session_.SetName(std::string(value));
            return {};
        case 'i':
            session_.SetInformation(std::string(value));
            return {};
        case 'u':
            session_.SetUri(std::string(value));
            return {};
        case 'e':
            session_.Emails().emplace_back(value);
            return {};
        case 'p':
            session_.Phones().emplace_back(value);
            return {};
        case 'c': {
            if (session_.Connection()) {
                return "more than one session-level connection line";
            }
            Connection c;
            if (auto error = ParseConnection(value, c); !error.empty()) {
                return error;
            }
            session_.SetConnection(std::move(c));
            return {};
        }
        case 'b':
            return ParseBandwidth(value, session_.Bandwidths());
        case 't':
            return ParseTime(value);
        case 'r':
            if (session_.Times().empty()) {
                return "repeat line (r=) without a time line";
            }
            session_.Times().back().repeats.emplace_back(value);
            return {};
        case 'z':
            session_.SetTimeZones(std::string(value));
            return {};
        case 'k':
            session_.SetEncryptionKey(std::string(value));
            return {};
        case 'a':
            AddAttribute(value, session_.Attributes());
            return {};
        default:
            return UnknownLine(type);
        }
    }

    std::string ParseMediaLevel(char type, std::string_view value) {
        switch (type) {
        case 'i':
            medium_->SetInformation(std::string(value));
            return {};
        case 'c': {
            Connection c;
            if (auto error = ParseConnection(value, c); !error.empty()) {
                return error;
            }
            medium_->AddConnection(std::move(c));
            return {};
        }
        case 'b':
            return ParseBandwidth(value, medium_->Bandwidths());
        case 'k':
            medium_->SetEncryptionKey(std::string(value));
            return {};
        case 'a':
            AddAttribute(value, medium_->Attributes());
            return {};
        case 'v':
        case 'o':
        case 's':
        case 'u':
        case 'e':
        case 'p':
        case 't':
        case 'r':
        case 'z':
            return std::string("'") + type + "=' line inside a media description";
        default:
            return UnknownLine(type);
        }
    }

    // RFC 8866 section 5: a parser should ignore what it does not know; we skip unknown letters
    // but refuse what is no type letter at all.
    static std::string UnknownLine(char type) {
        if (type >= 'a' && type <= 'z') {
            return {};
        }
        return "invalid line type";
    }

    std::string ParseOrigin(std::string_view value) {
        const auto t = Tokens(value);
        if (t.size() != 6) {
            return "malformed origin line: expected 6 fields";
        }
        Origin& o = session_.Origin();
        o.userName = std::string(t[0]);
        if (!ToNumber(t[1], o.sessionId)) {
            return "invalid session id in origin line";
        }
        if (!ToNumber(t[2], o.sessionVersion)) {
            return "invalid session version in origin line";
        }
        o.netType = std::string(t[3]);
        const auto addrType = AddrTypeFromString(t[4]);
        if (!addrType) {
            return "unsupported address type '" + std::string(t[4]) + "' in origin line";
        }
        o.addrType = *addrType;
        o.address = std::string(t[5]);
        return {};
    }

    static std::string ParseConnection(std::string_view value, Connection& c) {
        const auto t = Tokens(value);
        if (t.size() != 3) {
            return "malformed connection line: expected 3 fields";
        }
        c.netType = std::string(t[0]);
        const auto addrType = AddrTypeFromString(t[1]);
        if (!addrType) {
            return "unsupported address type '" + std::string(t[1]) + "' in connection line";
        }
        c.addrType = *addrType;
        std::string_view address = t[2];
        const auto slash = address.find('/');
        c.address = std::string(address.substr(0, slash));
        if (c.address.empty()) {
            return "empty connection address";
        }
        if (slash == std::string_view::npos) {
            return {};
        }
        std::string_view rest = address.substr(slash + 1);
        const auto slash2 = rest.find('/');
        std::uint32_t first = 0;
        if (!ToNumber(rest.substr(0, slash2), first)) {
            return "invalid multicast suffix in connection line";
        }
        if (c.addrType == AddrType::IP6) {
            // IP6 multicast carries only the number of addresses (RFC 8866 section 5.7).
            if (slash2 != std::string_view::npos || first == 0) {
                return "invalid multicast suffix in connection line";
            }
            c.numberOfAddresses = first;
            return {};
        }
        if (first > 255) {
            return "multicast TTL above 255 in connection line";
        }
        c.ttl = first;
        if (slash2 != std::string_view::npos) {
            std::uint32_t count = 0;
            if (!ToNumber(rest.substr(slash2 + 1), count) || count == 0) {
                return "invalid number of addresses in connection line";
            }
            c.numberOfAddresses = count;
        }
        return {};
    }

    static std::string ParseBandwidth(std::string_view value, std::vector<Bandwidth>& into) {
        const auto colon = value.find(':');
        Bandwidth b;
        if (colon == 0 || colon == std::string_view::npos || !ToNumber(value.substr(colon + 1), b.value)) {
            return "malformed bandwidth line";
        }
        b.type = std::string(value.substr(0, colon));
        into.push_back(std::move(b));
        return {};
    }

    std::string ParseTime(std::string_view value) {
        const auto t = Tokens(value);
        Time time;
        if (t.size() != 2 || !ToNumber(t[0], time.start) || !ToNumber(t[1], time.stop)) {
            return "malformed time line";
        }
        session_.Times().push_back(std::move(time));
        return {};
    }

    static void AddAttribute(std::string_view value, Attributes& into) {
        const auto colon = value.find(':');
        auto name = value.substr(0, colon);
        while (!name.empty() && IsBlank(name.back())) {
            name.remove_suffix(1); // "a=x\t:" must not write back as "a=x\t", which reads as "x"
        }
        if (name.empty()) {
            return; // "a=" or "a=:x" names nothing; nothing can ask for it
        }
        into.Add(std::string(name), colon == std::string_view::npos ? std::string() : std::string(value.substr(colon + 1)));
    }

    std::string ParseMedia(std::string_view value) {
        if (!sawOrigin_) {
            return "media description before the origin line";
        }
        if (session_.Media().size() >= limits_.maxMedia) {
            return "more than " + std::to_string(limits_.maxMedia) + " media descriptions";
        }
        const auto t = Tokens(value);
        if (t.size() < 3) {
            return "malformed media line: expected media, port and protocol";
        }
        if (t.size() - 3 > limits_.maxFormatsPerMedium) {
            return "more than " + std::to_string(limits_.maxFormatsPerMedium) + " formats in media line";
        }
        Medium m;
        m.SetMediaType(std::string(t[0]));
        const auto slash = t[1].find('/');
        std::uint16_t port = 0;
        if (!ToNumber(t[1].substr(0, slash), port)) {
            return "invalid port in media line";
        }
        m.SetPort(port);
        if (slash != std::string_view::npos) {
            std::uint32_t count = 0;
            if (!ToNumber(t[1].substr(slash + 1), count) || count == 0) {
                return "invalid number of ports in media line";
            }
            m.SetPortCount(count);
        }
        m.SetProtocol(std::string(t[2]));
        for (std::size_t i = 3; i < t.size(); ++i) {
            m.AddFormat(std::string(t[i]));
        }
        session_.Media().push_back(std::move(m));
        medium_ = &session_.Media().back();
        return {};
    }

    const ParseLimits& limits_;
    Session session_;
    Medium* medium_ = nullptr; // the media description being read; points into session_
    bool sawVersion_ = false;
    bool sawOrigin_ = false;
    bool sawName_ = false;
};

} // namespace

ParseResult<Session> Session::Parse(std::string_view text, const ParseLimits& limits) {
    return Parser(limits).Run(text);
}

} // namespace zel::sip::stack::sdp

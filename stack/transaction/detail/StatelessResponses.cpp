#include "stack/transaction/detail/StatelessResponses.h"

#include <string>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"

namespace zel::sip::stack::detail {

std::optional<SipMessage> MakeResponseTo(const SipMessage& request, int statusCode, std::string_view reason,
                                         std::string_view toTag) noexcept {
    try {
        for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq}) {
            if (!request.Has(type)) {
                return std::nullopt;
            }
        }
        SipMessage response = SipMessage::MakeResponse(statusCode, reason);
        for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq}) {
            const std::size_t count = request.Count(type);
            for (std::size_t i = 0; i < count; ++i) {
                response.Add(type, request.ValueText(type, i));
            }
        }
        if (!toTag.empty() && statusCode > 100) {
            if (NameAddr* to = response.Edit<NameAddr>(HeaderType::To); to != nullptr && !to->Params().Has("tag")) {
                to->Params().Set("tag", toTag);
            }
        }
        return response;
    } catch (const std::exception&) {
        // A value with a line fold or a malformed To: not answerable.
        return std::nullopt;
    }
}

namespace {

// One physical line from `position`, without its LF and a CR before it; `position` moves past it.
std::string_view TakeLine(std::string_view text, std::size_t& position) noexcept {
    const std::size_t lf = text.find('\n', position);
    const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(position, end - position);
    position = lf == std::string_view::npos ? text.size() : lf + 1;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// The header name of a `name *WSP ":"` line; empty when the line is not one.
std::string_view HeaderNameOf(std::string_view line) noexcept {
    std::size_t i = 0;
    while (i < line.size() && chars::IsToken(line[i])) {
        ++i;
    }
    const std::string_view name = line.substr(0, i);
    while (i < line.size() && chars::IsWsp(line[i])) {
        ++i;
    }
    return i < line.size() && line[i] == ':' ? name : std::string_view();
}

} // namespace

std::optional<SipMessage> SalvageHeaders(std::string_view datagram) noexcept {
    try {
        std::size_t position = datagram.find_first_not_of("\r\n");
        if (position == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view startLine = TakeLine(datagram, position);
        const std::size_t first = startLine.find_first_not_of(" \t");
        if (first == std::string_view::npos || IStartsWith(startLine.substr(first), "SIP/")) {
            return std::nullopt; // nothing, or a response: never answered
        }
        // The request line as a peer meant it, whatever white space it put around its parts.
        const std::string_view word = startLine.substr(first, startLine.find_first_of(" \t", first) - first);
        const bool methodKnown = chars::IsTokenText(word);
        std::string rebuilt;
        rebuilt.reserve(datagram.size() + 32);
        rebuilt.append(methodKnown ? word : std::string_view("X")).append(" sip:invalid SIP/2.0\r\n");
        bool keeping = false; // whether the line being continued was kept
        while (position < datagram.size()) {
            const std::string_view line = TakeLine(datagram, position);
            if (line.empty()) {
                break; // the end of the headers; the body is of no use here
            }
            if (chars::IsWsp(line.front())) {
                if (keeping) {
                    rebuilt.append(line).append("\r\n");
                }
                continue;
            }
            const std::string_view name = HeaderNameOf(line);
            keeping = !name.empty() && !IEquals(name, "Content-Length") && !IEquals(name, "l");
            if (keeping) {
                rebuilt.append(line).append("\r\n");
            }
        }
        rebuilt.append("\r\n");
        SipMessage message;
        if (!SipMessage::TryParse(std::move(rebuilt), message)) {
            return std::nullopt;
        }
        if (!methodKnown) {
            const CSeq* cseq = message.Peek<CSeq>(HeaderType::CSeq);
            if (cseq == nullptr || !chars::IsTokenText(cseq->Method())) {
                return std::nullopt;
            }
            message.SetMethod(cseq->Method());
        }
        return message;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

Rejection RejectionFor(const SipMessage& request, const ParseFailure& failure) {
    if (!IEquals(request.Version(), "SIP/2.0")) {
        return Rejection{505, "Version Not Supported"};
    }
    std::string phrase = failure.reason != nullptr ? failure.reason : "";
    if (phrase.empty()) {
        return Rejection{400, "Bad Request"};
    }
    if (phrase.front() >= 'a' && phrase.front() <= 'z') {
        phrase.front() = static_cast<char>(phrase.front() - 'a' + 'A');
    }
    return Rejection{400, std::move(phrase)};
}

} // namespace zel::sip::stack::detail

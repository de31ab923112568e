#include "stack/transaction/detail/StatelessResponses.h"

#include <boost/algorithm/string/predicate.hpp>

#include <string>

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

std::optional<SipMessage> SalvageHeaders(std::string_view datagram) noexcept {
    try {
        std::string_view head = datagram.substr(0, datagram.find("\r\n\r\n"));
        std::string rebuilt;
        rebuilt.reserve(head.size() + 4);
        std::size_t position = 0;
        while (position <= head.size()) {
            std::size_t end = head.find("\r\n", position);
            if (end == std::string_view::npos) {
                end = head.size();
            }
            const std::string_view line = head.substr(position, end - position);
            position = end + 2;
            const std::string_view name = line.substr(0, line.find(':'));
            std::string_view trimmed = name;
            while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) {
                trimmed.remove_suffix(1);
            }
            if (boost::algorithm::iequals(trimmed, "Content-Length") || boost::algorithm::iequals(trimmed, "l")) {
                continue;
            }
            rebuilt.append(line).append("\r\n");
        }
        rebuilt.append("\r\n");
        SipMessage message;
        if (!SipMessage::TryParse(std::move(rebuilt), message) || !message.IsRequest()) {
            return std::nullopt;
        }
        return message;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace zel::sip::stack::detail

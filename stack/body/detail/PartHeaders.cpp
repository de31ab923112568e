#include "stack/body/detail/PartHeaders.h"

#include "stack/body/BodyFactory.h"
#include "stack/base/CharClass.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <vector>

namespace zel::sip::stack::detail {

namespace {

struct HeaderLine {
    std::string name;
    std::string value;
};

// A stray CR counts as white space here: it cannot be written back inside a header line.
bool IsBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanks(std::string_view s) noexcept {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Splits the header block into unfolded header lines; an error text on failure.
std::string SplitHeaders(std::string_view block, std::vector<HeaderLine>& out) {
    std::size_t pos = 0;
    while (pos < block.size()) {
        auto end = block.find('\n', pos);
        if (end == std::string_view::npos) {
            end = block.size();
        }
        std::string_view line = block.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (line.front() == ' ' || line.front() == '\t') {
            if (out.empty()) {
                return "continuation line before the first header";
            }
            out.back().value.append(line); // unfold: the line break goes, the white space stays
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            return "header line without ':'";
        }
        const auto name = TrimBlanks(line.substr(0, colon));
        if (!chars::IsTokenText(name)) {
            return "invalid header name";
        }
        out.push_back(HeaderLine{std::string(name), std::string(line.substr(colon + 1))});
    }
    return {};
}

void SetOnce(std::optional<std::string>& field, HeaderLine& line, MimeHeaders& headers) {
    if (field) {
        headers.others.emplace_back(std::move(line.name), std::move(line.value)); // a repeat is kept, not lost
    } else {
        field = std::move(line.value);
    }
}

} // namespace

ParseResult<std::unique_ptr<Body>> ParsePart(std::string_view part, const BodyLimits& limits, std::size_t depth) {
    std::string_view block;
    std::string_view content;
    if (part.starts_with("\r\n")) {
        content = part.substr(2);
    } else if (part.starts_with("\n")) {
        content = part.substr(1);
    } else {
        const auto crlf = part.find("\n\r\n");
        const auto lf = part.find("\n\n");
        const auto blank = std::min(crlf, lf);
        if (blank == std::string_view::npos) {
            block = part;
        } else {
            block = part.substr(0, blank + 1);
            content = part.substr(blank + (blank == crlf ? 3 : 2));
        }
    }
    if (block.size() > limits.maxPartHeaderBytes) {
        return BodyError{0, "part header block longer than " + std::to_string(limits.maxPartHeaderBytes) + " bytes"};
    }
    std::vector<HeaderLine> lines;
    if (auto error = SplitHeaders(block, lines); !error.empty()) {
        return BodyError{0, std::move(error)};
    }
    ContentType type("text", "plain");
    bool sawType = false;
    MimeHeaders headers;
    for (auto& line : lines) {
        line.value = std::string(TrimBlanks(line.value));
        const auto& name = line.name;
        if (boost::algorithm::iequals(name, "Content-Type") && !sawType) {
            auto parsed = ContentType::Parse(line.value);
            if (!parsed) {
                return parsed.Error();
            }
            type = std::move(parsed).Value();
            sawType = true;
        } else if (boost::algorithm::iequals(name, "Content-Disposition")) {
            SetOnce(headers.disposition, line, headers);
        } else if (boost::algorithm::iequals(name, "Content-Transfer-Encoding")) {
            SetOnce(headers.transferEncoding, line, headers);
        } else if (boost::algorithm::iequals(name, "Content-ID")) {
            SetOnce(headers.id, line, headers);
        } else if (boost::algorithm::iequals(name, "Content-Description")) {
            SetOnce(headers.description, line, headers);
        } else if (boost::algorithm::iequals(name, "Content-Language")) {
            std::string_view rest = line.value;
            while (!rest.empty()) {
                const auto comma = rest.find(',');
                const auto item = TrimBlanks(rest.substr(0, comma));
                if (!item.empty()) {
                    headers.languages.emplace_back(item);
                }
                rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            }
        } else {
            headers.others.emplace_back(std::move(line.name), std::move(line.value));
        }
    }
    return ParseBodyAtDepth(type, content, headers, limits, depth);
}

} // namespace zel::sip::stack::detail

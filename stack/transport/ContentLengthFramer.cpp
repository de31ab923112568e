#include "stack/transport/ContentLengthFramer.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>

namespace zel::sip::stack {

namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kBlankLine = "\r\n\r\n";

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool IsContentLengthName(std::string_view name) {
    name = Trim(name);
    return boost::algorithm::iequals(name, "Content-Length") || boost::algorithm::iequals(name, "l");
}

/// Decimal digits only (RFC 3261 section 20.14); nullopt on anything else or on overflow.
std::optional<std::size_t> ParseLength(std::string_view value) {
    value = Trim(value);
    if (value.empty() || value.size() > 18)
        return std::nullopt;
    std::size_t length = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    return length;
}

} // namespace

ContentLengthFramer::ContentLengthFramer(Role role, std::size_t maxHeaderBytes, std::size_t maxMessageBytes)
    : role_(role), maxHeaderBytes_(maxHeaderBytes), maxMessageBytes_(maxMessageBytes) {}

void ContentLengthFramer::Append(std::string_view bytes) {
    if (!error_.empty())
        return;
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
}

ContentLengthFramer::Frame ContentLengthFramer::Fail(std::string_view reason) {
    error_ = reason;
    buffer_.clear();
    start_ = 0;
    return {FrameKind::Error, error_};
}

ContentLengthFramer::Frame ContentLengthFramer::Next() {
    if (!error_.empty())
        return {FrameKind::Error, error_};
    std::string_view available(buffer_.data() + start_, buffer_.size() - start_);

    // Between messages: CRLF keep-alives (RFC 5626 section 3.5.1).
    if (!messageSize_ && scanned_ == 0 && !available.empty() && available.front() == '\r') {
        if (available.size() < 2)
            return {};
        if (available.starts_with(kCrlf)) {
            if (role_ == Role::Client) {
                start_ += 2;
                return {FrameKind::Pong, {}};
            }
            if (available.size() < 4 && (available.size() < 3 || available[2] == '\r'))
                return {};
            start_ += available.starts_with(kBlankLine) ? 4 : 2;
            return available.starts_with(kBlankLine) ? Frame{FrameKind::Ping, {}} : Next();
        }
    }

    if (!messageSize_ && !ParseHeader(available))
        return error_.empty() ? Frame{} : Frame{FrameKind::Error, error_};
    if (available.size() < *messageSize_)
        return {};
    const std::string_view message = available.substr(0, *messageSize_);
    start_ += *messageSize_;
    messageSize_.reset();
    scanned_ = 0;
    return {FrameKind::Message, message};
}

bool ContentLengthFramer::ParseHeader(std::string_view available) {
    // Resume the search a few bytes back so a blank line split across reads is found.
    const std::size_t from = scanned_ >= 3 ? scanned_ - 3 : 0;
    const std::size_t blank = available.find(kBlankLine, from);
    if (blank == std::string_view::npos) {
        scanned_ = available.size();
        if (available.size() > maxHeaderBytes_)
            Fail("header section too long");
        return false;
    }
    const std::size_t headerSize = blank + kBlankLine.size();
    if (headerSize > maxHeaderBytes_) {
        Fail("header section too long");
        return false;
    }

    // Header lines after the start line; a line starting with white space continues the previous
    // one (RFC 3261 section 7.3.1), so a folded Content-Length value is still read.
    std::optional<std::size_t> contentLength;
    std::string_view lines = available.substr(0, blank + 2);
    lines.remove_prefix(std::min(lines.size(), lines.find(kCrlf) + 2));
    std::string value;
    bool inContentLength = false;
    auto finish = [&]() -> bool {
        if (!inContentLength)
            return true;
        const auto length = ParseLength(value);
        if (!length) {
            Fail("bad Content-Length");
            return false;
        }
        if (contentLength && *contentLength != *length) {
            Fail("conflicting Content-Length headers");
            return false;
        }
        contentLength = length;
        return true;
    };
    while (!lines.empty()) {
        const std::size_t end = lines.find(kCrlf);
        const std::string_view line = lines.substr(0, end);
        lines.remove_prefix(end + 2);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (inContentLength)
                value.append(" ").append(Trim(line));
            continue;
        }
        if (!finish())
            return false;
        const std::size_t colon = line.find(':');
        inContentLength = colon != std::string_view::npos && IsContentLengthName(line.substr(0, colon));
        if (inContentLength)
            value.assign(line.substr(colon + 1));
    }
    if (!finish())
        return false;

    // RFC 3261 section 18.3 makes Content-Length mandatory on streams; a message without it is
    // taken to have no body rather than lost, and the parser above decides about it.
    const std::size_t bodySize = contentLength.value_or(0);
    if (bodySize > maxMessageBytes_ || headerSize + bodySize > maxMessageBytes_) {
        Fail("message too large");
        return false;
    }
    messageSize_ = headerSize + bodySize;
    return true;
}

} // namespace zel::sip::stack

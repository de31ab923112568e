#include "stack/message/StreamFramer.h"

#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"
#include "stack/message/HeaderType.h"
#include "stack/message/Number.h"

namespace zel::sip::stack {

std::string_view ToString(FrameKind kind) noexcept {
    switch (kind) {
    case FrameKind::NeedMore:
        return "need more";
    case FrameKind::Message:
        return "message";
    case FrameKind::Invalid:
        return "invalid message";
    case FrameKind::Ping:
        return "ping";
    case FrameKind::Pong:
        return "pong";
    case FrameKind::Error:
        return "error";
    }
    return "unknown";
}

void StreamFramer::Feed(std::string_view bytes) {
    if (failed_) {
        return;
    }
    if (start_ > 0 && (start_ >= buffer_.size() / 2 || start_ > 64 * 1024)) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
}

void StreamFramer::ReleaseStorageIfEmpty() noexcept {
    if (Buffered() == 0) {
        std::string().swap(buffer_);
        start_ = 0;
    }
}

void StreamFramer::Reset() noexcept {
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
    headerEnd_ = 0;
    bodyLength_ = 0;
    failed_ = false;
    failure_ = {};
}

ParseStatus StreamFramer::ReadContentLength(std::string_view headers) {
    // Skip the start line, then look at each header line's name.
    std::size_t pos = headers.find('\n');
    bool found = false;
    while (pos != std::string_view::npos && pos + 1 < headers.size()) {
        const std::size_t lineStart = pos + 1;
        pos = headers.find('\n', lineStart);
        if (chars::IsWsp(headers[lineStart])) {
            continue; // a fold of the previous line
        }
        // The logical line runs until the next line that is not a fold.
        std::size_t lineEnd = pos == std::string_view::npos ? headers.size() : pos;
        while (lineEnd + 1 < headers.size() && chars::IsWsp(headers[lineEnd + 1])) {
            const std::size_t next = headers.find('\n', lineEnd + 1);
            lineEnd = next == std::string_view::npos ? headers.size() : next;
        }
        std::string_view line = headers.substr(lineStart, lineEnd - lineStart);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || chars::IsWsp(line.back()))) {
            line.remove_suffix(1);
        }
        Scanner s(line, lineStart);
        const std::string_view name = s.TakeToken();
        s.TakeWhile(chars::IsWsp);
        if (name.empty() || !s.Consume(':') || LookupHeader(name) != HeaderType::ContentLength) {
            continue;
        }
        Number length;
        if (auto status = Number::TryParse(s.Rest(), length, s.Position()); !status) {
            return ParseFailure{s.Position(), "malformed Content-Length"};
        }
        if (found && length.Value() != bodyLength_) {
            return ParseFailure{lineStart, "conflicting Content-Length headers"};
        }
        bodyLength_ = length.Value();
        found = true;
    }
    // RFC 3261 section 18.3 makes it mandatory on streams; without it the message is taken to
    // have no body rather than be lost.
    return {};
}

StreamFramer::Frame StreamFramer::Fail(ParseFailure reason) {
    failed_ = true;
    failure_ = reason;
    buffer_.clear();
    buffer_.shrink_to_fit();
    start_ = 0;
    return {FrameKind::Error, {}, failure_};
}

FrameKind StreamFramer::TakeKeepAlive() {
    for (;;) {
        const std::string_view data = std::string_view(buffer_).substr(start_);
        if (data.empty()) {
            return FrameKind::NeedMore;
        }
        if (data[0] == '\n') { // a bare LF carries nothing
            ++start_;
            continue;
        }
        if (data[0] != '\r') {
            return FrameKind::Message;
        }
        if (data.size() < 2) {
            return FrameKind::NeedMore;
        }
        if (data[1] != '\n') {
            return FrameKind::Message; // not a keep-alive; the parser will judge it
        }
        if (role_ == Role::Client) {
            start_ += 2;
            return FrameKind::Pong;
        }
        // The accepting side: CRLFCRLF is a ping; wait until a lone CRLF is known not to be one.
        if (data.size() < 3 || (data.size() == 3 && data[2] == '\r')) {
            return FrameKind::NeedMore;
        }
        if (data[2] == '\r' && data[3] == '\n') {
            start_ += 4;
            return FrameKind::Ping;
        }
        start_ += 2;
    }
}

StreamFramer::Frame StreamFramer::NextFrame() {
    if (failed_) {
        return {FrameKind::Error, {}, failure_};
    }
    if (headerEnd_ == 0) {
        if (const FrameKind kind = TakeKeepAlive(); kind != FrameKind::Message) {
            scanned_ = 0;
            return {kind, {}, {}};
        }
    }
    const std::string_view data = std::string_view(buffer_).substr(start_);
    if (headerEnd_ == 0) {
        // Search for the empty line that ends the headers, resuming where the last search stopped.
        const std::size_t from = scanned_ > 3 ? scanned_ - 3 : 0;
        std::size_t end = 0;
        for (std::size_t i = data.find('\n', from); i != std::string_view::npos; i = data.find('\n', i + 1)) {
            if (i + 1 < data.size() && data[i + 1] == '\n') {
                end = i + 2;
                break;
            }
            if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') {
                end = i + 3;
                break;
            }
        }
        if (end == 0) {
            scanned_ = data.size();
            if (data.size() > limits_.maxHeaderBytes) {
                return Fail(ParseFailure{limits_.maxHeaderBytes, "header block larger than the size limit"});
            }
            const std::size_t lastLf = data.rfind('\n');
            const std::size_t lineStart = lastLf == std::string_view::npos ? 0 : lastLf + 1;
            if (data.size() - lineStart > limits_.maxLineLength) {
                return Fail(ParseFailure{lineStart, "line longer than the line limit"});
            }
            return {};
        }
        if (end > limits_.maxHeaderBytes) {
            return Fail(ParseFailure{limits_.maxHeaderBytes, "header block larger than the size limit"});
        }
        bodyLength_ = 0;
        if (auto status = ReadContentLength(data.substr(0, end)); !status) {
            return Fail(status.Failure());
        }
        if (bodyLength_ > limits_.maxBodyBytes) {
            return Fail(ParseFailure{end, "body larger than the body limit"});
        }
        if (end + bodyLength_ > limits_.maxMessageBytes) {
            return Fail(ParseFailure{end, "message larger than the size limit"});
        }
        headerEnd_ = end;
    }
    const std::size_t total = headerEnd_ + bodyLength_;
    if (data.size() < total) {
        return {};
    }
    start_ += total;
    headerEnd_ = 0;
    scanned_ = 0;
    bodyLength_ = 0;
    return {FrameKind::Message, data.substr(0, total), {}};
}

FrameKind StreamFramer::Next(SipMessage& message, ParseFailure& failure) {
    const Frame frame = NextFrame();
    if (frame.kind == FrameKind::Error) {
        failure = frame.failure;
    }
    if (frame.kind != FrameKind::Message) {
        return frame.kind;
    }
    if (auto status = SipMessage::TryParseFramed(std::string(frame.bytes), message, limits_); !status) {
        failure = status.Failure();
        return FrameKind::Invalid;
    }
    return FrameKind::Message;
}

} // namespace zel::sip::stack

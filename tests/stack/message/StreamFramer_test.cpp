#include "stack/message/StreamFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zel::sip::stack {
namespace {

const std::string kFirst =
    "INVITE sip:bob@example.com SIP/2.0\r\n"
    "Via: SIP/2.0/TCP host;branch=z9hG4bK1\r\n"
    "Subject: folded\r\n"
    " subject\r\n"
    "l: 12\r\n"
    "\r\n"
    "body\r\n\r\nmore";
const std::string kSecond =
    "SIP/2.0 200 OK\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

struct Event {
    FrameKind kind;
    std::string wire; // encoded message for Message events
};

// Feeds `stream` in chunks of `chunk` bytes (the last may be shorter), collecting events.
std::vector<Event> Frame(const std::string& stream, std::size_t first, std::size_t chunk = 0, MessageLimits limits = {}) {
    StreamFramer framer(limits);
    std::vector<Event> events;
    auto drain = [&] {
        for (;;) {
            SipMessage message;
            ParseFailure failure;
            const FrameKind kind = framer.Next(message, failure);
            if (kind == FrameKind::NeedMore) {
                return;
            }
            events.push_back({kind, kind == FrameKind::Message ? message.Encode() : std::string(failure.reason)});
            if (kind == FrameKind::Error) {
                return;
            }
        }
    };
    framer.Feed(stream.substr(0, first));
    drain();
    std::size_t pos = first;
    while (pos < stream.size()) {
        const std::size_t size = chunk == 0 ? stream.size() - pos : std::min(chunk, stream.size() - pos);
        framer.Feed(stream.substr(pos, size));
        pos += size;
        drain();
    }
    return events;
}

TEST(StreamFramer, SplitAtEveryOffsetYieldsTheSameMessages) {
    const std::string stream = kFirst + "\r\n\r\n" + kSecond + kFirst;
    const std::vector<Event> whole = Frame(stream, stream.size());
    ASSERT_EQ(whole.size(), 4U);
    EXPECT_EQ(whole[0].kind, FrameKind::Message);
    EXPECT_EQ(whole[0].wire, kFirst);
    EXPECT_EQ(whole[1].kind, FrameKind::Ping);
    EXPECT_EQ(whole[2].wire, kSecond);
    EXPECT_EQ(whole[3].wire, kFirst);
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        const std::vector<Event> events = Frame(stream, split);
        std::vector<Event> messages;
        for (const Event& e : events) {
            if (e.kind == FrameKind::Message) {
                messages.push_back(e);
            } else {
                // A ping split after its first CRLF shows as two pongs; anything else is a fault.
                ASSERT_TRUE(e.kind == FrameKind::Ping || e.kind == FrameKind::Pong) << "split " << split;
            }
        }
        ASSERT_EQ(messages.size(), 3U) << "split " << split;
        EXPECT_EQ(messages[0].wire, kFirst) << "split " << split;
        EXPECT_EQ(messages[1].wire, kSecond) << "split " << split;
        EXPECT_EQ(messages[2].wire, kFirst) << "split " << split;
    }
    // Byte by byte.
    std::size_t count = 0;
    for (const Event& e : Frame(stream, 0, 1)) {
        count += e.kind == FrameKind::Message ? 1 : 0;
    }
    EXPECT_EQ(count, 3U);
}

TEST(StreamFramer, ReportsKeepAlives) {
    const std::vector<Event> events = Frame("\r\n\r\n\r\n" + kSecond + "\r\n", 1000);
    ASSERT_EQ(events.size(), 4U);
    EXPECT_EQ(events[0].kind, FrameKind::Ping);
    EXPECT_EQ(events[1].kind, FrameKind::Pong);
    EXPECT_EQ(events[2].kind, FrameKind::Message);
    EXPECT_EQ(events[3].kind, FrameKind::Pong);
    EXPECT_EQ(ToString(FrameKind::Ping), "ping");
}

TEST(StreamFramer, InvalidFrameIsDroppedAndStreamContinues) {
    const std::string bad = "GARBAGE LINE\r\nContent-Length: 3\r\n\r\nabc";
    const std::vector<Event> events = Frame(bad + kSecond, 1000);
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[0].kind, FrameKind::Invalid);
    EXPECT_EQ(events[1].kind, FrameKind::Message);
}

TEST(StreamFramer, FramingErrorsAreFinal) {
    struct Case {
        std::string stream;
        const char* reason;
    };
    MessageLimits limits;
    limits.maxMessageBytes = 300;
    limits.maxLineLength = 100;
    limits.maxBodyBytes = 50;
    const Case cases[] = {
        {"OPTIONS sip:a@b SIP/2.0\r\nVia: x\r\n\r\n", "missing Content-Length on a stream"},
        {"OPTIONS sip:a@b SIP/2.0\r\nContent-Length: -1\r\n\r\n", "malformed Content-Length"},
        {"OPTIONS sip:a@b SIP/2.0\r\nl: 1\r\nContent-Length: 2\r\n\r\nxx", "conflicting Content-Length headers"},
        {"OPTIONS sip:a@b SIP/2.0\r\nl: 51\r\n\r\n", "body larger than the body limit"},
        {"OPTIONS sip:a@b SIP/2.0\r\nX: " + std::string(120, 'x'), "line longer than the line limit"},
        {"OPTIONS sip:a@b SIP/2.0\r\n" + std::string(30, 'x') + "\r\n" + std::string(150, 'y'),
         "line longer than the line limit"},
    };
    for (const Case& c : cases) {
        const std::vector<Event> events = Frame(c.stream, c.stream.size(), 0, limits);
        ASSERT_FALSE(events.empty()) << c.stream;
        EXPECT_EQ(events.back().kind, FrameKind::Error) << c.stream;
        EXPECT_EQ(events.back().wire, c.reason) << c.stream;
    }
    // Many short header lines without an end of headers hit the size limit, not the memory.
    std::string lines = "OPTIONS sip:a@b SIP/2.0\r\n";
    while (lines.size() < 400) {
        lines += "X: y\r\n";
    }
    const std::vector<Event> events = Frame(lines, 0, 7, limits);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().wire, "header block larger than the size limit");

    StreamFramer framer(limits);
    framer.Feed("OPTIONS sip:a@b SIP/2.0\r\n\r\n");
    SipMessage message;
    ParseFailure failure;
    EXPECT_EQ(framer.Next(message, failure), FrameKind::Error);
    framer.Feed(kSecond);
    EXPECT_EQ(framer.Next(message, failure), FrameKind::Error);
    EXPECT_TRUE(framer.Failed());
    framer.Reset();
    framer.Feed(kSecond);
    EXPECT_EQ(framer.Next(message, failure), FrameKind::Message);
}

} // namespace
} // namespace zel::sip::stack

#include "stack/message/StreamFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zel::sip::stack {
namespace {

using Role = StreamFramer::Role;

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
const std::string kThird = "SIP/2.0 200 OK\r\nl : 5\r\n\r\nhello";

struct Event {
    FrameKind kind;
    std::string text; // the encoded message for Message, the reason for Invalid and Error

    friend bool operator==(const Event&, const Event&) = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) { return out << ToString(e.kind) << ": " << e.text; }

// Feeds `chunks` one after another, parsing each frame, and collects the events up to an error.
std::vector<Event> Feed(StreamFramer& framer, const std::vector<std::string_view>& chunks) {
    std::vector<Event> events;
    for (std::string_view chunk : chunks) {
        framer.Feed(chunk);
        for (;;) {
            SipMessage message;
            ParseFailure failure;
            const FrameKind kind = framer.Next(message, failure);
            if (kind == FrameKind::NeedMore) {
                break;
            }
            events.push_back({kind, kind == FrameKind::Message ? message.Encode() : std::string(failure.reason)});
            if (kind == FrameKind::Error) {
                return events;
            }
        }
    }
    return events;
}

std::vector<Event> FeedWhole(const std::string& stream, Role role = Role::Server, MessageLimits limits = {}) {
    StreamFramer framer(role, limits);
    return Feed(framer, {stream});
}

TEST(StreamFramer, SplitAtEveryOffsetYieldsTheSameFrames) {
    const std::string stream = kFirst + "\r\n\r\n" + kSecond + "\r\n" + kThird + kFirst;
    const std::vector<Event> expected{{FrameKind::Message, kFirst},
                                      {FrameKind::Ping, ""},
                                      {FrameKind::Message, kSecond},
                                      {FrameKind::Message, kThird},
                                      {FrameKind::Message, kFirst}};
    EXPECT_EQ(FeedWhole(stream), expected);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        StreamFramer framer;
        const std::string_view view(stream);
        ASSERT_EQ(Feed(framer, {view.substr(0, cut), view.substr(cut)}), expected) << "cut at " << cut;
        EXPECT_EQ(framer.Buffered(), 0U);
    }
    StreamFramer framer;
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        bytes.push_back(std::string_view(stream).substr(i, 1));
    }
    EXPECT_EQ(Feed(framer, bytes), expected);
}

TEST(StreamFramer, TellsPingsFromPongsByRole) {
    // The accepting side sees CRLFCRLF pings; a lone CRLF waits for the rest of a possible ping and
    // is skipped before a message.
    StreamFramer server(Role::Server);
    EXPECT_EQ(Feed(server, {"\r\n"}), std::vector<Event>{});
    EXPECT_EQ(Feed(server, {"\r"}), std::vector<Event>{});
    EXPECT_EQ(Feed(server, {"\n"}), (std::vector<Event>{{FrameKind::Ping, ""}}));
    EXPECT_EQ(Feed(server, {"\r\n" + kSecond, "\n\n"}), (std::vector<Event>{{FrameKind::Message, kSecond}}));
    EXPECT_EQ(server.Buffered(), 0U);

    // The side that opened the connection sees each CRLF as a pong, at once.
    StreamFramer client(Role::Client);
    EXPECT_EQ(Feed(client, {"\r\n"}), (std::vector<Event>{{FrameKind::Pong, ""}}));
    EXPECT_EQ(Feed(client, {"\r\n\r\n" + kSecond}),
              (std::vector<Event>{{FrameKind::Pong, ""}, {FrameKind::Pong, ""}, {FrameKind::Message, kSecond}}));
    EXPECT_EQ(ToString(FrameKind::Ping), "ping");
}

TEST(StreamFramer, ReadsContentLengthInItsSpellings) {
    const struct {
        const char* header;
        std::size_t body;
    } cases[] = {
        {"Content-Length: 3", 3},
        {"content-length:3", 3},
        {"CONTENT-LENGTH  :  3  ", 3},
        {"l: 3", 3},
        {"Content-Length:\r\n 3", 3}, // folded onto the next line
        {"Content-Length: 3\r\nContent-Length: 3", 3},
        {"X-Content-Length: 9", 0}, // not the header
        {"Via: SIP/2.0/TCP h", 0},  // none at all: no body rather than a lost message
    };
    for (const auto& c : cases) {
        const std::string stream = std::string("OPTIONS sip:a SIP/2.0\r\n") + c.header + "\r\n\r\nabcdef";
        StreamFramer framer;
        framer.Feed(stream);
        const StreamFramer::Frame frame = framer.NextFrame();
        ASSERT_EQ(frame.kind, FrameKind::Message) << c.header;
        EXPECT_EQ(frame.bytes.size(), stream.size() - 6 + c.body) << c.header;
    }
}

TEST(StreamFramer, InvalidFrameIsDroppedAndStreamContinues) {
    const std::string bad = "GARBAGE LINE\r\nContent-Length: 3\r\n\r\nabc";
    const std::vector<Event> events = FeedWhole(bad + kSecond);
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
    limits.maxHeaderBytes = 200;
    limits.maxLineLength = 100;
    limits.maxBodyBytes = 50;
    const Case cases[] = {
        {"OPTIONS sip:a@b SIP/2.0\r\nContent-Length: -1\r\n\r\n", "malformed Content-Length"},
        {"OPTIONS sip:a@b SIP/2.0\r\nContent-Length: 1x\r\n\r\n", "malformed Content-Length"},
        {"OPTIONS sip:a@b SIP/2.0\r\nContent-Length:\r\n\r\n", "malformed Content-Length"},
        {"OPTIONS sip:a@b SIP/2.0\r\nContent-Length: 99999999999999999999\r\n\r\n", "malformed Content-Length"},
        {"OPTIONS sip:a@b SIP/2.0\r\nl: 1\r\nContent-Length: 2\r\n\r\nxx", "conflicting Content-Length headers"},
        {"OPTIONS sip:a@b SIP/2.0\r\nl: 51\r\n\r\n", "body larger than the body limit"},
        {"OPTIONS sip:a@b SIP/2.0\r\nX: " + std::string(120, 'x'), "line longer than the line limit"},
        {"OPTIONS sip:a@b SIP/2.0\r\n" + std::string(30, 'x') + "\r\n" + std::string(110, 'y'),
         "line longer than the line limit"},
        {std::string(2000, '\x7f'), "header block larger than the size limit"},
    };
    for (const Case& c : cases) {
        StreamFramer framer(Role::Server, limits);
        const std::vector<Event> events = Feed(framer, {c.stream});
        ASSERT_FALSE(events.empty()) << c.stream;
        EXPECT_EQ(events.back(), (Event{FrameKind::Error, c.reason})) << c.stream;
        EXPECT_EQ(framer.Buffered(), 0U) << "nothing kept after an error";
    }
    // Many short header lines without an end of headers hit the header limit, not the memory.
    std::string lines = "OPTIONS sip:a@b SIP/2.0\r\n";
    while (lines.size() < 400) {
        lines += "X: y\r\n";
    }
    StreamFramer chunked(Role::Server, limits);
    std::vector<std::string_view> chunks;
    for (std::size_t i = 0; i < lines.size(); i += 7) {
        chunks.push_back(std::string_view(lines).substr(i, 7));
    }
    const std::vector<Event> events = Feed(chunked, chunks);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().text, "header block larger than the size limit");

    StreamFramer framer(Role::Server, limits);
    framer.Feed("OPTIONS sip:a@b SIP/2.0\r\nl: x\r\n\r\n");
    SipMessage message;
    ParseFailure failure;
    EXPECT_EQ(framer.Next(message, failure), FrameKind::Error);
    framer.Feed(kSecond);
    EXPECT_EQ(framer.Next(message, failure), FrameKind::Error) << "the stream stays broken";
    EXPECT_TRUE(framer.Failed());
    framer.Reset();
    framer.Feed(kSecond);
    EXPECT_EQ(framer.Next(message, failure), FrameKind::Message);
}

} // namespace
} // namespace zel::sip::stack

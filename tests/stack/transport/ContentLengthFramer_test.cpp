#include "stack/transport/ContentLengthFramer.h"

#include "TransportTestSupport.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using Kind = ContentLengthFramer::FrameKind;
using Role = ContentLengthFramer::Role;

struct Frame {
    Kind kind;
    std::string bytes;
    friend bool operator==(const Frame&, const Frame&) = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& frame) {
    return out << static_cast<int>(frame.kind) << ":" << frame.bytes;
}

/// Feeds `chunks` one after another and collects every frame up to the first error.
std::vector<Frame> Feed(ContentLengthFramer& framer, const std::vector<std::string_view>& chunks) {
    std::vector<Frame> frames;
    for (auto chunk : chunks) {
        framer.Append(chunk);
        for (auto frame = framer.Next(); frame.kind != Kind::NeedMore; frame = framer.Next()) {
            frames.push_back({frame.kind, std::string(frame.bytes)});
            if (frame.kind == Kind::Error)
                return frames;
        }
    }
    return frames;
}

TEST(ContentLengthFramer, SplitsAStreamIdenticallyAtEveryOffset) {
    const std::string first = test::MakeRequest("INVITE", "a", "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\n");
    const std::string second = test::MakeRequest("BYE", "b");
    const std::string third = "SIP/2.0 200 OK\r\nl : 5\r\n\r\nhello";
    const std::string stream = first + "\r\n\r\n" + second + third;
    const std::vector<Frame> expected{
        {Kind::Message, first}, {Kind::Ping, ""}, {Kind::Message, second}, {Kind::Message, third}};

    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        ContentLengthFramer framer(Role::Server, 4096, 8192);
        const std::string_view view(stream);
        EXPECT_EQ(Feed(framer, {view.substr(0, cut), view.substr(cut)}), expected) << "cut at " << cut;
        EXPECT_EQ(framer.Buffered(), 0u);
    }
    // And byte by byte.
    ContentLengthFramer framer(Role::Server, 4096, 8192);
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < stream.size(); ++i)
        bytes.push_back(std::string_view(stream).substr(i, 1));
    EXPECT_EQ(Feed(framer, bytes), expected);
}

TEST(ContentLengthFramer, ReadsContentLengthInItsSpellings) {
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
        {"X-Content-Length: 9", 0}, // not the header: no body
    };
    for (const auto& c : cases) {
        const std::string message = std::string("OPTIONS sip:a SIP/2.0\r\n") + c.header + "\r\n\r\nabcdef";
        ContentLengthFramer framer(Role::Server, 4096, 8192);
        framer.Append(message);
        const auto frame = framer.Next();
        ASSERT_EQ(frame.kind, Kind::Message) << c.header;
        EXPECT_EQ(frame.bytes.size(), message.size() - 6 + c.body) << c.header;
    }
}

TEST(ContentLengthFramer, RefusesBrokenFramingForGood) {
    const struct {
        const char* name;
        std::string stream;
    } cases[] = {
        {"non-numeric length", "OPTIONS sip:a SIP/2.0\r\nContent-Length: 1x\r\n\r\n"},
        {"negative length", "OPTIONS sip:a SIP/2.0\r\nContent-Length: -1\r\n\r\n"},
        {"empty length", "OPTIONS sip:a SIP/2.0\r\nContent-Length:\r\n\r\n"},
        {"conflicting lengths", "OPTIONS sip:a SIP/2.0\r\nl: 1\r\nContent-Length: 2\r\n\r\n"},
        {"huge length", "OPTIONS sip:a SIP/2.0\r\nContent-Length: 99999999999999999999\r\n\r\n"},
        {"body over the limit", "OPTIONS sip:a SIP/2.0\r\nContent-Length: 9000\r\n\r\n"},
        {"no blank line within the header limit", std::string(5000, 'x')},
        {"header section over the limit", "OPTIONS sip:a SIP/2.0\r\nX: " + std::string(4100, 'y') + "\r\n\r\n"},
    };
    for (const auto& c : cases) {
        ContentLengthFramer framer(Role::Server, 4096, 8192);
        const auto frames = Feed(framer, {c.stream});
        ASSERT_FALSE(frames.empty()) << c.name;
        EXPECT_EQ(frames.back().kind, Kind::Error) << c.name;
        framer.Append(test::MakeRequest("OPTIONS", "later"));
        EXPECT_EQ(framer.Next().kind, Kind::Error) << c.name << ": the stream stays broken";
        EXPECT_EQ(framer.Buffered(), 0u) << c.name << ": nothing kept after an error";
    }
}

TEST(ContentLengthFramer, TellsPingsFromPongsByRole) {
    // A server sees CRLF CRLF pings; a CRLF alone waits for the rest of a possible ping.
    ContentLengthFramer server(Role::Server, 4096, 8192);
    EXPECT_EQ(Feed(server, {"\r\n"}), std::vector<Frame>{});
    EXPECT_EQ(Feed(server, {"\r\n"}), (std::vector<Frame>{{Kind::Ping, ""}}));
    // A stray CRLF before a message is skipped.
    const std::string message = test::MakeRequest("OPTIONS", "x");
    EXPECT_EQ(Feed(server, {"\r\n" + message}), (std::vector<Frame>{{Kind::Message, message}}));

    // A client sees CRLF pongs, each at once.
    ContentLengthFramer client(Role::Client, 4096, 8192);
    EXPECT_EQ(Feed(client, {"\r\n"}), (std::vector<Frame>{{Kind::Pong, ""}}));
    EXPECT_EQ(Feed(client, {"\r\n" + message}), (std::vector<Frame>{{Kind::Pong, ""}, {Kind::Message, message}}));
}

} // namespace
} // namespace zel::sip::stack

#include "stack/message/SipMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zel::sip::stack {
namespace {

// CRLF line ends for readable literals.
std::string Wire(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

const std::string kInvite = Wire(
    "INVITE sip:bob@biloxi.example.com SIP/2.0\n"
    "Via: SIP/2.0/TCP client.atlanta.example.com:5060;branch=z9hG4bK74bf9 , SIP/2.0/UDP [::1];rport\n"
    "Max-Forwards: 70\n"
    "From: \"Alice, A.\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
    "To: Bob <sip:bob@biloxi.example.com>\n"
    "Call-ID: 3848276298220188511@atlanta.example.com\n"
    "CSeq: 1 INVITE\n"
    "Contact: <sip:alice@client.atlanta.example.com;transport=tcp>;expires=60, \"x,y\" <sip:b@c>;p=\"q\"\n"
    "Supported: timer, 100rel,\n outbound\n"
    "Supported:\n"
    "Reason: Q.850;cause=16;text=\"a, b\", SIP;cause=200\n"
    "X-Custom: one, two\n"
    "x-custom: three\n"
    "Content-Type: application/sdp\n"
    "Content-Length: 5\n"
    "\n"
    "v=0\n");

TEST(SipMessage, ParsesAndSplitsAtTopLevelCommasOnly) {
    SipMessage m;
    ASSERT_TRUE(SipMessage::TryParse(kInvite, m).Ok());
    EXPECT_TRUE(m.IsRequest());
    EXPECT_EQ(m.Method(), "INVITE");
    ASSERT_NE(m.RequestUri(), nullptr);
    EXPECT_EQ(m.RequestUri()->User(), "bob");
    EXPECT_EQ(m.Count(HeaderType::Via), 2U);
    EXPECT_EQ(m.Get<Via>(HeaderType::Via, 1).Host(), "::1");
    EXPECT_EQ(m.Count(HeaderType::Contact), 2U);
    EXPECT_EQ(m.Get<NameAddr>(HeaderType::Contact, 1).DisplayName(), "x,y");
    EXPECT_EQ(m.Count(HeaderType::Supported), 3U); // the empty Supported line adds none
    EXPECT_TRUE(m.Has(HeaderType::Supported));
    EXPECT_EQ(m.Get<Token>(HeaderType::Supported, 2).Value(), "outbound");
    EXPECT_EQ(m.Count(HeaderType::Reason), 2U);
    EXPECT_EQ(*m.Get<Reason>(HeaderType::Reason, 0).Text(), "a, b");
    // Extension headers: one value per line, names without regard to case, never split.
    EXPECT_EQ(m.CountExtension("X-CUSTOM"), 2U);
    EXPECT_EQ(m.RawExtension("x-custom", 0), "one, two");
    EXPECT_EQ(m.PeekExtension<Text>("X-Custom", 1)->Value(), "three");
    EXPECT_FALSE(m.HasExtension("Via"));
    EXPECT_EQ(m.CountExtension("Via"), 0U);
    EXPECT_EQ(m.Body(), "v=0\r\n");
    EXPECT_EQ(m.Get<Mime>(HeaderType::ContentType).Subtype(), "sdp");
    EXPECT_EQ(m.Get<CallId>(HeaderType::CallId).Value(), "3848276298220188511@atlanta.example.com");
    EXPECT_TRUE(m.Validate().Ok()) << m.Validate().Describe();
}

TEST(SipMessage, UntouchedMessageEncodesByteForByte) {
    SipMessage m = SipMessage::Parse(kInvite);
    // Typed reads do not change the encoding.
    (void)m.Get<Via>(HeaderType::Via, 1);
    (void)m.Get<NameAddr>(HeaderType::From);
    EXPECT_EQ(m.Encode(), kInvite);
    SipMessage moved = std::move(m);
    EXPECT_EQ(moved.Encode(), kInvite);
    const SipMessage copy = moved; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.Encode(), kInvite);
}

TEST(SipMessage, EditsReencodeOnlyTheirLine) {
    SipMessage m = SipMessage::Parse(kInvite);
    NameAddr* from = m.Edit<NameAddr>(HeaderType::From);
    ASSERT_NE(from, nullptr);
    from->Params().Set("tag", "changed");
    Via* second = m.Edit<Via>(HeaderType::Via, 1);
    ASSERT_NE(second, nullptr);
    second->Params().Set("received", "192.0.2.1");
    ASSERT_TRUE(m.RemoveAt(HeaderType::Contact, 0));
    m.Remove(HeaderType::Reason);
    m.AddExtension("X-Custom", "four");
    m.Add(HeaderType::Supported, "replaces");
    const std::string wire = m.Encode();
    EXPECT_NE(wire.find("\r\nFrom: \"Alice, A.\" <sip:alice@atlanta.example.com>;tag=changed\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nVia: SIP/2.0/TCP client.atlanta.example.com:5060;branch=z9hG4bK74bf9, "
                        "SIP/2.0/UDP [::1];rport;received=192.0.2.1\r\n"),
              std::string::npos);
    EXPECT_NE(wire.find("\r\nContact: \"x,y\" <sip:b@c>;p=\"q\"\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nTo: Bob <sip:bob@biloxi.example.com>\r\n"), std::string::npos); // untouched
    EXPECT_EQ(wire.find("Reason"), std::string::npos);
    EXPECT_NE(wire.find("\r\nx-custom: three\r\nX-Custom: four\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nSupported:\r\nSupported: replaces\r\n"), std::string::npos);

    const SipMessage back = SipMessage::Parse(wire);
    EXPECT_EQ(back.Get<NameAddr>(HeaderType::From).Params().Find("tag")->value, "changed");
    EXPECT_EQ(back.CountExtension("x-custom"), 3U);
    EXPECT_EQ(back.Count(HeaderType::Supported), 4U);
    EXPECT_EQ(back.Count(HeaderType::Contact), 1U);
}

TEST(SipMessage, TypedPointersStayValidAsHeadersGrow) {
    SipMessage m = SipMessage::Parse(kInvite);
    const NameAddr* contact = m.Peek<NameAddr>(HeaderType::Contact, 1);
    const Reason* reason = m.Peek<Reason>(HeaderType::Reason, 1);
    ASSERT_NE(contact, nullptr);
    ASSERT_NE(reason, nullptr);
    for (int i = 0; i < 200; ++i) {
        m.AddExtension("X-Filler", std::to_string(i));
        m.Add(HeaderType::Contact, "<sip:more" + std::to_string(i) + "@example.com>");
    }
    EXPECT_EQ(m.Peek<NameAddr>(HeaderType::Contact, 1), contact);
    EXPECT_EQ(contact->GetUri().Host(), "c");
    EXPECT_EQ(reason->Protocol(), "SIP");
    EXPECT_EQ(m.Count(HeaderType::Contact), 202U);
}

TEST(SipMessage, ParsedValuesLiveInABoundedArenaAndSurviveMoves) {
    // Values parsed from received text are made in the message's arena: they must stay valid
    // across moves, be destroyed before the arena when a message is assigned over or destroyed,
    // and stop using the arena once its blocks are full.
    SipMessage m = SipMessage::Parse(kInvite);
    const NameAddr* from = m.Peek<NameAddr>(HeaderType::From);
    const Via* via = m.Peek<Via>(HeaderType::Via, 1);
    ASSERT_NE(from, nullptr);
    ASSERT_NE(via, nullptr);
    SipMessage moved(std::move(m));
    EXPECT_EQ(moved.Peek<NameAddr>(HeaderType::From), from);
    EXPECT_EQ(from->DisplayName(), "Alice, A.");

    SipMessage target = SipMessage::Parse(kInvite);
    ASSERT_NE(target.Peek<NameAddr>(HeaderType::To), nullptr); // an arena value to be replaced
    target = std::move(moved);
    EXPECT_EQ(target.Peek<Via>(HeaderType::Via, 1), via);
    EXPECT_EQ(via->Host(), "::1");

    // Re-parsing replaced values over and over: the arena does not grow past its bound, the
    // values stay right and nothing leaks (the sanitizer build checks the last two).
    for (int i = 0; i < 2000; ++i) {
        target.Set(HeaderType::To, "<sip:user" + std::to_string(i) + "@example.com>;tag=t" + std::to_string(i));
        const NameAddr* to = target.Peek<NameAddr>(HeaderType::To);
        ASSERT_NE(to, nullptr);
        ASSERT_EQ(to->GetUri().User(), "user" + std::to_string(i));
    }
    target = SipMessage::Parse(kInvite);
    EXPECT_EQ(target.Get<NameAddr>(HeaderType::To).GetUri().User(), "bob");
}

TEST(SipMessage, TextsGivenToABuiltMessageSurviveMovesPastTheArenaBound) {
    // Short texts a built message is given are copied into its arena, long ones and those past
    // the arena's bound are kept apart: all must stay right across a move and a copy.
    SipMessage m = SipMessage::MakeResponse(200, "OK");
    const std::string longValue = "x-" + std::string(600, 'v');
    m.AddExtension("X-Long", longValue);
    for (int i = 0; i < 400; ++i) {
        m.AddExtension("X-Filler", "value-" + std::to_string(i) + "-padding-to-use-the-arena-up");
    }
    m.Add(HeaderType::Contact, "<sip:last@example.com>");
    m.AddExtension("X-Empty", "");
    const std::string wire = m.Encode();
    SipMessage moved(std::move(m));
    EXPECT_EQ(moved.Encode(), wire);
    SipMessage assigned = SipMessage::MakeResponse(486, "Busy Here");
    assigned.AddExtension("X-Old", "replaced");
    assigned = std::move(moved);
    EXPECT_EQ(assigned.Encode(), wire);
    EXPECT_EQ(assigned.RawExtension("X-Long"), longValue);
    EXPECT_EQ(assigned.RawExtension("X-Filler", 399), "value-399-padding-to-use-the-arena-up");
    EXPECT_EQ(assigned.Get<NameAddr>(HeaderType::Contact).GetUri().User(), "last");
    EXPECT_EQ(SipMessage(assigned).Encode(), wire);
}

TEST(MessageArena, FillsItsBlocksThenLeavesValuesToTheHeap) {
    detail::MessageArena arena;
    std::vector<detail::HolderPtr> held;
    std::size_t inArena = 0;
    for (int i = 0; i < 64; ++i) {
        held.push_back(arena.Make<detail::ValueHolder<NameAddr>>());
        inArena += held.back()->InArena() ? 1 : 0;
    }
    EXPECT_EQ(arena.BlockBytes(), 1024U + 2048U + 4096U);
    EXPECT_GT(inArena, 1U);
    for (std::size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i]->InArena(), i < inArena) << i; // the arena first, then only the heap
    }
    held.clear(); // arena holders destroyed in place, heap ones deleted, all before the arena
}

TEST(SipMessage, MalformedValueFailsOnlyItsOwnAccess) {
    const std::string wire = Wire(
        "SIP/2.0 486 Busy Here\n"
        "Via: SIP/2.0/UDP host;branch=z9hG4bK1\n"
        "From: <sip:a@b>;tag=1\n"
        "To: \"unterminated <sip:c@d>\n"
        "Call-ID: x@y\n"
        "CSeq: 99999999999 INVITE\n"
        "Retry-After: soon\n"
        "Contact: <sip:ok@host>, <sip:broken@[::1>\n"
        "Content-Length: 0\n\n");
    SipMessage m;
    ASSERT_TRUE(SipMessage::TryParse(wire, m).Ok());
    EXPECT_EQ(m.StatusCode(), 486);
    EXPECT_EQ(m.ReasonPhrase(), "Busy Here");
    ParseFailure failure;
    EXPECT_EQ(m.Peek<NameAddr>(HeaderType::To, 0, &failure), nullptr);
    EXPECT_STREQ(failure.reason, "unterminated quoted string");
    EXPECT_EQ(m.Peek<NameAddr>(HeaderType::To, 0, &failure), nullptr); // failure cached, same answer
    EXPECT_EQ(m.Peek<CSeq>(HeaderType::CSeq), nullptr);
    EXPECT_EQ(m.Peek<RetryAfter>(HeaderType::RetryAfter), nullptr);
    EXPECT_NE(m.Peek<NameAddr>(HeaderType::Contact, 0), nullptr);
    EXPECT_EQ(m.Peek<NameAddr>(HeaderType::Contact, 1), nullptr);
    EXPECT_NE(m.Peek<NameAddr>(HeaderType::From), nullptr);
    EXPECT_EQ(m.Peek<NameAddr>(HeaderType::ReplyTo, 0, &failure), nullptr);
    EXPECT_STREQ(failure.reason, "header not present");
    EXPECT_THROW((void)m.Get<CSeq>(HeaderType::CSeq), ParseError);
    EXPECT_THROW((void)m.Get<NameAddr>(HeaderType::ReplyTo), std::out_of_range);
    EXPECT_THROW((void)m.Peek<Token>(HeaderType::From), std::logic_error);
    EXPECT_FALSE(m.Validate().Ok());
    EXPECT_EQ(m.Encode(), wire); // malformed values are written back as received
}

TEST(SipMessage, ExtensionHeadersStayApartFromStandardOnes) {
    SipMessage m = SipMessage::MakeRequest("OPTIONS", Uri::Parse("sip:a@b"));
    EXPECT_THROW(m.AddExtension("Subject", "x"), std::invalid_argument);
    EXPECT_THROW(m.AddExtension("s", "x"), std::invalid_argument);
    EXPECT_THROW(m.AddExtension("Bad Name", "x"), std::invalid_argument);
    EXPECT_THROW(m.AddExtension("X-A", "x\r\nInjected: y"), std::invalid_argument);
    EXPECT_THROW(m.Add(HeaderType::Subject, "x\ny"), std::invalid_argument);
    EXPECT_FALSE(m.Has(HeaderType::Subject));
    m.AddExtension("X-A", "1");
    m.AddExtension("x-a", "2");
    EXPECT_EQ(m.CountExtension("X-A"), 2U);
    EXPECT_EQ(m.RemoveExtension("X-B"), 0U);
    EXPECT_EQ(m.RemoveExtension("X-a"), 2U);
    EXPECT_FALSE(m.HasExtension("X-A"));
    // First typed access fixes the class of an extension value.
    m.AddExtension("X-Who", "<sip:w@x>");
    EXPECT_NE(m.PeekExtension<NameAddr>("X-Who"), nullptr);
    ParseFailure failure;
    EXPECT_EQ(m.PeekExtension<Text>("X-Who", 0, &failure), nullptr);
    EXPECT_STREQ(failure.reason, "value already held as another type");
}

TEST(SipMessage, BuildsFromScratch) {
    SipMessage m = SipMessage::MakeRequest("INVITE", Uri::Parse("sip:bob@example.com"));
    Via via;
    via.SetTransport("UDP");
    via.SetHost("192.0.2.1");
    via.SetPort(5060);
    via.Params().Set("branch", "z9hG4bKabc");
    via.Params().SetFlag("rport");
    m.Add(HeaderType::Via, via);
    m.Add(HeaderType::MaxForwards, Number(70));
    m.Add(HeaderType::From, NameAddr::Parse("Alice <sip:alice@example.com>;tag=1"));
    m.Add(HeaderType::To, NameAddr::Parse("<sip:bob@example.com>"));
    m.Add(HeaderType::CallId, CallId("abc@host"));
    m.Add(HeaderType::CSeq, CSeq(1, "INVITE"));
    m.Add(HeaderType::Supported, "timer, 100rel");
    m.SetBody("v=0\r\n", Mime("application", "sdp"));
    EXPECT_EQ(m.Encode(), Wire("INVITE sip:bob@example.com SIP/2.0\n"
                               "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKabc;rport\n"
                               "Max-Forwards: 70\n"
                               "From: Alice <sip:alice@example.com>;tag=1\n"
                               "To: <sip:bob@example.com>\n"
                               "Call-ID: abc@host\n"
                               "CSeq: 1 INVITE\n"
                               "Supported: timer, 100rel\n"
                               "Content-Type: application/sdp\n"
                               "Content-Length: 5\n"
                               "\n"
                               "v=0\n"));
    EXPECT_TRUE(SipMessage::Parse(m.Encode()).Validate().Ok());
    EXPECT_EQ(m.Count(HeaderType::Supported), 2U);

    SipMessage r = SipMessage::MakeResponse(180, "Ringing");
    EXPECT_EQ(r.Encode(), Wire("SIP/2.0 180 Ringing\nContent-Length: 0\n\n"));
    r.SetStatus(200, "OK");
    EXPECT_EQ(r.StatusCode(), 200);
    EXPECT_THROW(r.SetStatus(700, "x"), std::invalid_argument);
    EXPECT_THROW(SipMessage::MakeResponse(99, "x"), std::invalid_argument);
    EXPECT_THROW(m.SetMethod("IN VITE"), std::invalid_argument);
}

// Option tags and methods we add one by one leave on one line (peers that read only a header's
// first line see them all); received lines, other list headers and extensions keep a line each.
// Via and Max-Forwards can be moved to the top, where RFC 3261 section 7.3.1 recommends them.
TEST(SipMessage, AddedTokenListsShareALineAndHeadersMoveToTheTop) {
    SipMessage m = SipMessage::Parse(Wire("OPTIONS sip:bob@example.com SIP/2.0\n"
                                          "Call-ID: a\n"
                                          "Supported: path\n"
                                          "\n"));
    m.Add(HeaderType::Supported, Token("timer"));
    m.Add(HeaderType::Supported, "100rel");
    m.Add(HeaderType::Allow, Token("INVITE"));
    m.Add(HeaderType::Allow, Token("ACK"));
    m.Add(HeaderType::Contact, NameAddr::Parse("<sip:a@192.0.2.1>"));
    m.Add(HeaderType::Contact, NameAddr::Parse("<sip:b@192.0.2.1>"));
    m.AddExtension("X-Tag", "one");
    m.AddExtension("X-Tag", "two");
    m.Add(HeaderType::Via, "SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKx");
    m.Add(HeaderType::MaxForwards, "70");
    m.MoveToTop(HeaderType::MaxForwards);
    m.MoveToTop(HeaderType::Via);
    EXPECT_EQ(m.Encode(), Wire("OPTIONS sip:bob@example.com SIP/2.0\n"
                               "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKx\n"
                               "Max-Forwards: 70\n"
                               "Call-ID: a\n"
                               "Supported: path\n"
                               "Supported: timer, 100rel\n"
                               "Allow: INVITE, ACK\n"
                               "Contact: <sip:a@192.0.2.1>\n"
                               "Contact: <sip:b@192.0.2.1>\n"
                               "X-Tag: one\n"
                               "X-Tag: two\n"
                               "Content-Length: 0\n"
                               "\n"));
    EXPECT_EQ(m.Count(HeaderType::Supported), 3U);
    EXPECT_EQ(m.ValueText(HeaderType::Supported, 2), "100rel");
    ASSERT_TRUE(m.RemoveAt(HeaderType::Supported, 1));
    const SipMessage again = SipMessage::Parse(m.Encode());
    EXPECT_EQ(again.Count(HeaderType::Supported), 2U);
    EXPECT_EQ(again.ValueText(HeaderType::Supported, 1), "100rel");
}

TEST(SipMessage, ContentLengthIsRecomputed) {
    SipMessage m = SipMessage::Parse(Wire("MESSAGE sip:a@b SIP/2.0\nl: 5\nContent-Length: 5\n\nhello"));
    EXPECT_EQ(m.Encode(), Wire("MESSAGE sip:a@b SIP/2.0\nl: 5\n\nhello")); // duplicate dropped, matching one kept
    m.SetBody("hi", Mime("text", "plain"));
    EXPECT_EQ(m.Encode(), Wire("MESSAGE sip:a@b SIP/2.0\nContent-Length: 2\nContent-Type: text/plain\n\nhi"));
    m.ClearBody();
    EXPECT_EQ(m.Encode(), Wire("MESSAGE sip:a@b SIP/2.0\nContent-Length: 0\n\n"));
}

TEST(SipMessage, RejectsBrokenFramingWithPositions) {
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"", "empty message"},
        {"\r\n\r\n", "empty message"},
        {Wire("INVITE  sip:a@b SIP/2.0\n\n"), "malformed request line: expected a Request-URI"},
        {Wire("INVITE sip:a@b SIP/2.0 \n\n"), "malformed request line: bad SIP version"},
        {Wire("INVITE sip:a@b\n\n"), "malformed request line: expected one SP after the Request-URI"},
        {Wire("SIP/2.0 4294967301 x\n\n"), "malformed status code"},
        {Wire("SIP/2.0 099 x\n\n"), "status code out of range"},
        {Wire("SIP/x 200 OK\n\n"), "malformed SIP version in status line"},
        {Wire("OPTIONS sip:a@b SIP/2.0\nNoColon\n\n"), "malformed header line: expected ':'"},
        {Wire("OPTIONS sip:a@b SIP/2.0\n: empty name\n\n"), "malformed header line: expected a header name"},
        {Wire("OPTIONS sip:a@b SIP/2.0\n folded start\n\n"), "malformed header line: expected a header name"},
        {Wire("OPTIONS sip:a@b SIP/2.0\nContent-Length: 10\n\nshort"), "Content-Length larger than the body received"},
        {Wire("OPTIONS sip:a@b SIP/2.0\nl: x\n\n"), "malformed Content-Length"},
    };
    for (const Case& c : cases) {
        SipMessage m;
        const ParseStatus status = SipMessage::TryParse(c.text, m);
        ASSERT_FALSE(status.Ok()) << c.text;
        EXPECT_STREQ(status.Failure().reason, c.reason) << c.text;
        EXPECT_LE(status.Failure().position, c.text.size());
    }
    SipMessage m;
    const ParseStatus status = SipMessage::TryParse(Wire("OPTIONS sip:a@b SIP/2.0\nVia: x\nBad\n\n"), m);
    EXPECT_EQ(status.Failure().position, 36U); // at the end of "Bad", where ':' was expected
}

TEST(SipMessage, EnforcesLimits) {
    MessageLimits limits;
    limits.maxMessageBytes = 200;
    limits.maxHeaderCount = 3;
    limits.maxLineLength = 40;
    limits.maxBodyBytes = 10;
    SipMessage m;
    EXPECT_STREQ(SipMessage::TryParse(std::string(201, 'x'), m, limits).Failure().reason,
                 "message larger than the size limit");
    EXPECT_STREQ(SipMessage::TryParse(Wire("OPTIONS sip:a@b SIP/2.0\nA: 1\nB: 2\nC: 3\nD: 4\n\n"), m, limits)
                     .Failure()
                     .reason,
                 "more header lines than the header limit");
    EXPECT_STREQ(SipMessage::TryParse(Wire("OPTIONS sip:a@b SIP/2.0\nA: " + std::string(40, 'a') + "\n\n"), m, limits)
                     .Failure()
                     .reason,
                 "header line longer than the line limit");
    EXPECT_STREQ(SipMessage::TryParse(Wire("OPTIONS sip:a@b SIP/2.0\n\n") + std::string(11, 'b'), m, limits)
                     .Failure()
                     .reason,
                 "body larger than the body limit");
    EXPECT_TRUE(SipMessage::TryParse(Wire("OPTIONS sip:a@b SIP/2.0\nA: 1\nB: 2\nC: 3\n\n0123456789"), m, limits).Ok());
    limits.maxValueCount = 4;
    EXPECT_STREQ(SipMessage::TryParse(Wire("OPTIONS sip:a@b SIP/2.0\nAllow: A,B,C,D,E\n\n"), m, limits).Failure().reason,
                 "more header values than the value limit");
}

TEST(SipMessage, DatagramRules) {
    // Bytes beyond Content-Length are dropped; without Content-Length the rest is the body; leading
    // CRLFs are ignored (RFC 3261 section 7.5); bare LF line ends are accepted.
    SipMessage m = SipMessage::Parse("\r\n\r\nMESSAGE sip:a@b SIP/2.0\r\nContent-Length: 2\r\n\r\nhello");
    EXPECT_EQ(m.Body(), "he");
    m = SipMessage::Parse("MESSAGE sip:a@b SIP/2.0\nSubject: lf only\n\nhello");
    EXPECT_EQ(m.Body(), "hello");
    EXPECT_EQ(m.Get<Text>(HeaderType::Subject).Value(), "lf only");
    m = SipMessage::Parse("MESSAGE sip:a@b SIP/2.0\r\nSubject: no blank line");
    EXPECT_EQ(m.Raw(HeaderType::Subject), "no blank line");
    EXPECT_TRUE(m.Body().empty());
}

} // namespace
} // namespace zel::sip::stack

namespace zel::sip::stack {
namespace {

TEST(SipMessage, EditedValuesCannotInjectHeaderLines) {
    SipMessage m = SipMessage::Parse(kInvite);
    m.Edit<NameAddr>(HeaderType::To)->SetDisplayName("Bob\r\nX-Injected: 1");
    m.Edit<Token>(HeaderType::Supported, 0)->SetValue("timer\r\nX-Injected: 2");
    const std::string wire = m.Encode();
    EXPECT_EQ(wire.find("\r\nX-Injected"), std::string::npos);
    SipMessage uriEdited = SipMessage::Parse(kInvite);
    uriEdited.EditRequestUri()->SetHost("example.com\r\nX-Injected: 3");
    EXPECT_EQ(uriEdited.Encode().find("\r\nX-Injected"), std::string::npos);
    const SipMessage back = SipMessage::Parse(wire);
    EXPECT_FALSE(back.HasExtension("X-Injected"));
    EXPECT_EQ(back.Get<NameAddr>(HeaderType::To).DisplayName(), "Bob  X-Injected: 1");
}

TEST(SipMessage, ValueTextOfAFoldedValueCanBeCopied) {
    // Building a reply copies header texts from what a peer sent: folds (and a stray CR) must not
    // make that copy throw, and they read as one space.
    const SipMessage m = SipMessage::Parse(
        "OPTIONS sip:a@b SIP/2.0\r\nVia: SIP/2.0/UDP h;\r\n  branch=z9hG4bK1\r\nTo: <sip:a@b>\r\n\t;tag=x\r\n"
        "Subject: a\rb\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(m.ValueText(HeaderType::Via), "SIP/2.0/UDP h; branch=z9hG4bK1");
    EXPECT_EQ(m.ValueText(HeaderType::To), "<sip:a@b> ;tag=x");
    EXPECT_EQ(m.ValueText(HeaderType::Subject), "a b");
    SipMessage copy = SipMessage::MakeResponse(100, "Trying");
    for (HeaderType type : {HeaderType::Via, HeaderType::To, HeaderType::Subject}) {
        EXPECT_NO_THROW(copy.Add(type, m.ValueText(type)));
    }
    EXPECT_EQ(copy.Get<Via>(HeaderType::Via).Branch(), "z9hG4bK1");
}

TEST(SipMessage, DefaultConstructedMessageCopies) {
    SipMessage empty;
    empty.AddExtension("X-A", "1");
    const SipMessage copy = empty; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.Method(), "");
    EXPECT_EQ(copy.RawExtension("X-A"), "1");
}

TEST(SipMessage, LongValuesAndManyValues) {
    // In the spirit of RFC 4475 section 3.1.1.7: very long values and many values per line.
    std::string contacts;
    for (int i = 0; i < 300; ++i) {
        contacts += (i == 0 ? "" : ", ") + std::string("<sip:user") + std::to_string(i) + "@example.com>";
    }
    const std::string longToken(4000, 'a');
    std::string manyParams; // the parse reserves room by counting separators: only a few
    for (int i = 0; i < 1000; ++i) {
        manyParams += ";p" + std::to_string(i);
    }
    const std::string wire = "OPTIONS sip:" + longToken + "@example.com SIP/2.0\r\n"
                             "Via: SIP/2.0/UDP h" + manyParams + "\r\n"
                             "To: \"" + std::string(2000, 'n') + "\" <sip:" + longToken + "@example.com>;tag=" +
                             longToken + "\r\nContact: " + contacts + "\r\nContent-Length: 0\r\n\r\n";
    SipMessage m;
    ASSERT_TRUE(SipMessage::TryParse(wire, m).Ok());
    EXPECT_EQ(m.Count(HeaderType::Contact), 300U);
    EXPECT_EQ(m.Get<NameAddr>(HeaderType::Contact, 299).GetUri().User(), "user299");
    EXPECT_EQ(m.Get<NameAddr>(HeaderType::To).Params().Find("tag")->value, longToken);
    EXPECT_EQ(m.RequestUri()->User(), longToken);
    EXPECT_EQ(m.Get<Via>(HeaderType::Via).Params().Size(), 1000U);
    EXPECT_EQ(m.Encode(), wire);
}

TEST(SipMessage, ValidateRangesMaxForwardsAndReadsEveryContactOfARegister) {
    const std::string request = Wire(
        "REGISTER sip:registrar.example.com SIP/2.0\n"
        "Via: SIP/2.0/UDP host;branch=z9hG4bK1\n"
        "Max-Forwards: {mf}\n"
        "To: <sip:a@example.com>\n"
        "From: <sip:a@example.com>;tag=1\n"
        "Call-ID: reg@host\n"
        "CSeq: 2 {cseq}\n"
        "Contact: {contact}\n"
        "Content-Length: 0\n\n");
    struct Case {
        std::string method, maxForwards, contact;
        const char* failure; // null: valid
    };
    const Case cases[] = {
        {"REGISTER", "255", "*", nullptr},
        {"REGISTER", "0", "<sip:a@h1>;expires=0, sip:a@h2", nullptr},
        {"REGISTER", "256", "<sip:a@h1>", "Max-Forwards larger than 255"},
        {"REGISTER", "70", "<sip:a@h1>, sip:a@h2?Route=%3Csip:p%3E", "malformed Contact header"},
        {"REGISTER", "70", "\"unterminated <sip:a@h1>", "malformed Contact header"},
        // Outside a REGISTER a Contact fault stays confined to the Contact.
        {"OPTIONS", "70", "sip:a@h2?Route=%3Csip:p%3E", nullptr},
    };
    for (const Case& c : cases) {
        std::string wire = request;
        for (const auto& [name, value] : {std::pair<std::string, std::string>{"{mf}", c.maxForwards},
                                          {"{contact}", c.contact}, {"{cseq}", c.method}}) {
            wire.replace(wire.find(name), name.size(), value);
        }
        wire.replace(0, 8, c.method);
        SCOPED_TRACE(wire);
        SipMessage m;
        ASSERT_TRUE(SipMessage::TryParse(wire, m).Ok());
        const ParseStatus status = m.Validate();
        if (c.failure == nullptr) {
            EXPECT_TRUE(status.Ok()) << status.Describe();
            continue;
        }
        ASSERT_FALSE(status.Ok());
        EXPECT_STREQ(status.Failure().reason, c.failure);
        EXPECT_GT(status.Failure().position, wire.find(c.maxForwards == "256" ? "Max-Forwards" : "Contact:"));
    }
}

TEST(SipMessage, QuotedStringsCarryControlBytesAsQuotedPairs) {
    // Every byte a quoted-pair can carry (RFC 3261 section 25.1), in a display name, a Reason text
    // parameter and a Warning text, all written from their typed values.
    for (int byte = 0; byte < 0x80; ++byte) {
        if (byte == '\r' || byte == '\n') {
            continue; // no quoted-pair carries them; see EditedValuesCannotInjectHeaderLines
        }
        const std::string value = std::string("a") + static_cast<char>(byte) + "\\\"b";
        SipMessage m = SipMessage::Parse(kInvite);
        m.Edit<NameAddr>(HeaderType::To)->SetDisplayName(value);
        m.Edit<Reason>(HeaderType::Reason)->Params().Set("text", value);
        m.Add(HeaderType::Warning, Warning(399, "host", value));
        const std::string wire = m.Encode();
        const std::string head = wire.substr(0, wire.find("\r\n\r\n"));
        for (std::size_t i = 0; i < head.size(); ++i) {
            const auto c = static_cast<unsigned char>(head[i]);
            const bool control = (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f;
            EXPECT_FALSE(control && (i == 0 || head[i - 1] != '\\')) << "bare byte " << byte << " at " << i;
        }
        const SipMessage back = SipMessage::Parse(wire);
        EXPECT_EQ(back.Get<NameAddr>(HeaderType::To).DisplayName(), value) << byte;
        ASSERT_NE(back.Get<Reason>(HeaderType::Reason).Text(), nullptr);
        EXPECT_EQ(*back.Get<Reason>(HeaderType::Reason).Text(), value) << byte;
        EXPECT_EQ(back.Get<Warning>(HeaderType::Warning).Text(), value) << byte;
        EXPECT_EQ(back.Encode(), wire);
    }
}

} // namespace
} // namespace zel::sip::stack

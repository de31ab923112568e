#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"
#include "stack/base/Escaping.h"
#include "stack/base/ParseError.h"
#include "stack/base/Scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>

namespace zel::sip::stack {
namespace {

TEST(CharClass, MatchesRfc3261Sets) {
    for (char c : std::string("abcXYZ019-.!%*_+`'~"))
        EXPECT_TRUE(chars::IsToken(c)) << c;
    for (char c : std::string("()<>@,;:\\\"/[]?={} \t")) {
        EXPECT_FALSE(chars::IsToken(c)) << c;
        EXPECT_TRUE(chars::IsSeparator(c)) << c;
    }
    const struct {
        bool (*in)(char) noexcept;
        std::string_view members;
        std::string_view others;
    } sets[] = {{chars::IsUserChar, "?;", "@:"}, {chars::IsPasswordChar, "&", ";"}, {chars::IsParamChar, ":", ";="},
                {chars::IsHeaderChar, "?", "&"},  {chars::IsWord, "\"", "@"},        {chars::IsToken, "", "\x80"}};
    for (const auto& set : sets) {
        for (char c : set.members)
            EXPECT_TRUE(set.in(c)) << c;
        for (char c : set.others)
            EXPECT_FALSE(set.in(c)) << c;
    }
    EXPECT_EQ(chars::HexValue('f'), 15);
    EXPECT_EQ(chars::HexValue('G'), -1);
}

TEST(CaseInsensitive, CompareAndHashAgree) {
    EXPECT_TRUE(IEquals("Call-ID", "call-id"));
    EXPECT_FALSE(IEquals("Call-ID", "Call-IDs"));
    EXPECT_EQ(IHash{}("Content-Length"), IHash{}("CONTENT-LENGTH"));
    EXPECT_TRUE(ILess{}("alpha", "BETA"));
    EXPECT_FALSE(ILess{}("BETA", "alpha"));
    std::unordered_map<std::string, int, IHash, IEqual> map{{"Via", 1}};
    EXPECT_EQ(map.count("VIA"), 1U);
    EXPECT_EQ(ToLower("SiP"), "sip");
}

TEST(Escaping, RoundTripsAndRejectsBadEscapes) {
    EXPECT_EQ(Escape("a b@c", chars::IsUserChar), "a%20b%40c");
    std::string out;
    ASSERT_TRUE(Unescape("%61lice%00x", out).Ok());
    EXPECT_EQ(out, std::string("alice\0x", 7));
    ASSERT_TRUE(Unescape("%4a%4A", out).Ok());
    EXPECT_EQ(out, "JJ");

    struct Bad {
        const char* text;
        std::size_t position;
    };
    for (const Bad& bad : {Bad{"abc%", 3}, Bad{"abc%4", 3}, Bad{"%zz", 0}, Bad{"x%4g", 1}}) {
        const ParseStatus status = Unescape(bad.text, out, 100);
        ASSERT_FALSE(status.Ok()) << bad.text;
        EXPECT_EQ(status.Failure().position, 100 + bad.position) << bad.text;
    }
}

TEST(Scanner, SkipsLinearWhiteSpaceIncludingFolds) {
    struct Case {
        const char* text;
        std::size_t stop;
    };
    const Case cases[] = {
        {"  \tx", 3},    {"\r\n x", 3},   {" \r\n\tx", 4}, {"\n x", 2}, // bare LF fold accepted
        {"\r\nx", 0},    {" \r\nx", 1},   {"x", 0},
    };
    for (const Case& c : cases) {
        Scanner s(c.text);
        s.SkipLws();
        EXPECT_EQ(s.Offset(), c.stop) << '"' << c.text << '"';
    }
}

TEST(Scanner, ConsumeSeparatorRestoresOnMiss) {
    Scanner s("  ; x");
    EXPECT_FALSE(s.ConsumeSeparator(','));
    EXPECT_EQ(s.Offset(), 0U);
    EXPECT_TRUE(s.ConsumeSeparator(';'));
    EXPECT_EQ(s.Peek(), 'x');
}

TEST(Scanner, QuotedStrings) {
    std::string out;
    Scanner ok(R"("a \"b\" \\ c" rest)");
    ASSERT_TRUE(ok.TakeQuotedString(out).Ok());
    EXPECT_EQ(out, R"(a "b" \ c)");
    EXPECT_EQ(ok.Rest(), " rest");

    Scanner folded("\"a\r\n b\"");
    ASSERT_TRUE(folded.TakeQuotedString(out).Ok());
    EXPECT_EQ(out, "a b");

    for (const char* bad : {"\"open", "\"bad\\", "\"line\r\nend\"", "noquote"}) {
        Scanner s(bad, 10);
        const ParseStatus status = s.TakeQuotedString(out);
        EXPECT_FALSE(status.Ok()) << bad;
        EXPECT_GE(status.Failure().position, 10U);
    }
}

TEST(Scanner, CommentsNestAndNumbersBounded) {
    std::string_view comment;
    Scanner s("(a (b) \\) c) tail");
    ASSERT_TRUE(s.TakeComment(comment).Ok());
    EXPECT_EQ(comment, "(a (b) \\) c)");
    Scanner open("(a (b)");
    EXPECT_FALSE(open.TakeComment(comment).Ok());

    std::uint32_t value = 0;
    Scanner max("4294967295x");
    ASSERT_TRUE(max.TakeUInt32(value).Ok());
    EXPECT_EQ(value, 4294967295U);
    Scanner over("4294967296");
    EXPECT_FALSE(over.TakeUInt32(value).Ok());
    Scanner none("x");
    EXPECT_FALSE(none.TakeUInt32(value).Ok());
}

TEST(ParseError, CarriesPositionAndReason) {
    const ParseStatus status = ParseFailure{7, "bad thing"};
    EXPECT_EQ(status.Describe(), "bad thing (at offset 7)");
    try {
        ThrowIfFailed(status, "URI");
        FAIL();
    } catch (const ParseError& e) {
        EXPECT_EQ(e.Position(), 7U);
        EXPECT_STREQ(e.what(), "URI parse error: bad thing (at offset 7)");
    }
    EXPECT_NO_THROW(ThrowIfFailed(ParseStatus{}, "URI"));
}

} // namespace
} // namespace zel::sip::stack

#include "stack/body/BodyFactory.h"
#include "stack/body/GenericBody.h"
#include "stack/body/MultipartBody.h"
#include "stack/body/SdpBody.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace zel::sip::stack;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(std::string(ZEL_TEST_DATA_DIR) + "/" + path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::unique_ptr<Body> Parse(std::string_view type, std::string_view content, const BodyLimits& limits = {}) {
    auto parsed = ParseBody(type, content, {}, limits);
    EXPECT_TRUE(parsed.Ok()) << (parsed.Ok() ? "" : parsed.Error().ToString());
    return parsed.Ok() ? std::move(parsed).Value() : nullptr;
}

const std::string kSdp = "v=0\r\no=- 1 1 IN IP4 h\r\ns= \r\nt=0 0\r\nm=audio 4000 RTP/AVP 0\r\n";

} // namespace

TEST(ContentType, ParsesParametersAndQuotedValues) {
    auto t = ContentType::Parse(" multipart/mixed ; boundary=\"a b:\\\"c\" ;x=1;");
    ASSERT_TRUE(t.Ok()) << t.Error().ToString();
    EXPECT_TRUE(t.Value().mime.Matches("multipart", "mixed"));
    EXPECT_EQ(t.Value().Parameter("BOUNDARY"), "a b:\"c");
    EXPECT_EQ(t.Value().Parameter("x"), "1");
    EXPECT_EQ(t.Value().Encode(), "multipart/mixed;boundary=\"a b:\\\"c\";x=1");
    EXPECT_EQ(ContentType::Parse(t.Value().Encode()).Value(), t.Value());

    for (const char* bad : {"", "application", "application/", "/sdp", "text/plain;", "text/plain x",
                            "text/plain;charset", "text/plain;charset=", "a/b;c=\"open"}) {
        if (std::string_view(bad) == "text/plain;") {
            EXPECT_TRUE(ContentType::Parse(bad).Ok()); // a trailing ";" is tolerated
            continue;
        }
        EXPECT_FALSE(ContentType::Parse(bad).Ok()) << bad;
    }
}

TEST(ContentType, ConvertsFromAndToTheMessageLayersMime) {
    const auto mime = Mime::Parse("multipart/mixed;boundary=\"a:b\";charset=x");
    const auto type = ContentType::FromMime(mime);
    EXPECT_EQ(type.Parameter("boundary"), "a:b");
    EXPECT_EQ(type.Encode(), "multipart/mixed;boundary=\"a:b\";charset=x");
    EXPECT_TRUE(type.mime.Params().Empty());
    std::string encoded;
    type.ToMime().Encode(encoded);
    EXPECT_EQ(encoded, "multipart/mixed;boundary=\"a:b\";charset=x");
    auto body = ParseBody(mime, "--a:b\r\n\r\nx\r\n--a:b--\r\n");
    ASSERT_TRUE(body.Ok());
    EXPECT_EQ(dynamic_cast<MultipartBody&>(*body.Value()).Parts().size(), 1u);
}

TEST(BodyFactory, ChoosesTheBodyClassByContentType) {
    EXPECT_NE(dynamic_cast<SdpBody*>(Parse("Application/SDP", kSdp).get()), nullptr);
    auto text = Parse("text/plain;charset=utf-8", "hello");
    ASSERT_NE(dynamic_cast<TextBody*>(text.get()), nullptr);
    EXPECT_EQ(dynamic_cast<TextBody&>(*text).Text(), "hello");
    EXPECT_EQ(text->ContentType().Parameter("charset"), "utf-8");
    auto json = Parse("application/json", "{\"a\":1}\r\n\x01\xff");
    ASSERT_NE(json, nullptr);
    EXPECT_EQ(dynamic_cast<SdpBody*>(json.get()), nullptr);
    EXPECT_EQ(json->Encode(), "{\"a\":1}\r\n\x01\xff"); // opaque bytes, unchanged

    // A transfer-encoded SDP cannot be read here: it is kept as opaque bytes, not rejected.
    MimeHeaders headers;
    headers.transferEncoding = "base64";
    auto encoded = ParseBody("application/sdp", "dj0wDQo=", headers);
    ASSERT_TRUE(encoded.Ok());
    EXPECT_EQ(dynamic_cast<SdpBody*>(encoded.Value().get()), nullptr);
    EXPECT_EQ(encoded.Value()->Headers().transferEncoding, "base64");

    auto bad = ParseBody("application/sdp", "v=0\r\nm=audio x\r\n");
    ASSERT_FALSE(bad.Ok());
    EXPECT_EQ(bad.Error().line, 2u);
    EXPECT_NE(bad.Error().message.find("invalid SDP"), std::string::npos);
    EXPECT_FALSE(ParseBody("not a type", "x").Ok());

    BodyLimits limits;
    limits.maxBytes = 4;
    EXPECT_FALSE(ParseBody("text/plain", "12345", {}, limits).Ok());
}

TEST(SdpBody, WritesReceivedTextBackUntilChanged) {
    const std::string sloppy = "v=0\no=- 1 1 IN IP4 h\nt=0 0\n";
    auto body = Parse("application/sdp", sloppy);
    auto& sdp = dynamic_cast<SdpBody&>(*body);
    EXPECT_EQ(sdp.Encode(), sloppy);
    EXPECT_EQ(std::as_const(sdp).Session().Origin().address, "h");
    EXPECT_EQ(sdp.Encode(), sloppy);
    sdp.Session().Origin().sessionVersion = 2;
    EXPECT_EQ(sdp.Encode(), "v=0\r\no=- 1 2 IN IP4 h\r\ns= \r\nt=0 0\r\n");
}

TEST(MultipartBody, SdpWithAnotherPartFromFile) {
    auto body = Parse("multipart/mixed;boundary=boundary1", ReadFile("bodies/sdp_and_pidf.multipart"));
    auto* multipart = dynamic_cast<MultipartBody*>(body.get());
    ASSERT_NE(multipart, nullptr);
    ASSERT_EQ(multipart->Parts().size(), 2u);
    const auto* sdp = dynamic_cast<const SdpBody*>(multipart->Parts()[0].get());
    ASSERT_NE(sdp, nullptr);
    EXPECT_EQ(sdp->Headers().disposition, "session");
    EXPECT_EQ(sdp->Session().Media().at(0).Port(), 54400);
    EXPECT_EQ(FindSdp(*body), sdp);

    const auto& pidf = *multipart->Parts()[1];
    EXPECT_TRUE(pidf.Mime().Matches("application", "pidf+xml"));
    EXPECT_EQ(pidf.Headers().id, "<target123@atlanta.example.com>");
    EXPECT_EQ(pidf.Headers().disposition, "render; handling=optional"); // unfolded
    ASSERT_EQ(pidf.Headers().others.size(), 1u);
    EXPECT_EQ(pidf.Headers().others[0].first, "X-Vendor-Tag");
    EXPECT_TRUE(pidf.Encode().starts_with("<?xml"));
    EXPECT_TRUE(pidf.Encode().ends_with("/>")); // the CRLF before the delimiter is not content

    // Encoding keeps the peer's boundary and drops preamble and epilogue; parsing it again gives
    // the same parts.
    const std::string encoded = body->Encode();
    EXPECT_TRUE(encoded.starts_with("--boundary1\r\nContent-Type: application/sdp\r\n"));
    EXPECT_TRUE(encoded.ends_with("/>\r\n--boundary1--\r\n"));
    auto again = Parse(body->ContentType().Encode(), encoded);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Encode(), encoded);
}

TEST(MultipartBody, NestedMultipartIsSearchedDepthFirst) {
    auto body = Parse("multipart/mixed; boundary=outer", ReadFile("bodies/nested.multipart"));
    auto& outer = dynamic_cast<MultipartBody&>(*body);
    ASSERT_EQ(outer.Parts().size(), 2u);
    auto& inner = dynamic_cast<MultipartBody&>(*outer.Parts()[0]);
    EXPECT_EQ(inner.Boundary(), "inner:2");
    ASSERT_EQ(inner.Parts().size(), 2u);
    EXPECT_EQ(inner.Parts()[0]->Headers().languages, (std::vector<std::string>{"en", "de"}));
    EXPECT_EQ(inner.Parts()[0]->Encode(), "Hello");
    EXPECT_EQ(FindSdp(*body), inner.Parts()[1].get());
    EXPECT_EQ(outer.Parts()[1]->Encode(), "{\"call\":\"recording\"}");

    const std::string encoded = body->Encode();
    EXPECT_NE(encoded.find("Content-Type: multipart/alternative;boundary=\"inner:2\"\r\n"), std::string::npos);
    auto again = Parse(body->ContentType().Encode(), encoded);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Encode(), encoded);
    EXPECT_EQ(FindSdp(*Parse("text/plain", "x")), nullptr);
}

TEST(MultipartBody, LenientFraming) {
    // LF-only line ends, transport padding after a delimiter, a part without headers
    // (text/plain by default), and no close delimiter.
    auto body = Parse("multipart/mixed;boundary=b", "--b  \n\nfirst\n--b\nContent-Type: application/json\n\n{}\n");
    auto& m = dynamic_cast<MultipartBody&>(*body);
    ASSERT_EQ(m.Parts().size(), 2u);
    EXPECT_NE(dynamic_cast<TextBody*>(m.Parts()[0].get()), nullptr);
    EXPECT_EQ(m.Parts()[0]->Encode(), "first");
    EXPECT_EQ(m.Parts()[1]->Encode(), "{}\n");
    EXPECT_EQ(m.Encode(), "--b\r\nContent-Type: text/plain\r\n\r\nfirst\r\n"
                          "--b\r\nContent-Type: application/json\r\n\r\n{}\n\r\n--b--\r\n");
    // A line that only contains the boundary text in the middle is content.
    auto inline_ = Parse("multipart/mixed;boundary=b", "--b\r\n\r\nx --b y\r\n--b--");
    EXPECT_EQ(dynamic_cast<MultipartBody&>(*inline_).Parts()[0]->Encode(), "x --b y");
}

TEST(MultipartBody, MalformedInputAndLimits) {
    struct Case {
        const char* type;
        std::string content;
        const char* message;
    };
    const Case cases[] = {
        {"multipart/mixed", "--b\r\n\r\nx\r\n--b--", "without boundary parameter"},
        {"multipart/mixed;boundary=\"\"", "--\r\n", "invalid multipart boundary"},
        {"multipart/mixed;boundary=b", "no delimiter here", "without boundary delimiter"},
        {"multipart/mixed;boundary=b", "--b\r\n\r\nx\r\n--bc\r\n\r\ny\r\n--b--", "text after multipart boundary"},
        {"multipart/mixed;boundary=b", "--b\r\nno colon\r\n\r\nx\r\n--b--", "part 1: header line without ':'"},
        {"multipart/mixed;boundary=b", "--b\r\n continued\r\n\r\nx\r\n--b--", "continuation line before"},
        {"multipart/mixed;boundary=b", "--b\r\n\r\nx\r\n--b\r\nContent-Type: application/sdp\r\n\r\nv=1x\r\n--b--",
         "part 2: line 1: invalid SDP: invalid version line"},
        {"multipart/mixed;boundary=b", "--b\r\nContent-Type: bad\r\n\r\nx\r\n--b--", "part 1: invalid Content-Type"},
    };
    for (const auto& c : cases) {
        auto parsed = ParseBody(c.type, c.content);
        ASSERT_FALSE(parsed.Ok()) << c.content;
        EXPECT_NE(parsed.Error().message.find(c.message), std::string::npos) << parsed.Error().message;
    }

    BodyLimits limits;
    limits.maxParts = 2;
    limits.maxDepth = 2;
    const std::string threeParts = "--b\r\n\r\n1\r\n--b\r\n\r\n2\r\n--b\r\n\r\n3\r\n--b--\r\n";
    EXPECT_NE(ParseBody("multipart/mixed;boundary=b", threeParts, {}, limits).Error().message.find("more than 2 parts"),
              std::string::npos);
    const std::string deep = "--a\r\nContent-Type: multipart/mixed;boundary=c\r\n\r\n"
                             "--c\r\nContent-Type: multipart/mixed;boundary=d\r\n\r\n--d\r\n\r\nx\r\n--d--\r\n--c--\r\n--a--";
    auto tooDeep = ParseBody("multipart/mixed;boundary=a", deep, {}, limits);
    ASSERT_FALSE(tooDeep.Ok());
    EXPECT_NE(tooDeep.Error().message.find("nested deeper than 2"), std::string::npos) << tooDeep.Error().message;
    limits.maxPartHeaderBytes = 40;
    const std::string longHeader = "--b\r\nX: " + std::string(60, 'x') + "\r\n\r\nx\r\n--b--";
    EXPECT_FALSE(ParseBody("multipart/mixed;boundary=b", longHeader, {}, limits).Ok());
}

TEST(MultipartBody, BuiltBodyWithSdpAndHostPart) {
    MultipartBody m;
    EXPECT_TRUE(m.Mime().Matches("multipart", "mixed"));
    EXPECT_TRUE(MultipartBody::IsValidBoundary(m.Boundary()));
    EXPECT_NE(MultipartBody().Boundary(), m.Boundary()); // random per body

    auto sdp = sdp::Session::Parse(kSdp);
    m.AddPart(SdpBody(std::move(sdp).Value()));
    GenericBody xml(ContentType("application", "xml"), "<a/>");
    xml.Headers().disposition = "render";
    xml.Headers().transferEncoding = "";
    xml.Headers().languages = {"en", "fr"};
    xml.Headers().id = "<1@h>";
    xml.Headers().description = "line\r\nInjected: yes"; // a value can never add a header
    m.AddPart(xml);
    m.AddPart(nullptr);
    ASSERT_EQ(m.Parts().size(), 2u);

    const std::string b(m.Boundary());
    EXPECT_EQ(m.Encode(), "--" + b + "\r\nContent-Type: application/sdp\r\n\r\n" + kSdp + "\r\n--" + b +
                              "\r\nContent-Type: application/xml\r\nContent-Disposition: render\r\n"
                              "Content-Transfer-Encoding: \r\nContent-Language: en, fr\r\nContent-ID: <1@h>\r\n"
                              "Content-Description: line  Injected: yes\r\n\r\n<a/>\r\n--" +
                              b + "--\r\n");
    auto parsed = Parse(m.ContentType().Encode(), m.Encode());
    auto& back = dynamic_cast<MultipartBody&>(*parsed);
    ASSERT_EQ(back.Parts().size(), 2u);
    EXPECT_EQ(back.Parts()[1]->Headers().languages, xml.Headers().languages);
    EXPECT_EQ(back.Parts()[1]->Headers().transferEncoding, "");
    EXPECT_TRUE(back.Parts()[1]->Headers().others.empty());

    // Clones are deep.
    auto copy = m.Clone();
    dynamic_cast<GenericBody&>(*m.Parts()[1]).SetContent("<b/>");
    EXPECT_EQ(dynamic_cast<MultipartBody&>(*copy).Parts()[1]->Encode(), "<a/>");
    // ... MIME headers included: a copy, an assignment and a clone each own theirs.
    m.Parts()[1]->Headers().id = "<2@h>";
    EXPECT_EQ(dynamic_cast<MultipartBody&>(*copy).Parts()[1]->Headers().id, "<1@h>");
    GenericBody assigned(ContentType("text", "plain"), "x");
    assigned = xml;
    GenericBody copied(xml);
    xml.Headers().languages.clear();
    EXPECT_EQ(assigned.Headers().languages, (std::vector<std::string>{"en", "fr"}));
    EXPECT_EQ(copied.EncodeAsPart(), assigned.EncodeAsPart());
    assigned = GenericBody(ContentType("text", "plain"), "y"); // and one without any loses them
    EXPECT_EQ(assigned.EncodeAsPart(), "Content-Type: text/plain\r\n\r\ny");
    const GenericBody bare(ContentType("text", "plain"), "z");
    EXPECT_EQ(bare.Headers(), MimeHeaders{});
}

TEST(MultipartBody, BoundaryIsReplacedWhenAPartContainsIt) {
    MultipartBody m;
    m.SetBoundary("fixed");
    m.AddPart(TextBody("one\r\n--fixed\r\ntwo"));
    EXPECT_NE(m.Boundary(), "fixed");
    EXPECT_TRUE(m.Boundary().starts_with("zel-"));

    // An edit in place makes it unsafe again: Encode refuses, PrepareToEncode repairs.
    m.SetBoundary("fixed");
    EXPECT_THROW((void)m.Encode(), std::logic_error);
    m.PrepareToEncode();
    auto parsed = Parse(m.ContentType().Encode(), m.Encode());
    EXPECT_EQ(dynamic_cast<MultipartBody&>(*parsed).Parts()[0]->Encode(), "one\r\n--fixed\r\ntwo");

    // The outer boundary may not be a prefix of a nested delimiter line either.
    MultipartBody inner;
    inner.SetBoundary("xy");
    inner.AddPart(TextBody("z"));
    MultipartBody outer;
    outer.SetBoundary("x");
    outer.AddPart(inner);
    EXPECT_NE(outer.Boundary(), "x");
    EXPECT_EQ(dynamic_cast<MultipartBody&>(*outer.Parts()[0]).Boundary(), "xy");
    auto nested = Parse(outer.ContentType().Encode(), outer.Encode());
    EXPECT_EQ(nested->Encode(), outer.Encode());
}

TEST(MultipartBody, ReceivedBodyWhoseBoundaryWouldBeUnsafeEncodesWithANewOne) {
    // A peer's body (found by fuzzing): with bare-LF framing and a missing close delimiter the
    // re-encoded parts contain the boundary at a line start. Encoding a received body must not fail.
    std::ifstream in(ZEL_SOURCE_DIR "/fuzz/corpus/sdp/crash-multipart-boundary-in-reencoded-part", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string data = text.str();
    const auto newline = data.find('\n');
    ASSERT_NE(newline, std::string::npos);
    auto parsed = ParseBody(std::string_view(data).substr(0, newline), std::string_view(data).substr(newline + 1));
    ASSERT_TRUE(parsed.Ok()) << parsed.Error().ToString();
    std::string encoded;
    ASSERT_NO_THROW(encoded = parsed.Value()->Encode());
    auto again = ParseBody(parsed.Value()->ContentType().Encode(), encoded);
    ASSERT_TRUE(again.Ok());
    EXPECT_EQ(again.Value()->Encode(), encoded);
}

#include "stack/message/Auth.h"
#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"
#include "stack/message/HeaderType.h"
#include "stack/message/Mime.h"
#include "stack/message/Number.h"
#include "stack/message/Text.h"
#include "stack/message/Token.h"
#include "stack/message/Via.h"
#include "stack/message/Warning.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

TEST(Via, ParsesWhiteSpaceRichForms) {
    const Via via = Via::Parse("SIP  /    2.0   / UDP  192.168.255.111   ; branch=\r\n z9hG4bK30239");
    EXPECT_EQ(via.Transport(), "UDP");
    EXPECT_EQ(via.Host(), "192.168.255.111");
    EXPECT_FALSE(via.HasPort());
    EXPECT_EQ(via.Branch(), "z9hG4bK30239");
    EXPECT_EQ(via.ToString(), "SIP/2.0/UDP 192.168.255.111;branch=z9hG4bK30239");

    const Via v6 = Via::Parse("SIP/2.0/TLS [2001:db8::9:1]:5061;rport;received=[2001:db8::9:255];ttl=16;maddr=x");
    EXPECT_EQ(v6.Host(), "2001:db8::9:1");
    EXPECT_EQ(v6.Port(), 5061);
    EXPECT_TRUE(v6.HasRport());
    EXPECT_FALSE(v6.Rport().has_value());
    EXPECT_EQ(v6.Received(), "[2001:db8::9:255]");
    EXPECT_EQ(v6.Ttl(), 16U);
    EXPECT_EQ(v6.Maddr(), "x");
    EXPECT_EQ(v6.ToString(), "SIP/2.0/TLS [2001:db8::9:1]:5061;rport;received=[2001:db8::9:255];ttl=16;maddr=x");

    const Via rport = Via::Parse("SIP/2.0/UDP h : 5070 ;rport=1234;received=2001:db8::9:255");
    EXPECT_EQ(rport.Port(), 5070);
    EXPECT_EQ(rport.Rport(), 1234);
    EXPECT_EQ(rport.Received(), "2001:db8::9:255");

    for (const char* bad : {"SIP/2.0/UDP", "SIP/2.0 host", "SIP/2.0/UDP 192.0.2.15;;", "SIP/2.0/UDP h:x",
                            "SIP/2.0/UDP [1::2::3]", "SIP/2.0/UDPhost", "SIP/2.0/UDP h;branch=\"x"}) {
        Via via2;
        EXPECT_FALSE(Via::TryParse(bad, via2).Ok()) << bad;
    }
}

TEST(HeaderValues, NumbersAndSequences) {
    EXPECT_EQ(CSeq::Parse("0009\r\n  INVITE").Sequence(), 9U);
    EXPECT_EQ(CSeq::Parse("1 INVITE").ToString(), "1 INVITE");
    CSeq cseq;
    EXPECT_FALSE(CSeq::TryParse("36893488147419103232 REGISTER", cseq).Ok());
    EXPECT_FALSE(CSeq::TryParse("2147483648 INVITE", cseq).Ok()); // must be below 2**31
    EXPECT_FALSE(CSeq::TryParse("1INVITE", cseq).Ok());
    EXPECT_FALSE(CSeq::TryParse("1 INVITE x", cseq).Ok());

    Number number;
    EXPECT_TRUE(Number::TryParse(" 0068 ", number).Ok());
    EXPECT_EQ(number.Value(), 68U);
    EXPECT_FALSE(Number::TryParse("-999", number).Ok());
    EXPECT_FALSE(Number::TryParse("1" + std::string(100, '0'), number).Ok());
    EXPECT_FALSE(Number::TryParse("", number).Ok());

    const RetryAfter retry = RetryAfter::Parse("120 (I'm in a (long) meeting) ;duration=3600");
    EXPECT_EQ(retry.Value(), 120U);
    EXPECT_EQ(retry.Comment(), "(I'm in a (long) meeting)");
    EXPECT_EQ(retry.Params().Find("duration")->value, "3600");
    EXPECT_EQ(retry.ToString(), "120 (I'm in a (long) meeting);duration=3600");
    RetryAfter badRetry;
    EXPECT_FALSE(RetryAfter::TryParse("949302838503028349304023988", badRetry).Ok());

    const SessionExpires se = SessionExpires::Parse("1800;refresher=uac");
    EXPECT_EQ(se.Value(), 1800U);
    EXPECT_EQ(se.Refresher(), "uac");
    const RAck rack = RAck::Parse("776656 1 INVITE");
    EXPECT_EQ(rack.ResponseNumber(), 776656U);
    EXPECT_EQ(rack.CSeqNumber(), 1U);
    EXPECT_EQ(rack.Method(), "INVITE");
    EXPECT_EQ(rack.ToString(), "776656 1 INVITE");
}

TEST(HeaderValues, TokensReasonsEvents) {
    const Reason q850 = Reason::Parse("Q.850 ;cause=16 ;text=\"Terminated \\\"normally\\\"\"");
    EXPECT_EQ(q850.Protocol(), "Q.850");
    EXPECT_EQ(q850.Cause(), 16U);
    ASSERT_NE(q850.Text(), nullptr);
    EXPECT_EQ(*q850.Text(), "Terminated \"normally\"");
    EXPECT_EQ(q850.ToString(), "Q.850;cause=16;text=\"Terminated \\\"normally\\\"\"");
    const Reason bare = Reason::Parse("SIP");
    EXPECT_EQ(bare.Cause(), 0U);
    EXPECT_EQ(bare.Text(), nullptr);
    EXPECT_FALSE(Reason::Parse("SIP;cause=abc").HasCause());

    const Event event = Event::Parse("presence.winfo;id=42");
    EXPECT_EQ(event.Package(), "presence.winfo");
    EXPECT_EQ(event.Id(), "42");

    EXPECT_TRUE(Token::Parse("100rel").Matches("100REL"));
    EXPECT_EQ(Token::Parse("425928@bobster.example.org;to-tag=7743;from-tag=6472").Value(),
              "425928@bobster.example.org");
    Token token;
    EXPECT_FALSE(Token::TryParse("", token).Ok());
    EXPECT_FALSE(Token::TryParse("a b", token).Ok());
    EXPECT_FALSE(Token::TryParse("\"quoted\"", token).Ok());
}

TEST(HeaderValues, CallIdWarningMimeText) {
    EXPECT_EQ(CallId::Parse("intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{").Value(),
              "intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{");
    CallId callId;
    EXPECT_FALSE(CallId::TryParse("a@", callId).Ok());
    EXPECT_FALSE(CallId::TryParse("a@b@c", callId).Ok());
    EXPECT_FALSE(CallId::TryParse("a b", callId).Ok());

    const Warning warning = Warning::Parse("399 [2001:db8::1]:5060 \"Incompatible \\\"media\\\"\"");
    EXPECT_EQ(warning.Code(), 399);
    EXPECT_EQ(warning.Agent(), "[2001:db8::1]:5060");
    EXPECT_EQ(warning.Text(), "Incompatible \"media\"");
    EXPECT_EQ(Warning(399, "", "x").ToString(), "399 - \"x\"");
    Warning badWarning;
    EXPECT_FALSE(Warning::TryParse("1812 overture \"In Progress\"", badWarning).Ok());
    EXPECT_FALSE(Warning::TryParse("399 host unquoted", badWarning).Ok());

    const Mime mime = Mime::Parse("multipart/mixed ; boundary=\"unique-boundary-1\";charset=UTF-8");
    EXPECT_TRUE(mime.Matches("MULTIPART", "Mixed"));
    EXPECT_EQ(mime.Params().Find("boundary")->value, "unique-boundary-1");
    std::string encoded;
    mime.Encode(encoded);
    EXPECT_EQ(encoded, "multipart/mixed;boundary=\"unique-boundary-1\";charset=UTF-8");
    EXPECT_EQ(mime.ToString(), "multipart/mixed");
    EXPECT_TRUE(Mime::Parse("*/*").Matches("*", "*"));
    Mime badMime;
    EXPECT_FALSE(Mime::TryParse("application", badMime).Ok());
    EXPECT_FALSE(Mime::TryParse("application/", badMime).Ok());

    EXPECT_EQ(Text::Parse("  newfangled value\r\n continued newfangled value ").Value(),
              "newfangled value continued newfangled value");
    EXPECT_EQ(Text::Parse("").Value(), "");
}

TEST(Auth, ChallengesAndCredentials) {
    const Auth challenge = Auth::Parse(
        "Digest realm=\"atlanta.example.com\", qop=\"auth,auth-int\",\r\n nonce=\"84a4cc6f3082121f32b42a2187831a9e\", "
        "algorithm=SHA-256, stale=FALSE");
    EXPECT_EQ(challenge.Scheme(), "Digest");
    EXPECT_EQ(challenge.Param("realm"), "atlanta.example.com");
    EXPECT_EQ(challenge.Param("QOP"), "auth,auth-int");
    EXPECT_EQ(challenge.Param("algorithm"), "SHA-256");
    EXPECT_EQ(challenge.ToString(),
              "Digest realm=\"atlanta.example.com\", qop=\"auth,auth-int\", "
              "nonce=\"84a4cc6f3082121f32b42a2187831a9e\", algorithm=SHA-256, stale=FALSE");

    Auth credentials("Digest");
    credentials.Params().Set("username", "bob", true);
    credentials.Params().Set("qop", "auth");
    credentials.Params().Set("nc", "00000001");
    EXPECT_EQ(credentials.ToString(), "Digest username=\"bob\", qop=auth, nc=00000001");

    const Auth info = Auth::Parse("nextnonce=\"47364c23432d2e131a5fb210812c\", qop=auth");
    EXPECT_EQ(info.Scheme(), "");
    EXPECT_EQ(info.Param("nextnonce"), "47364c23432d2e131a5fb210812c");

    const Auth other = Auth::Parse("NoOneKnowsThisScheme opaque-data=here");
    EXPECT_EQ(other.Param("opaque-data"), "here");
    EXPECT_EQ(Auth::Parse("Basic QWxhZGRpbjpvcGVu==").Opaque(), "QWxhZGRpbjpvcGVu==");

    Auth bad;
    EXPECT_FALSE(Auth::TryParse("Digest realm=\"x\",", bad).Ok());
    EXPECT_FALSE(Auth::TryParse("Digest realm=\"x", bad).Ok());
    EXPECT_FALSE(Auth::TryParse("", bad).Ok());
}

TEST(HeaderTable, LooksUpNamesAndCompactForms) {
    struct Case {
        const char* name;
        HeaderType type;
    };
    const Case cases[] = {
        {"Via", HeaderType::Via},           {"v", HeaderType::Via},
        {"V", HeaderType::Via},             {"call-id", HeaderType::CallId},
        {"i", HeaderType::CallId},          {"m", HeaderType::Contact},
        {"l", HeaderType::ContentLength},   {"c", HeaderType::ContentType},
        {"e", HeaderType::ContentEncoding}, {"f", HeaderType::From},
        {"t", HeaderType::To},              {"s", HeaderType::Subject},
        {"k", HeaderType::Supported},       {"o", HeaderType::Event},
        {"u", HeaderType::AllowEvents},     {"r", HeaderType::ReferTo},
        {"b", HeaderType::ReferredBy},      {"x", HeaderType::SessionExpires},
        {"a", HeaderType::AcceptContact},   {"j", HeaderType::RejectContact},
        {"d", HeaderType::RequestDisposition}, {"y", HeaderType::Identity},
        {"n", HeaderType::IdentityInfo},    {"WWW-AUTHENTICATE", HeaderType::WwwAuthenticate},
        {"p-asserted-identity", HeaderType::PAssertedIdentity}, {"min-se", HeaderType::MinSE},
        {"RAck", HeaderType::RAck},         {"X-Custom", HeaderType::Extension},
        {"C%6Fntact", HeaderType::Extension}, {"q", HeaderType::Extension},
        {"", HeaderType::Extension},        {"Via ", HeaderType::Extension},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LookupHeader(c.name), c.type) << '"' << c.name << '"';
    }
    for (std::size_t i = 0; i < kHeaderTypeCount; ++i) {
        const HeaderInfo& info = GetHeaderInfo(static_cast<HeaderType>(i));
        EXPECT_EQ(info.type, static_cast<HeaderType>(i));
        EXPECT_EQ(LookupHeader(info.name), info.type) << info.name;
    }
    EXPECT_EQ(GetHeaderInfo(HeaderType::Contact).multiplicity, Multiplicity::List);
    EXPECT_EQ(GetHeaderInfo(HeaderType::WwwAuthenticate).multiplicity, Multiplicity::Lines);
    EXPECT_EQ(GetHeaderInfo(HeaderType::CSeq).multiplicity, Multiplicity::Single);
    EXPECT_THROW(GetHeaderInfo(HeaderType::Extension), std::out_of_range);
}

} // namespace
} // namespace zel::sip::stack

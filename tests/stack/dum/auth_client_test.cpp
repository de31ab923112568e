#include "stack/dum/auth/ClientAuth.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TestMessages.h"

namespace zel::sip::stack {
namespace {

using test::WithCrlf;

SipMessage Capture(const std::string& name) {
    std::ifstream in(std::string(ZEL_TEST_DATA_DIR) + "/messages/auth/" + name, std::ios::binary);
    return SipMessage::Parse(std::string(std::istreambuf_iterator<char>(in), {}));
}

SipMessage Request(std::string_view method, std::string_view uri) {
    const std::string m(method);
    return SipMessage::Parse(WithCrlf("" + m + " " + std::string(uri) + " SIP/2.0\n" +
                                  "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK776asdhds\n"
                                  "Max-Forwards: 70\n"
                                  "To: <sip:bob@biloxi.example.com>\n"
                                  "From: <sip:alice@atlanta.example.com>;tag=1928301774\n"
                                  "Call-ID: a84b4c76e66710\n"
                                  "CSeq: 1 " + m + "\n"
                                  "Content-Length: 0\n\n"));
}

// A 401 or 407 with the given challenge header lines (full lines, without CRLF).
SipMessage Challenge(int status, const std::vector<std::string>& lines) {
    std::string text = "SIP/2.0 " + std::to_string(status) + (status == 401 ? " Unauthorized\n" : " Proxy Authentication Required\n");
    text += "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK776asdhds\n"
            "To: <sip:bob@biloxi.example.com>;tag=srv\n"
            "From: <sip:alice@atlanta.example.com>;tag=1928301774\n"
            "Call-ID: a84b4c76e66710\n"
            "CSeq: 1 INVITE\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    text += "Content-Length: 0\n\n";
    return SipMessage::Parse(WithCrlf(text));
}

std::string Www(std::string_view params) { return "WWW-Authenticate: Digest " + std::string(params); }
std::string Proxy(std::string_view params) { return "Proxy-Authenticate: Digest " + std::string(params); }

struct ClientAuthTest : ::testing::Test {
    int cnonces = 0;
    ClientAuth auth{[this] { return "cn" + std::to_string(++cnonces); }};
    std::vector<DigestCredential> alice{{"atlanta.example.com", "alice", "secret"}};

    // Authorizes a fresh request and returns its credentials header values.
    std::vector<Auth> Sent(std::string_view method = "INVITE", HeaderType header = HeaderType::Authorization) {
        last = Request(method, "sip:bob@biloxi.example.com");
        auth.Authorize(last);
        return Values(last, header);
    }
    static std::vector<Auth> Values(const SipMessage& m, HeaderType header) {
        std::vector<Auth> out;
        for (std::size_t i = 0; i < m.Count(header); ++i) {
            out.push_back(m.Get<Auth>(header, i));
        }
        return out;
    }
    SipMessage last;
};

// A registrar's challenge as kamailio words it, read from text: the answer carries exactly what
// RFC 7616 section 3.4 asks, with the Request-URI as sent and a response worked out independently.
TEST_F(ClientAuthTest, AnswersCapturedRegistrarChallenge) {
    ClientAuth registration([] { return std::string("c0ffee01"); });
    const SipMessage challenge = Capture("kamailio_register_401.sip");
    const SipMessage sent = Request("REGISTER", "sip:sip.example.net");
    ASSERT_TRUE(registration.HandleChallenge(sent, challenge, {{"sip.example.net", "1001", "pa55w0rd"}}));
    EXPECT_EQ(registration.GetState(), ClientAuth::State::Answering);

    SipMessage retry = sent;
    registration.Authorize(retry);
    ASSERT_EQ(retry.Count(HeaderType::Authorization), 1u);
    EXPECT_FALSE(retry.Has(HeaderType::ProxyAuthorization));
    EXPECT_EQ(retry.ValueText(HeaderType::Authorization),
              R"(Digest username="1001", realm="sip.example.net", nonce="ZmA5S2ZgNz6s0X7qC2r1hVnX1g3pYHkR", )"
              R"(uri="sip:sip.example.net", response="bbdced1fb783903ed667fcd5ee8675e2", cnonce="c0ffee01", )"
              R"(qop=auth, nc=00000001)");
    // What we write, our own parser (and so a registrar) reads back.
    const SipMessage reparsed = SipMessage::Parse(retry.Encode());
    EXPECT_EQ(reparsed.Get<Auth>(HeaderType::Authorization).Param("response"), "bbdced1fb783903ed667fcd5ee8675e2");
}

// Asterisk offers SHA-256 and md5 for one realm; the stronger is answered, once, with opaque and
// the algorithm echoed. The single credential answers although its realm is not "asterisk".
TEST_F(ClientAuthTest, AnswersCapturedPbxChallengeWithStrongestAlgorithmAndFallbackCredential) {
    ClientAuth call([] { return std::string("c0ffee01"); });
    const SipMessage sent = Request("INVITE", "sip:300@pbx.example.org");
    ASSERT_TRUE(call.HandleChallenge(sent, Capture("asterisk_invite_401.sip"), {{"pbx.example.org", "201", "desk-secret"}}));
    SipMessage retry = sent;
    call.Authorize(retry);
    const std::vector<Auth> values = Values(retry, HeaderType::Authorization);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Param("realm"), "asterisk");
    EXPECT_EQ(values[0].Param("algorithm"), "SHA-256");
    EXPECT_EQ(values[0].Param("opaque"), "3f2a1b0c9d8e7f60");
    EXPECT_EQ(values[0].Param("response"), "3245f2a43e3f93f154876159bfc7ad680c1bd242fafe0116a7d900b3b1400645");
}

TEST_F(ClientAuthTest, PicksStrongestAlgorithmWhateverTheOrderAndEchoesAlgorithmAsGiven) {
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    ASSERT_TRUE(auth.HandleChallenge(
        sent,
        Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="m", algorithm=MD5, qop="auth")"),
                        Www(R"(realm="atlanta.example.com", nonce="s", algorithm=SHA-256-sess, qop="auth")"),
                        Www(R"(realm="atlanta.example.com", nonce="x", algorithm=SHA-512-256, qop="auth")")}),
        alice));
    std::vector<Auth> v = Sent();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].Param("algorithm"), "SHA-256-sess");
    EXPECT_EQ(v[0].Param("nonce"), "s");
    EXPECT_EQ(v[0].Param("response").size(), 64u);

    ClientAuth plain;
    ASSERT_TRUE(plain.HandleChallenge(sent, Challenge(401, {Www(R"(realm="r", nonce="n", algorithm=md5)")}), alice));
    SipMessage retry = sent;
    plain.Authorize(retry);
    EXPECT_EQ(retry.Get<Auth>(HeaderType::Authorization).Param("algorithm"), "md5");

    ClientAuth absent;
    ASSERT_TRUE(absent.HandleChallenge(sent, Challenge(401, {Www(R"(realm="r", nonce="n")")}), alice));
    retry = sent;
    absent.Authorize(retry);
    const Auth& rfc2069 = retry.Get<Auth>(HeaderType::Authorization);
    EXPECT_FALSE(rfc2069.Params().Has("algorithm"));
    EXPECT_FALSE(rfc2069.Params().Has("qop"));
    EXPECT_FALSE(rfc2069.Params().Has("nc"));
    EXPECT_FALSE(rfc2069.Params().Has("cnonce"));
    EXPECT_FALSE(rfc2069.Params().Has("opaque"));
    EXPECT_EQ(rfc2069.Param("response").size(), 32u);
}

// RFC 7616 section 3.4: the nonce is re-used with nc counting every request; a new nonce starts
// again at 00000001 with a new cnonce.
TEST_F(ClientAuthTest, NonceCountProgressesPerRequestAndResetsWithNewNonce) {
    EXPECT_TRUE(Sent().empty()); // nothing held yet
    EXPECT_EQ(auth.GetState(), ClientAuth::State::Unchallenged);

    const SipMessage first = Request("INVITE", "sip:bob@biloxi.example.com");
    ASSERT_TRUE(auth.HandleChallenge(first, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n1", qop="auth")")}),
                                     alice));
    std::vector<std::string> responses;
    for (const char* nc : {"00000001", "00000002", "00000003"}) {
        const std::vector<Auth> v = Sent(nc[7] == '2' ? "BYE" : "INFO");
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0].Param("nc"), nc);
        EXPECT_EQ(v[0].Param("nonce"), "n1");
        EXPECT_EQ(v[0].Param("cnonce"), "cn1");
        responses.emplace_back(v[0].Param("response"));
    }
    EXPECT_NE(responses[0], responses[2]); // nc takes part in the hash

    // The in-dialog request carrying nc=3 is met with a new nonce (stale): the count starts over.
    ASSERT_TRUE(auth.HandleChallenge(
        last, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n2", qop="auth", stale=true)")}), alice));
    const std::vector<Auth> v = Sent();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].Param("nonce"), "n2");
    EXPECT_EQ(v[0].Param("nc"), "00000001");
    EXPECT_EQ(v[0].Param("cnonce"), "cn2");
}

// RFC 3261 section 22.2: refused credentials are not retried; stale=true is retried, but a peer
// calling every fresh nonce stale cannot keep us looping.
TEST_F(ClientAuthTest, RepeatedChallengeEndsTheRequestButStaleIsRetriedOnce) {
    const std::string challenge = R"(realm="atlanta.example.com", nonce="n1", qop="auth")";
    const SipMessage first = Request("REGISTER", "sip:atlanta.example.com");
    ASSERT_TRUE(auth.HandleChallenge(first, Challenge(401, {Www(challenge)}), alice));
    SipMessage second = Request("REGISTER", "sip:atlanta.example.com");
    auth.Authorize(second);

    // Same realm, new nonce, no stale: the password was wrong.
    EXPECT_FALSE(auth.HandleChallenge(
        second, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n2", qop="auth")")}), alice));
    EXPECT_EQ(auth.GetState(), ClientAuth::State::Failed);

    // stale=true: the same credentials with the new nonce.
    ASSERT_TRUE(auth.HandleChallenge(
        second, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n3", qop="auth", stale=true)")}), alice));
    SipMessage third = Request("REGISTER", "sip:atlanta.example.com");
    auth.Authorize(third);
    EXPECT_EQ(third.Get<Auth>(HeaderType::Authorization).Param("nonce"), "n3");
    EXPECT_EQ(third.Get<Auth>(HeaderType::Authorization).Param("username"), "alice");

    // The nonce just handed over as stale is called stale again on its first use: give up.
    EXPECT_FALSE(auth.HandleChallenge(
        third, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n4", qop="auth", stale=true)")}), alice));

    // A stale-issued nonce that served several requests may expire in its turn.
    ClientAuth longLived([] { return std::string("c"); });
    ASSERT_TRUE(longLived.HandleChallenge(first, Challenge(401, {Www(R"(realm="r", nonce="s1", qop="auth", stale=true)")}),
                                          alice));
    SipMessage r = first;
    longLived.Authorize(r);
    r = first;
    longLived.Authorize(r); // nc=2 with s1
    EXPECT_TRUE(longLived.HandleChallenge(r, Challenge(401, {Www(R"(realm="r", nonce="s2", qop="auth", stale=true)")}),
                                          alice));
}

// One header per challenged realm, each with its own credential; 407 is answered with
// Proxy-Authorization, 401 with Authorization, and realms are compared with case.
TEST_F(ClientAuthTest, AnswersEveryRealmWithItsCredentialUnderTheRightHeader) {
    const std::vector<DigestCredential> both{{"proxy.example.com", "alice-p", "pp"}, {"atlanta.example.com", "alice", "secret"}};
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    ASSERT_TRUE(auth.HandleChallenge(sent,
                                     Challenge(407, {Proxy(R"(realm="proxy.example.com", nonce="p1", qop="auth")"),
                                                     Proxy(R"(realm="atlanta.example.com", nonce="a1", qop="auth")"),
                                                     Proxy(R"(realm="Proxy.Example.com", nonce="x1", qop="auth")")}),
                                     both));
    EXPECT_EQ(auth.AnswerCount(), 2u); // the differently cased realm has no credential
    const std::vector<Auth> v = Sent("INVITE", HeaderType::ProxyAuthorization);
    EXPECT_FALSE(last.Has(HeaderType::Authorization));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].Param("realm"), "proxy.example.com");
    EXPECT_EQ(v[0].Param("username"), "alice-p");
    EXPECT_EQ(v[1].Param("realm"), "atlanta.example.com");
    EXPECT_EQ(v[1].Param("username"), "alice");

    // A later 401 from the far end adds an Authorization beside the proxy answers.
    ASSERT_TRUE(auth.HandleChallenge(
        Request("INVITE", "sip:bob@biloxi.example.com"),
        Challenge(401, {Www(R"(realm="biloxi.example.com", nonce="b1", qop="auth")")}),
        {{"biloxi.example.com", "a-at-b", "x"}}));
    Sent();
    EXPECT_EQ(last.Count(HeaderType::ProxyAuthorization), 2u);
    ASSERT_EQ(last.Count(HeaderType::Authorization), 1u);
    EXPECT_EQ(last.Get<Auth>(HeaderType::Authorization).Param("username"), "a-at-b");
}

TEST_F(ClientAuthTest, FallsBackToTheOnlyCredentialButNotToOneOfSeveral) {
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    const SipMessage challenge = Challenge(401, {Www(R"(realm="pbx", nonce="n", qop="auth")")});
    ASSERT_TRUE(auth.HandleChallenge(sent, challenge, alice));
    EXPECT_EQ(Sent()[0].Param("username"), "alice");
    EXPECT_EQ(Sent()[0].Param("realm"), "pbx"); // the challenged realm, not the credential's

    ClientAuth other;
    EXPECT_FALSE(other.HandleChallenge(sent, challenge,
                                       {{"atlanta.example.com", "alice", "s"}, {"biloxi.example.com", "bob", "t"}}));
    EXPECT_FALSE(other.HandleChallenge(sent, challenge, {}));
    EXPECT_EQ(other.GetState(), ClientAuth::State::Failed);
}

// auth-int is answered only where auth is not offered, and then covers the body of each request.
TEST_F(ClientAuthTest, UsesAuthIntOnlyWhenItIsTheOnlyQop) {
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    ASSERT_TRUE(auth.HandleChallenge(
        sent, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n", qop="auth,auth-int")")}), alice));
    EXPECT_EQ(Sent()[0].Param("qop"), "auth");

    ClientAuth integrity([] { return std::string("c"); });
    ASSERT_TRUE(integrity.HandleChallenge(
        sent, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n", qop="auth-int")")}), alice));
    SipMessage withBody = Request("MESSAGE", "sip:bob@biloxi.example.com");
    withBody.SetBody("hello", Mime("text", "plain"));
    integrity.Authorize(withBody);
    const Auth& a = withBody.Get<Auth>(HeaderType::Authorization);
    EXPECT_EQ(a.Param("qop"), "auth-int");
    DigestInput in{DigestAlgorithm::Md5, DigestQop::AuthInt, "alice", "atlanta.example.com", "secret", "n", "c", 1,
                   "MESSAGE", "sip:bob@biloxi.example.com", "hello"};
    EXPECT_EQ(a.Param("response"), ComputeDigestResponse(in));
}

TEST_F(ClientAuthTest, NothingAnswerableFailsWithoutThrowing) {
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    for (const std::vector<std::string>& lines : std::vector<std::vector<std::string>>{
             {},
             {"WWW-Authenticate: Basic realm=\"atlanta.example.com\""},
             {Www(R"(realm="atlanta.example.com", nonce="n", algorithm=AKAv1-MD5)")},
             {Www(R"(realm="atlanta.example.com", nonce="n", qop="auth-conf")")},
             {"WWW-Authenticate: Digest realm=\"unterminated, nonce=n"},
             {"WWW-Authenticate: Digest ,,,"},
         }) {
        ClientAuth fresh;
        EXPECT_FALSE(fresh.HandleChallenge(sent, Challenge(401, lines), alice));
        SipMessage next = sent;
        fresh.Authorize(next);
        EXPECT_FALSE(next.Has(HeaderType::Authorization));
    }
    // A malformed value beside a good one does not spoil the good one; a 403 is not a challenge.
    ClientAuth mixed;
    EXPECT_TRUE(mixed.HandleChallenge(
        sent, Challenge(401, {"WWW-Authenticate: Digest realm=\"x", Www(R"(realm="r", nonce="n")")}), alice));
    EXPECT_FALSE(mixed.HandleChallenge(sent, Challenge(403, {Www(R"(realm="r", nonce="n")")}), alice));
}

// The message layer writes quoted-pairs for '"' and '\', and the hash covers the raw name.
TEST_F(ClientAuthTest, QuotesAndBackslashesInNamesSurviveTheWire) {
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    ASSERT_TRUE(auth.HandleChallenge(sent, Challenge(401, {Www(R"(realm="the \"x\" realm", nonce="n")")}),
                                     {{"the \"x\" realm", R"(dom\al"ice)", "pw"}}));
    Sent();
    const std::string wire = last.Encode();
    EXPECT_NE(wire.find(R"(username="dom\\al\"ice", realm="the \"x\" realm")"), std::string::npos) << wire;
    const SipMessage received = SipMessage::Parse(wire);
    const Auth& back = received.Get<Auth>(HeaderType::Authorization);
    EXPECT_EQ(back.Param("username"), R"(dom\al"ice)");
    DigestInput in{DigestAlgorithm::Md5, DigestQop::None, R"(dom\al"ice)", "the \"x\" realm", "pw", "n", "", 1,
                   "INVITE", "sip:bob@biloxi.example.com", ""};
    EXPECT_EQ(back.Param("response"), ComputeDigestResponse(in));
}

// A retry built as a copy of the refused request replaces our old answer and keeps foreign ones;
// ACK and CANCEL are never touched.
TEST_F(ClientAuthTest, RetryReplacesOwnAnswerAndLeavesAckAndCancelAlone) {
    SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    sent.Add(HeaderType::Authorization, R"(Digest username="other", realm="elsewhere", nonce="z", uri="x", response="0")");
    ASSERT_TRUE(auth.HandleChallenge(sent, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n1")")}), alice));
    SipMessage retry = sent;
    auth.Authorize(retry);
    ASSERT_TRUE(auth.HandleChallenge(
        retry, Challenge(401, {Www(R"(realm="atlanta.example.com", nonce="n2", stale=true)")}), alice));
    SipMessage again = retry;
    auth.Authorize(again);
    const std::vector<Auth> v = Values(again, HeaderType::Authorization);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].Param("realm"), "elsewhere");
    EXPECT_EQ(v[1].Param("nonce"), "n2");

    for (const char* method : {"ACK", "CANCEL"}) {
        EXPECT_TRUE(Sent(method).empty()) << method;
    }
    SipMessage response = Challenge(401, {});
    EXPECT_THROW(auth.Authorize(response), std::invalid_argument);
}

TEST_F(ClientAuthTest, KeepsAtMostEightRealms) {
    std::vector<std::string> lines;
    for (int i = 0; i < 12; ++i) {
        lines.push_back(Proxy("realm=\"r" + std::to_string(i) + "\", nonce=\"n\""));
    }
    const SipMessage sent = Request("INVITE", "sip:bob@biloxi.example.com");
    ASSERT_TRUE(auth.HandleChallenge(sent, Challenge(407, lines), alice));
    EXPECT_EQ(auth.AnswerCount(), ClientAuth::kMaxAnswers);
    ASSERT_TRUE(auth.HandleChallenge(sent, Challenge(401, {Www(R"(realm="late", nonce="n")")}), alice));
    EXPECT_EQ(auth.AnswerCount(), ClientAuth::kMaxAnswers); // the oldest made room
    EXPECT_EQ(Sent().at(0).Param("realm"), "late");
    EXPECT_EQ(last.Count(HeaderType::ProxyAuthorization), ClientAuth::kMaxAnswers - 1);
    auth.Clear();
    EXPECT_EQ(auth.AnswerCount(), 0u);
    EXPECT_EQ(auth.GetState(), ClientAuth::State::Unchallenged);
}

} // namespace
} // namespace zel::sip::stack

#include "stack/dum/UasChecks.h"

#include <gtest/gtest.h>

#include <string>

namespace zel::sip::stack::test {
namespace {

using namespace std::chrono_literals;

// An INVITE as a softphone sends it, with SDP.
constexpr std::string_view kInvite =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP pc33.atlanta.example.com:5060;branch=z9hG4bK776asdhds\r\n"
    "Via: SIP/2.0/UDP proxy.atlanta.example.com;branch=z9hG4bKnashds8;received=192.0.2.1\r\n"
    "Max-Forwards: 70\r\n"
    "To: Bob <sip:bob@biloxi.example.com>\r\n"
    "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@pc33.atlanta.example.com>\r\n"
    "Content-Type: application/sdp\r\n"
    "\r\n"
    "v=0\r\n"
    "o=alice 2890844526 2890844526 IN IP4 pc33.atlanta.example.com\r\n"
    "s=-\r\n"
    "c=IN IP4 192.0.2.101\r\n"
    "t=0 0\r\n"
    "m=audio 49172 RTP/AVP 0\r\n";

constexpr std::string_view kOptions =
    "OPTIONS sip:carol@chicago.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/TCP pc33.atlanta.example.com;branch=z9hG4bKhjhs8ass877\r\n"
    "Max-Forwards: 70\r\n"
    "To: <sip:carol@chicago.example.com>\r\n"
    "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710\r\n"
    "CSeq: 63104 OPTIONS\r\n"
    "Accept: application/sdp\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

SipMessage Msg(std::string_view text) { return SipMessage::Parse(std::string(text)); }

// The INVITE with its start line and CSeq turned into another method.
SipMessage WithMethod(std::string_view method) {
    SipMessage request = Msg(kInvite);
    request.SetMethod(method);
    request.Edit<CSeq>(HeaderType::CSeq)->SetMethod(method);
    request.ClearBody();
    return request;
}

std::string AllValues(const SipMessage& message, HeaderType type) {
    std::string out;
    for (std::size_t i = 0; i < message.Count(type); ++i) {
        out += (i == 0 ? "" : ",") + message.ValueText(type, i);
    }
    return out;
}

// What every response of RFC 3261 section 8.2.6.2 copies, and the To tag added once.
void ExpectCopiedFrom(const SipMessage& response, const SipMessage& request, bool toTagAdded) {
    EXPECT_EQ(AllValues(response, HeaderType::Via), AllValues(request, HeaderType::Via));
    EXPECT_EQ(response.ValueText(HeaderType::From), request.ValueText(HeaderType::From));
    EXPECT_EQ(response.ValueText(HeaderType::CallId), request.ValueText(HeaderType::CallId));
    EXPECT_EQ(response.ValueText(HeaderType::CSeq), request.ValueText(HeaderType::CSeq));
    auto tagOf = [](const SipMessage& message) {
        const Parameter* tag = message.Get<NameAddr>(HeaderType::To).Params().Find("tag");
        return tag != nullptr ? tag->value : std::string();
    };
    EXPECT_EQ(tagOf(response), toTagAdded ? "ourtag" : tagOf(request));
    EXPECT_TRUE(response.Body().empty());
    // What we send must parse again.
    EXPECT_NO_THROW(SipMessage::Parse(response.Encode()));
}

TEST(UasChecks, UnsupportedMethodAndSchemeGet405WithAllowAnd416) {
    const ProfileSettings profile;
    const SipMessage subscribe = WithMethod("SUBSCRIBE");
    UasCheckResult result = CheckMethod(subscribe, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.check, UasCheck::Method);
    EXPECT_EQ(result.response->StatusCode(), 405);
    EXPECT_EQ(AllValues(*result.response, HeaderType::Allow), "INVITE,ACK,CANCEL,BYE,OPTIONS,PRACK,UPDATE");
    ExpectCopiedFrom(*result.response, subscribe, true);
    EXPECT_TRUE(CheckMethod(Msg(kInvite), profile, "ourtag").Proceed());

    SipMessage tel = Msg(kInvite);
    tel.SetRequestUri(Uri::Parse("tel:+1-201-555-0123"));
    result = CheckRequestUriScheme(tel, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.response->StatusCode(), 416);
    ExpectCopiedFrom(*result.response, tel, true);
    ProfileSettings withTel;
    withTel.uriSchemes.push_back("tel");
    EXPECT_TRUE(CheckRequestUriScheme(tel, withTel, "ourtag").Proceed());
}

TEST(UasChecks, RequireListsEveryUnsupportedTagIn420) {
    ProfileSettings profile;
    profile.optionTags = {"timer"};
    SipMessage invite = Msg(kInvite);
    invite.Add(HeaderType::Require, "timer, 100rel");
    invite.Add(HeaderType::Require, "foo");
    UasCheckResult result = CheckRequire(invite, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.response->StatusCode(), 420);
    EXPECT_EQ(AllValues(*result.response, HeaderType::Unsupported), "100rel,foo");
    ExpectCopiedFrom(*result.response, invite, true);

    // 100rel is supported once the UAS mode is not Never; "foo" still is not.
    profile.uasReliableProvisionalMode = ReliableProvisionalMode::Supported;
    result = CheckRequire(invite, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(AllValues(*result.response, HeaderType::Unsupported), "foo");
    profile.optionTags.push_back("FOO");
    EXPECT_TRUE(CheckRequire(invite, profile, "ourtag").Proceed());

    // A value that is no option tag cannot be listed in Unsupported: the request is malformed.
    SipMessage garbled = Msg(kInvite);
    garbled.Add(HeaderType::Require, "foo bar");
    result = CheckRequire(garbled, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.response->StatusCode(), 400);

    // Require does not apply to CANCEL or ACK (RFC 3261 section 8.2.2.3).
    SipMessage cancel = WithMethod("CANCEL");
    cancel.Add(HeaderType::Require, "bar");
    EXPECT_TRUE(CheckRequire(cancel, profile, "ourtag").Proceed());
}

TEST(UasChecks, BodiesWeCannotReadGet415WithAcceptAndAcceptEncoding) {
    const ProfileSettings profile;
    EXPECT_TRUE(CheckBody(Msg(kInvite), profile, "ourtag").Proceed());

    SipMessage text = Msg(kInvite);
    text.Set(HeaderType::ContentType, "text/plain");
    UasCheckResult result = CheckBody(text, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.response->StatusCode(), 415);
    EXPECT_EQ(AllValues(*result.response, HeaderType::Accept), "application/sdp");
    EXPECT_EQ(result.response->ValueText(HeaderType::AcceptEncoding), "identity");
    ExpectCopiedFrom(*result.response, text, true);

    // A content coding we do not decode, even on a supported type.
    SipMessage gzip = Msg(kInvite);
    gzip.Add(HeaderType::ContentEncoding, "gzip");
    EXPECT_EQ(CheckBody(gzip, profile, "ourtag").response->StatusCode(), 415);
    SipMessage identity = Msg(kInvite);
    identity.Add(HeaderType::ContentEncoding, "Identity");
    EXPECT_TRUE(CheckBody(identity, profile, "ourtag").Proceed());

    // A body without Content-Type cannot be read either.
    SipMessage untyped = Msg(kInvite);
    untyped.Remove(HeaderType::ContentType);
    EXPECT_EQ(CheckBody(untyped, profile, "ourtag").response->StatusCode(), 415);

    // An optional body we cannot read is ignored (RFC 3261 section 20.11).
    SipMessage optional = text;
    optional.Set(HeaderType::ContentDisposition, "render;handling=optional");
    EXPECT_TRUE(CheckBody(optional, profile, "ourtag").Proceed());

    // A method that takes no body says so with an empty Accept.
    SipMessage bye = WithMethod("BYE");
    bye.SetBody("hello", Mime("text", "plain"));
    result = CheckBody(bye, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_TRUE(result.response->Has(HeaderType::Accept));
    EXPECT_EQ(AllValues(*result.response, HeaderType::Accept), "");
    EXPECT_NO_THROW(SipMessage::Parse(result.response->Encode()));
}

TEST(UasChecks, OptionsIsAnswered200WithOurCapabilities) {
    ProfileSettings profile;
    profile.optionTags = {"timer", "replaces"};
    profile.uasReliableProvisionalMode = ReliableProvisionalMode::SupportedEssential;
    const SipMessage options = Msg(kOptions);
    UasCheckResult result = AnswerOptions(options, profile, "ourtag");
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.check, UasCheck::Options);
    EXPECT_EQ(result.response->StatusCode(), 200);
    EXPECT_EQ(AllValues(*result.response, HeaderType::Allow), "INVITE,ACK,CANCEL,BYE,OPTIONS,PRACK,UPDATE");
    EXPECT_EQ(AllValues(*result.response, HeaderType::Accept), "application/sdp");
    EXPECT_EQ(result.response->ValueText(HeaderType::AcceptEncoding), "identity");
    EXPECT_EQ(AllValues(*result.response, HeaderType::Supported), "timer,replaces,100rel");
    EXPECT_FALSE(result.response->Has(HeaderType::ContentType));
    ExpectCopiedFrom(*result.response, options, true);
    EXPECT_TRUE(AnswerOptions(Msg(kInvite), profile, "ourtag").Proceed());

    // Without option tags there is no Supported line.
    EXPECT_FALSE(AnswerOptions(options, ProfileSettings{}, "ourtag").response->Has(HeaderType::Supported));
}

TEST(UasChecks, ScreeningRunsTheChecksInOrder) {
    const ProfileSettings profile;
    MergedRequests merged;
    const auto now = MergedRequests::TimePoint{} + 1h;
    auto screen = [&](const SipMessage& request) { return ScreenRequestOutsideDialog(request, profile, merged, now, "ourtag"); };

    // Unsupported method and scheme together: the method is looked at first.
    SipMessage both = WithMethod("SUBSCRIBE");
    both.SetRequestUri(Uri::Parse("tel:+12015550123"));
    EXPECT_EQ(screen(both).check, UasCheck::Method);
    EXPECT_EQ(screen(both).response->StatusCode(), 405);

    // A To tag that no dialog took: 481, before Require is looked at; the tag is not replaced.
    SipMessage stray = WithMethod("BYE");
    stray.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", "314");
    stray.Add(HeaderType::Require, "foo");
    UasCheckResult result = screen(stray);
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.check, UasCheck::DialogMatch);
    EXPECT_EQ(result.response->StatusCode(), 481);
    ExpectCopiedFrom(*result.response, stray, false);

    // Require before the body.
    SipMessage requireAndBody = Msg(kInvite);
    requireAndBody.Add(HeaderType::Require, "foo");
    requireAndBody.Set(HeaderType::ContentType, "text/plain");
    EXPECT_EQ(screen(requireAndBody).response->StatusCode(), 420);

    // An ACK is never answered; a CANCEL was answered by the transaction layer already.
    EXPECT_TRUE(screen(WithMethod("ACK")).drop);
    EXPECT_TRUE(screen(WithMethod("CANCEL")).Proceed());

    // A good INVITE proceeds; OPTIONS is answered.
    EXPECT_TRUE(screen(Msg(kInvite)).Proceed());
    EXPECT_EQ(screen(Msg(kOptions)).response->StatusCode(), 200);

    // A refused request that cannot be answered is dropped, never raised on.
    SipMessage noVia = WithMethod("SUBSCRIBE");
    noVia.Remove(HeaderType::Via);
    result = screen(noVia);
    EXPECT_TRUE(result.drop);
    EXPECT_FALSE(result.response.has_value());
}

TEST(UasChecks, MergedCopiesGet482AndRetransmissionsDoNot) {
    const ProfileSettings profile;
    MergedRequests merged(3);
    const auto start = MergedRequests::TimePoint{} + 1h;
    auto screen = [&](const SipMessage& request, MergedRequests::TimePoint when) {
        return ScreenRequestOutsideDialog(request, profile, merged, when, "ourtag");
    };
    auto withBranch = [](std::string_view branch) {
        SipMessage request = Msg(kInvite);
        request.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", branch);
        return request;
    };

    EXPECT_TRUE(screen(Msg(kInvite), start).Proceed());
    // The same request again (the same transaction): not merged.
    EXPECT_TRUE(screen(Msg(kInvite), start + 1s).Proceed());
    // The same From tag, Call-ID and CSeq over another path (another branch): merged.
    UasCheckResult result = screen(withBranch("z9hG4bKother"), start + 2s);
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.check, UasCheck::MergedRequest);
    EXPECT_EQ(result.response->StatusCode(), 482);
    ExpectCopiedFrom(*result.response, withBranch("z9hG4bKother"), true);
    // Another CSeq is another request.
    SipMessage next = withBranch("z9hG4bKthird");
    next.Edit<CSeq>(HeaderType::CSeq)->SetSequence(314160);
    EXPECT_TRUE(screen(next, start + 2s).Proceed());
    // After 32 s the first request is forgotten.
    EXPECT_TRUE(screen(withBranch("z9hG4bKother"), start + 33s).Proceed());

    // RFC 2543 peers (no branch cookie): the Request-URI tells the paths apart.
    SipMessage old = Msg(kInvite);
    old.Edit<Via>(HeaderType::Via, 0)->Params().Remove("branch");
    old.Edit<CallId>(HeaderType::CallId)->SetValue("rfc2543@pc33");
    EXPECT_FALSE(merged.IsMerged(old, start + 40s));
    EXPECT_FALSE(merged.IsMerged(old, start + 41s));
    SipMessage otherUri = old;
    otherUri.SetRequestUri(Uri::Parse("sip:bob@192.0.2.4"));
    EXPECT_TRUE(merged.IsMerged(otherUri, start + 41s));
}

TEST(UasChecks, MergedRequestMemoryIsBounded) {
    MergedRequests merged(2);
    const auto now = MergedRequests::TimePoint{} + 1h;
    auto request = [](std::string_view callId, std::string_view branch) {
        SipMessage r = Msg(kInvite);
        r.Edit<CallId>(HeaderType::CallId)->SetValue(callId);
        r.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", branch);
        return r;
    };
    EXPECT_FALSE(merged.IsMerged(request("a", "z9hG4bK1"), now));
    EXPECT_FALSE(merged.IsMerged(request("b", "z9hG4bK2"), now));
    EXPECT_FALSE(merged.IsMerged(request("c", "z9hG4bK3"), now));
    EXPECT_EQ(merged.Size(), 2U);
    // "a" was the oldest and made room; "c" is remembered.
    EXPECT_FALSE(merged.IsMerged(request("a", "z9hG4bK9"), now));
    EXPECT_TRUE(merged.IsMerged(request("c", "z9hG4bK9"), now));
    // Requests inside a dialog are neither checked nor remembered.
    SipMessage inDialog = request("d", "z9hG4bK4");
    inDialog.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", "x");
    EXPECT_FALSE(merged.IsMerged(inDialog, now));
    EXPECT_EQ(merged.Size(), 2U);
}

} // namespace
} // namespace zel::sip::stack::test

#include "stack/message/Uri.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

TEST(Uri, ParsesSipParts) {
    const Uri uri = Uri::Parse("sips:alice:secret@Example.COM:5061;transport=tls;lr;maddr=;x=%41?Subject=Hi%20there&h=");
    EXPECT_EQ(uri.Scheme(), "sips");
    EXPECT_TRUE(uri.IsSip());
    EXPECT_EQ(uri.User(), "alice");
    EXPECT_TRUE(uri.HasPassword());
    EXPECT_EQ(uri.Password(), "secret");
    EXPECT_EQ(uri.Host(), "Example.COM");
    EXPECT_EQ(uri.Port(), 5061);
    ASSERT_EQ(uri.Params().Size(), 4U);
    EXPECT_EQ(uri.Params()[0].value, "tls");
    EXPECT_FALSE(uri.Params()[1].hasValue); // lr: present without value
    EXPECT_TRUE(uri.Params()[2].hasValue);  // maddr=: present with an empty value
    EXPECT_EQ(uri.Params()[2].value, "");
    EXPECT_EQ(uri.Params().Find("X")->value, "A");
    EXPECT_EQ(uri.Headers().Find("subject")->value, "Hi there");
    EXPECT_EQ(uri.ToString(), "sips:alice:secret@Example.COM:5061;transport=tls;lr;maddr=;x=A?Subject=Hi%20there&h=");
}

TEST(Uri, HostForms) {
    struct Case {
        const char* text;
        const char* host;
        std::uint16_t port;
        bool ipv6;
        const char* encoded;
    };
    const Case cases[] = {
        {"sip:[::1]", "::1", 0, true, "sip:[::1]"},
        {"sip:u@[2001:db8::10]:5070", "2001:db8::10", 5070, true, "sip:u@[2001:db8::10]:5070"},
        {"sip:[2001:db8::10:5070]", "2001:db8::10:5070", 0, true, "sip:[2001:db8::10:5070]"},
        {"sip:[::ffff:192.0.2.10]:19823", "::ffff:192.0.2.10", 19823, true, "sip:[::ffff:192.0.2.10]:19823"},
        {"SIP:192.0.2.1:0", "192.0.2.1", 0, false, "sip:192.0.2.1:0"},
        {"sip:host-1.example.com.", "host-1.example.com.", 0, false, "sip:host-1.example.com."},
    };
    for (const Case& c : cases) {
        Uri uri;
        ASSERT_TRUE(Uri::TryParse(c.text, uri).Ok()) << c.text;
        EXPECT_EQ(uri.Host(), c.host);
        EXPECT_EQ(uri.Port(), c.port);
        EXPECT_EQ(uri.IsIpv6(), c.ipv6);
        EXPECT_EQ(uri.ToString(), c.encoded);
    }
}

TEST(Uri, RejectsMalformedText) {
    struct Case {
        const char* text;
        std::size_t position;
    };
    const Case cases[] = {
        {"", 0},
        {"sip", 3},                    // no colon
        {"1sip:host", 0},              // scheme must start with a letter
        {"sip:", 4},                   // no host
        {"sip:2001:db8::10", 8},       // IPv6 without brackets (RFC 5118 section 4.2)
        {"sip:[2001:db8:::1]", 4},     // three colons (RFC 5118 section 4.10)
        {"sip:[::1", 8},               // unterminated reference
        {"sip:host:99999", 14},        // port out of range
        {"sip:host:", 8},              // empty port
        {"sip:@host", 4},              // empty user
        {"sip:a b@host", 5},           // space in user
        {"sip:user@host;", 14},        // empty parameter name
        {"sip:user@host;a=%zz", 16},   // bad escape
        {"sip:user@host?x", 15},       // header without '='
        {"sip:user@host>", 13},        // trailing junk
        {"tel:", 4},
    };
    for (const Case& c : cases) {
        Uri uri;
        const ParseStatus status = Uri::TryParse(c.text, uri, 0);
        ASSERT_FALSE(status.Ok()) << c.text;
        EXPECT_EQ(status.Failure().position, c.position) << c.text << ": " << status.Describe();
    }
    EXPECT_THROW(Uri::Parse("sip:"), ParseError);
}

TEST(Uri, EscapesOnEncode) {
    Uri uri;
    uri.SetScheme("sip");
    uri.SetUser("I have spaces@home");
    uri.SetHost("[2001:db8::1]");
    uri.Params().Set("x", "a;b");
    uri.Headers().Set("Route", "<sip:p@q>");
    EXPECT_EQ(uri.ToString(), "sip:I%20have%20spaces%40home@[2001:db8::1];x=a%3Bb?Route=%3Csip:p%40q%3E");
    const Uri back = Uri::Parse(uri.ToString());
    EXPECT_EQ(back.User(), "I have spaces@home");
    EXPECT_EQ(back.Params().Find("x")->value, "a;b");
    EXPECT_EQ(back.Headers().Find("Route")->value, "<sip:p@q>");
}

TEST(Uri, TelAndOpaque) {
    const Uri tel = Uri::Parse("tel:+1-201-555-0123;phone-context=example.com;ext=22");
    EXPECT_TRUE(tel.IsTel());
    EXPECT_EQ(tel.User(), "+1-201-555-0123");
    EXPECT_EQ(tel.Params().Find("ext")->value, "22");
    EXPECT_EQ(tel.ToString(), "tel:+1-201-555-0123;phone-context=example.com;ext=22");

    const Uri urn = Uri::Parse("urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6");
    EXPECT_TRUE(urn.IsOpaque());
    EXPECT_EQ(urn.Scheme(), "urn");
    EXPECT_EQ(urn.Opaque(), "uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6");
    EXPECT_EQ(urn.ToString(), "urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6");
    EXPECT_EQ(Uri::Parse("soap.beep://192.0.2.103:3002").Opaque(), "//192.0.2.103:3002");
}

TEST(Uri, EquivalenceFollowsRfc3261Section19_1_4) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"sip:%61lice@atlanta.com;transport=TCP", "sip:alice@AtLanTa.CoM;Transport=tcp", true},
        {"sip:carol@chicago.com", "sip:carol@chicago.com;newparam=5", true},
        {"sip:carol@chicago.com;security=on", "sip:carol@chicago.com;newparam=5", true},
        {"sip:ALICE@AtLanTa.CoM;Transport=udp", "sip:alice@AtLanTa.CoM;Transport=UDP", false},
        {"sip:bob@biloxi.com", "sip:bob@biloxi.com:5060", false},
        {"sip:bob@biloxi.com", "sip:bob@biloxi.com;transport=udp", false},
        {"sip:carol@chicago.com", "sip:carol@chicago.com?Subject=next%20meeting", false},
        {"sip:alice@atlanta.com", "sips:alice@atlanta.com", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Uri::Parse(c.a).Equivalent(Uri::Parse(c.b)), c.equal) << c.a << " vs " << c.b;
    }
}

} // namespace
} // namespace zel::sip::stack

#include "stack/message/NameAddr.h"

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

TEST(NameAddr, Forms) {
    struct Case {
        const char* text;
        const char* display;
        const char* uri;
        const char* params; // header params re-encoded
        const char* encoded;
    };
    const Case cases[] = {
        {"\"Bob \\\"B\\\" Smith\" <sip:bob@biloxi.com>;tag=a6c85cf",
         "Bob \"B\" Smith", "sip:bob@biloxi.com", ";tag=a6c85cf",
         "\"Bob \\\"B\\\" Smith\" <sip:bob@biloxi.com>;tag=a6c85cf"},
        {"Bob  Smith <sip:bob@biloxi.com>", "Bob  Smith", "sip:bob@biloxi.com", "", "Bob  Smith <sip:bob@biloxi.com>"},
        {"caller<sip:caller@example.com>;tag=323", "caller", "sip:caller@example.com", ";tag=323",
         "caller <sip:caller@example.com>;tag=323"},
        {"<sip:a@b;lr>", "", "sip:a@b;lr", "", "<sip:a@b;lr>"},
        // A bare addr-spec: parameters after it are header parameters (RFC 3261 section 20.10).
        {"sip:+1972@gw1.example.net;unknownparam", "", "sip:+1972@gw1.example.net", ";unknownparam",
         "sip:+1972@gw1.example.net;unknownparam"},
        {" sip:a@b ; tag = x ", "", "sip:a@b", ";tag=x", "sip:a@b;tag=x"},
        {"<urn:uuid:1234>;+sip.instance=\"<urn:uuid:0C67446E>\";reg-id=1", "", "urn:uuid:1234",
         ";+sip.instance=\"<urn:uuid:0C67446E>\";reg-id=1", "<urn:uuid:1234>;+sip.instance=\"<urn:uuid:0C67446E>\";reg-id=1"},
        {"\"\" <sip:a@b>;p=", "", "sip:a@b", ";p=", "<sip:a@b>;p="},
        {"<sip:[2001:db8::1]:5060>;received=[2001:db8::2]", "", "sip:[2001:db8::1]:5060", ";received=[2001:db8::2]",
         "<sip:[2001:db8::1]:5060>;received=[2001:db8::2]"},
    };
    for (const Case& c : cases) {
        NameAddr value;
        const ParseStatus status = NameAddr::TryParse(c.text, value);
        ASSERT_TRUE(status.Ok()) << c.text << ": " << status.Describe();
        EXPECT_EQ(value.DisplayName(), c.display) << c.text;
        EXPECT_EQ(value.GetUri().ToString(), c.uri) << c.text;
        std::string params;
        value.Params().EncodeHeaderParams(params);
        EXPECT_EQ(params, c.params) << c.text;
        EXPECT_EQ(value.ToString(), c.encoded) << c.text;
        NameAddr again;
        ASSERT_TRUE(NameAddr::TryParse(value.ToString(), again).Ok()) << value.ToString();
        EXPECT_EQ(again.ToString(), value.ToString());
    }
}

TEST(NameAddr, Rejects) {
    for (const char* text : {"", "\"Mr. J. User <sip:j.user@example.com>", "Bell, Alexander <sip:a@b>",
                             "\"Watson\" < sip:t.watson@example.org >", "<sip:a@b", "\"x\" sip:a@b",
                             "sip:user@example.com?Route=%3Csip:sip.example.com%3E", "<sip:a@b>;;", "<sip:a@b> junk",
                             "Joe"}) {
        NameAddr value;
        EXPECT_FALSE(NameAddr::TryParse(text, value).Ok()) << text;
    }
    EXPECT_THROW(NameAddr::Parse("<"), ParseError);
}

TEST(NameAddr, WildcardAndEdits) {
    const NameAddr star = NameAddr::Parse(" * ");
    EXPECT_TRUE(star.IsWildcard());
    EXPECT_EQ(star.ToString(), "*");

    NameAddr value = NameAddr::Parse("sip:alice@atlanta.com");
    value.Params().Set("expires", "3600");
    EXPECT_EQ(value.ToString(), "sip:alice@atlanta.com;expires=3600");
    value.GetUri().Params().SetFlag("ob");
    EXPECT_EQ(value.ToString(), "<sip:alice@atlanta.com;ob>;expires=3600"); // brackets now needed
    value.SetDisplayName("Alice, A.");
    EXPECT_EQ(value.ToString(), "\"Alice, A.\" <sip:alice@atlanta.com;ob>;expires=3600");
    value.SetDisplayName("Alice");
    value.Params().Remove("EXPIRES");
    value.Params().SetFlag("isfocus");
    value.Params().Set("text", "say \"hi\"");
    EXPECT_EQ(value.ToString(), "Alice <sip:alice@atlanta.com;ob>;isfocus;text=\"say \\\"hi\\\"\"");
}

} // namespace
} // namespace zel::sip::stack

namespace zel::sip::stack {
namespace {

TEST(ParameterList, NumbersFlagsAndRemoval) {
    NameAddr value = NameAddr::Parse("<sip:a@b>;expires=3600;reg-id=x;Expires=1;flag");
    ParameterList& params = value.Params();
    EXPECT_EQ(params.GetUInt32("EXPIRES"), 3600U); // the first of a repeated name counts
    EXPECT_FALSE(params.GetUInt32("reg-id").has_value());
    EXPECT_FALSE(params.GetUInt32("flag").has_value());
    EXPECT_FALSE(params.GetUInt32("absent").has_value());
    params.SetUInt32("expires", 60);
    params.SetFlag("flag"); // already present: unchanged
    params.SetFlag("new");
    EXPECT_EQ(value.ToString(), "<sip:a@b>;expires=60;reg-id=x;Expires=1;flag;new");
    EXPECT_TRUE(params.Remove("expires"));
    EXPECT_FALSE(params.Remove("expires"));
    EXPECT_EQ(value.ToString(), "<sip:a@b>;reg-id=x;flag;new");
}

} // namespace
} // namespace zel::sip::stack

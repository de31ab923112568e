// URI parts and rendering through the C interface.
#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

namespace {

using NameAddrPtr = std::unique_ptr<SIPNameAddr, void (*)(SIPNameAddr*)>;

NameAddrPtr Make(const char* text) {
    return NameAddrPtr(CreateSIPNameAddr(text), &DestroySIPNameAddr);
}

TEST(UriAccessors, Parts) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* user;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"<sip:alice@atlanta.example.com:5070;transport=tcp>", "sip", "alice", "atlanta.example.com", 5070},
        {"<SIPS:bob@biloxi.example.com>", "sips", "bob", "biloxi.example.com", 0}, // no port given: 0
        {"<sip:%61lice@[2001:db8::1]:5060>", "sip", "alice", "2001:db8::1", 5060},
        {"<sip:192.0.2.7>", "sip", "", "192.0.2.7", 0},
        {"<tel:+1-201-555-0123;phone-context=example.com>", "tel", "+1-201-555-0123", "", 0},
        {"<urn:service:sos>", "urn", "", "", 0},
    };
    for (const Case& c : cases) {
        NameAddrPtr nameAddr = Make(c.text);
        ASSERT_NE(nameAddr, nullptr) << c.text;
        SIPUri* uri = SIPNameAddrGetUri(nameAddr.get());
        ASSERT_NE(uri, nullptr);
        EXPECT_STREQ(SIPUriGetScheme(uri), c.scheme) << c.text;
        EXPECT_STREQ(SIPUriGetUser(uri), c.user) << c.text;
        EXPECT_STREQ(SIPUriGetHost(uri), c.host) << c.text;
        EXPECT_EQ(SIPUriGetPort(uri), c.port) << c.text;
    }
    EXPECT_EQ(SIPUriGetScheme(nullptr), nullptr);
    EXPECT_EQ(SIPUriGetPort(nullptr), 0U);
}

TEST(UriAccessors, TransportIsAText) {
    NameAddrPtr nameAddr = Make("<sip:alice@192.0.2.2:5060>");
    SIPUri* uri = SIPNameAddrGetUri(nameAddr.get());
    SIPUriSetUInt32Param(uri, "transport", 6);
    EXPECT_FALSE(SIPUriParamExists(uri, "transport"));
    SIPUriSetStringParam(uri, "transport", "tcp");
    EXPECT_STREQ(SIPUriGetStringParam(uri, "transport"), "tcp");
    SIPUriSetStringParam(uri, "transport", "tls");
    EXPECT_STREQ(SIPUriGetStringParam(uri, "transport"), "tls");

    // The URI belongs to its name-address: the change shows in both texts.
    std::array<char, 64> buffer{};
    EXPECT_EQ(SIPUriToString(uri, buffer.data(), buffer.size()), 38);
    EXPECT_STREQ(buffer.data(), "sip:alice@192.0.2.2:5060;transport=tls");
    ASSERT_GT(SIPNameAddrToString(nameAddr.get(), buffer.data(), buffer.size()), 0);
    EXPECT_STREQ(buffer.data(), "<sip:alice@192.0.2.2:5060;transport=tls>");
}

} // namespace

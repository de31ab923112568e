// Reading and changing message headers through the C interface, on messages as peers send them.
#include "SampleMessages.h"

#include "capi/LastError.h"
#include "stack/message/NameAddr.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

namespace zel::sip::testing {
namespace {

std::optional<std::string> Text(const char* text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

struct Messages {
    stack::SipMessage invite = ParseMessage(kPbxInvite);
    stack::SipMessage ok = ParseMessage(kOkWithContacts);
    stack::SipMessage reg = ParseMessage(kOutboundRegister);
    stack::SipMessage unavailable = ParseMessage(kServiceUnavailable);
};

TEST(MessageAccessors, StringHeadersMatchTheirNamesExactly) {
    Messages m;
    struct Case {
        stack::SipMessage* message;
        const char* name;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {&m.invite, "Call-ID", "4f2a7c1e3b5d@192.168.1.10"},
        {&m.invite, "User-Agent", "ExamplePBX 16.2.1"},
        {&m.reg, "User-Agent", ""}, // absent: the empty text, not null
        {&m.invite, "user-agent", std::nullopt},
        {&m.invite, "call-id", std::nullopt},
        {&m.invite, "i", std::nullopt},
        {&m.invite, "Date", std::nullopt}, // present, but not one of the names handled
        {&m.ok, "Server", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Text(SIPMessageStringHeader(Handle(*c.message), c.name)), c.expected) << c.name;
    }
    const char* callId = SIPMessageStringHeader(Handle(m.invite), "Call-ID");
    EXPECT_EQ(callId, SIPMessageStringHeader(Handle(m.invite), "Call-ID")) << "points into the message";
}

TEST(MessageAccessors, FromAndToAreTheMessagesOwnValues) {
    Messages m;
    SIPNameAddr* from = SIPMessageNameAddressHeader(Handle(m.invite), "From");
    ASSERT_NE(from, nullptr);
    EXPECT_STREQ(SIPNameAddrGetDisplayName(from), "Reception");
    EXPECT_STREQ(SIPNameAddrGetStringParam(from, "tag"), "as6f8e1b2c");
    EXPECT_EQ(SIPMessageNameAddressHeader(Handle(m.invite), "From"), from);
    SIPNameAddr* to = SIPMessageNameAddressHeader(Handle(m.invite), "To");
    ASSERT_NE(to, nullptr);
    EXPECT_STREQ(SIPUriGetUser(SIPNameAddrGetUri(to)), "201");

    for (const char* name : {"from", "f", "Contact", "P-Asserted-Identity", ""}) {
        EXPECT_EQ(SIPMessageNameAddressHeader(Handle(m.invite), name), nullptr) << name;
    }
    // A message without From reads as null; the accessor does not add a header.
    stack::SipMessage bare = stack::SipMessage::MakeResponse(200, "OK");
    EXPECT_EQ(SIPMessageNameAddressHeader(Handle(bare), "From"), nullptr);
    EXPECT_EQ(SIPMessageHeaderExists(Handle(bare), "From"), 0);
}

TEST(MessageAccessors, ChangesThroughAHandleReachTheWire) {
    stack::SipMessage invite = ParseMessage(kPbxInvite);
    SIPNameAddrSetStringParam(SIPMessageNameAddressHeader(Handle(invite), "To"), "tag", "b7e1");
    SIPUriSetStringParam(SIPNameAddrGetUri(SIPMessageNameAddressMultiHeader(Handle(invite), "Contact", 0)),
                         "transport", "tcp");
    const std::string wire = invite.Encode();
    EXPECT_NE(wire.find("To: <sip:201@pbx.example.com>;tag=b7e1\r\n"), std::string::npos) << wire;
    EXPECT_NE(wire.find("Contact: <sip:100@192.168.1.10:5060;transport=tcp>\r\n"), std::string::npos) << wire;
}

TEST(MessageAccessors, RetryAfter) {
    Messages m;
    EXPECT_EQ(SIPMessageUInt32Header(Handle(m.unavailable), "Retry-After"), 120U);
    EXPECT_EQ(SIPMessageUInt32Header(Handle(m.unavailable), "retry-after"), 0U);
    EXPECT_EQ(SIPMessageUInt32Header(Handle(m.invite), "Retry-After"), 0U); // absent
    EXPECT_EQ(SIPMessageUInt32Header(Handle(m.invite), "Max-Forwards"), 0U); // not handled
}

TEST(MessageAccessors, CountsHandledNamesAndExtensionHeaders) {
    Messages m;
    struct Case {
        stack::SipMessage* message;
        const char* name;
        std::uint64_t count;
    };
    const Case cases[] = {
        {&m.ok, "Contact", 3},
        {&m.ok, "Reason", 2},
        {&m.invite, "Supported", 2}, // written in its compact form "k"
        {&m.reg, "Supported", 2},
        {&m.reg, "Require", 1},
        {&m.invite, "Require", 0},
        {&m.invite, "X-Call-Info", 2},
        {&m.invite, "x-call-info", 2}, // header names compare without regard to case
        {&m.invite, "X-Absent", 0},
        // Other standard names are looked up as extension headers and so count 0.
        {&m.invite, "Via", 0},
        {&m.invite, "Allow", 0},
        {&m.ok, "contact", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SIPMessageMultiHeaderCount(Handle(*c.message), c.name), c.count) << c.name;
    }
}

TEST(MessageAccessors, IndexedTextValues) {
    Messages m;
    struct Case {
        stack::SipMessage* message;
        const char* name;
        std::uint64_t index;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {&m.reg, "Supported", 0, "timer"},
        {&m.reg, "Supported", 1, "outbound"},
        {&m.reg, "Supported", 2, std::nullopt},
        {&m.reg, "Supported", ~std::uint64_t{0}, std::nullopt},
        {&m.reg, "Require", 0, "outbound"},
        {&m.invite, "Supported", 1, "timer"},
        {&m.invite, "Require", 0, std::nullopt},
        {&m.invite, "X-Call-Info", 0, "queue=sales; priority=2"}, // the fold is one space
        {&m.invite, "X-Call-Info", 1, "agent=17"},
        {&m.invite, "X-Call-Info", 2, std::nullopt},
        {&m.invite, "Via", 0, std::nullopt},
        {&m.invite, "Allow", 0, std::nullopt},
        {&m.ok, "Contact", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Text(SIPMessageStringMultiHeader(Handle(*c.message), c.name, c.index)), c.expected)
            << c.name << " " << c.index;
    }
}

TEST(MessageAccessors, ContactsInMessageOrder) {
    Messages m;
    const std::array<const char*, 3> hosts{"192.0.2.4", "192.0.2.5", "2001:db8::9"};
    for (std::uint64_t i = 0; i < hosts.size(); ++i) {
        SIPNameAddr* contact = SIPMessageNameAddressMultiHeader(Handle(m.ok), "Contact", i);
        ASSERT_NE(contact, nullptr) << i;
        EXPECT_STREQ(SIPUriGetHost(SIPNameAddrGetUri(contact)), hosts[i]) << i;
    }
    EXPECT_STREQ(SIPNameAddrGetDisplayName(SIPMessageNameAddressMultiHeader(Handle(m.ok), "Contact", 1)), "Bob, desk");
    EXPECT_EQ(SIPMessageNameAddressMultiHeader(Handle(m.ok), "Contact", 3), nullptr);
    EXPECT_EQ(SIPMessageNameAddressMultiHeader(Handle(m.ok), "From", 0), nullptr);
    EXPECT_EQ(SIPMessageNameAddressMultiHeader(Handle(m.ok), "contact", 0), nullptr);
    EXPECT_EQ(SIPMessageNameAddressMultiHeader(Handle(m.invite), "P-Asserted-Identity", 0), nullptr);
}

TEST(MessageAccessors, ReasonValues) {
    Messages m;
    struct Case {
        std::uint64_t index;
        const char* protocol;
        std::uint32_t cause;
        const char* text;
    };
    const Case cases[] = {
        {0, "Q.850", 16, "Normal call clearing"},
        {1, "SIP", 200, "Call completed elsewhere"},
    };
    for (const Case& c : cases) {
        SIPReason* reason = SIPMessageReasonMultiHeader(Handle(m.ok), "Reason", c.index);
        ASSERT_NE(reason, nullptr) << c.index;
        EXPECT_STREQ(SIPReasonGetProtocol(reason), c.protocol);
        EXPECT_EQ(SIPReasonGetCause(reason), c.cause);
        EXPECT_STREQ(SIPReasonGetText(reason), c.text);
    }
    EXPECT_EQ(SIPMessageReasonMultiHeader(Handle(m.ok), "Reason", 2), nullptr);
    EXPECT_EQ(SIPMessageReasonMultiHeader(Handle(m.ok), "reason", 0), nullptr);
    EXPECT_EQ(SIPMessageReasonMultiHeader(Handle(m.ok), "Contact", 0), nullptr);

    stack::SipMessage bye = ParseMessage(Wire("BYE sip:a@b SIP/2.0\nReason: Q.850\nContent-Length: 0\n\n"));
    SIPReason* bare = SIPMessageReasonMultiHeader(Handle(bye), "Reason", 0);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(SIPReasonGetCause(bare), 0U);
    EXPECT_EQ(SIPReasonGetText(bare), nullptr);
}

TEST(MessageAccessors, MalformedValuesReadAsAbsent) {
    stack::SipMessage bad = ParseMessage(kMalformedHeaders);
    SIPMessage* h = Handle(bad);
    EXPECT_EQ(SIPMessageNameAddressHeader(h, "From"), nullptr);
    EXPECT_EQ(SIPMessageNameAddressHeader(h, "To"), nullptr);
    EXPECT_EQ(SIPMessageStringHeader(h, "Call-ID"), nullptr);
    EXPECT_EQ(SIPMessageUInt32Header(h, "Retry-After"), 0U);
    EXPECT_EQ(SIPMessageReasonMultiHeader(h, "Reason", 0), nullptr);
    // Only the malformed value of a list is lost.
    EXPECT_NE(SIPMessageNameAddressMultiHeader(h, "Contact", 0), nullptr);
    EXPECT_EQ(SIPMessageNameAddressMultiHeader(h, "Contact", 1), nullptr);
    EXPECT_STREQ(SIPMessageStringMultiHeader(h, "Supported", 0), "timer");
    EXPECT_EQ(SIPMessageStringMultiHeader(h, "Supported", 1), nullptr);
    EXPECT_EQ(SIPMessageMultiHeaderCount(h, "Supported"), 2U);
    // Asking again gives the same answer, and the message is still written as received.
    EXPECT_EQ(SIPMessageNameAddressHeader(h, "From"), nullptr);
    EXPECT_EQ(bad.Encode(), kMalformedHeaders);
}

TEST(MessageAccessors, HeaderExistsAsksTheHeaderTableFirst) {
    Messages m;
    struct Case {
        const char* name;
        std::int32_t exists;
    };
    const Case cases[] = {
        {"Call-ID", 1}, {"call-id", 1}, {"i", 1},           {"Supported", 1},   {"k", 1},
        {"Via", 1},     {"Subject", 0}, {"X-Call-Info", 1}, {"x-call-info", 1}, {"X-Absent", 0},
        {"", 0},        {"Bad Name", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SIPMessageHeaderExists(Handle(m.invite), c.name), c.exists) << c.name;
    }
}

TEST(MessageAccessors, AddHeaderAppendsExtensionValuesOnly) {
    stack::SipMessage invite = ParseMessage(kPbxInvite);
    SIPMessage* h = Handle(invite);
    const std::string before = invite.Encode();
    // Standard names in any spelling, and values the wire cannot carry, change nothing.
    SIPMessageAddHeader(h, "Subject", "hello");
    SIPMessageAddHeader(h, "s", "hello");
    SIPMessageAddHeader(h, "max-forwards", "1");
    SIPMessageAddHeader(h, "Bad Name", "x");
    SIPMessageAddHeader(h, "X-Custom", "one\r\nVia: SIP/2.0/UDP evil");
    SIPMessageAddHeader(h, "X-Custom", nullptr);
    SIPMessageAddHeader(h, nullptr, "x");
    EXPECT_EQ(invite.Encode(), before);

    SIPMessageAddHeader(h, "X-Custom", "first");
    SIPMessageAddHeader(h, "X-Custom", "second");
    SIPMessageAddHeader(h, "X-Call-Info", "agent=18");
    EXPECT_EQ(SIPMessageMultiHeaderCount(h, "X-Custom"), 2U);
    EXPECT_STREQ(SIPMessageStringMultiHeader(h, "X-Custom", 0), "first");
    EXPECT_STREQ(SIPMessageStringMultiHeader(h, "X-Custom", 1), "second");
    EXPECT_EQ(SIPMessageMultiHeaderCount(h, "X-Call-Info"), 3U);
    EXPECT_STREQ(SIPMessageStringMultiHeader(h, "X-Call-Info", 2), "agent=18");
    const std::string after = invite.Encode();
    EXPECT_NE(after.find("X-Custom: first\r\nX-Custom: second\r\n"), std::string::npos) << after;
}

TEST(MessageAccessors, RemoveHeader) {
    stack::SipMessage invite = ParseMessage(kPbxInvite);
    SIPMessage* h = Handle(invite);
    const std::string before = invite.Encode();
    SIPMessageRemoveHeader(h, "X-Absent");
    SIPMessageRemoveHeader(h, "Subject");
    SIPMessageRemoveHeader(h, nullptr);
    SIPMessageRemoveHeader(h, "");
    EXPECT_EQ(invite.Encode(), before);

    SIPMessageRemoveHeader(h, "x-call-info"); // every line of it
    EXPECT_EQ(SIPMessageHeaderExists(h, "X-Call-Info"), 0);
    SIPMessageRemoveHeader(h, "k"); // a standard header by its compact name
    EXPECT_EQ(SIPMessageHeaderExists(h, "Supported"), 0);
    EXPECT_EQ(SIPMessageMultiHeaderCount(h, "Supported"), 0U);
    SIPMessageRemoveHeader(h, "User-Agent");
    EXPECT_STREQ(SIPMessageStringHeader(h, "User-Agent"), "");
    EXPECT_EQ(invite.Encode().find("X-Call-Info"), std::string::npos);
}

TEST(MessageAccessors, NullHandlesAndNamesReadAsAbsent) {
    stack::SipMessage invite = ParseMessage(kPbxInvite);
    EXPECT_EQ(SIPMessageNameAddressHeader(nullptr, "From"), nullptr);
    EXPECT_EQ(SIPMessageStringHeader(nullptr, "Call-ID"), nullptr);
    EXPECT_EQ(SIPMessageStringHeader(Handle(invite), nullptr), nullptr);
    EXPECT_EQ(SIPMessageUInt32Header(nullptr, "Retry-After"), 0U);
    EXPECT_EQ(SIPMessageMultiHeaderCount(nullptr, "Contact"), 0U);
    EXPECT_EQ(SIPMessageMultiHeaderCount(Handle(invite), nullptr), 0U);
    EXPECT_EQ(SIPMessageStringMultiHeader(nullptr, "Supported", 0), nullptr);
    EXPECT_EQ(SIPMessageNameAddressMultiHeader(nullptr, "Contact", 0), nullptr);
    EXPECT_EQ(SIPMessageReasonMultiHeader(nullptr, "Reason", 0), nullptr);
    EXPECT_EQ(SIPMessageHeaderExists(nullptr, "Via"), 0);
    SIPMessageAddHeader(nullptr, "X-A", "b");
    SIPMessageRemoveHeader(nullptr, "X-A");
}

TEST(MessageAccessors, LeaveTheLastErrorAlone) {
    GetLastErrorManifest().SetLastErrorMessage("earlier failure");
    stack::SipMessage bad = ParseMessage(kMalformedHeaders);
    (void)SIPMessageNameAddressHeader(Handle(bad), "From");
    (void)SIPMessageStringHeader(Handle(bad), "Call-ID");
    SIPMessageAddHeader(Handle(bad), "Bad Name", "x");
    std::array<char, 32> buffer{};
    GetSIPLastErrorMessage(buffer.data(), buffer.size());
    EXPECT_STREQ(buffer.data(), "earlier failure");
}

} // namespace
} // namespace zel::sip::testing

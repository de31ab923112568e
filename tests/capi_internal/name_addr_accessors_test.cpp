// Host-owned name-addresses: creation, parts, and rendering into host buffers.
#include "capi/LastError.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

namespace zel::sip {
namespace {

using NameAddrPtr = std::unique_ptr<SIPNameAddr, void (*)(SIPNameAddr*)>;

NameAddrPtr Make(const char* text) {
    return NameAddrPtr(CreateSIPNameAddr(text), &DestroySIPNameAddr);
}

std::string LastError() {
    std::array<char, 256> buffer{};
    GetSIPLastErrorMessage(buffer.data(), buffer.size());
    return buffer.data();
}

TEST(NameAddrAccessors, CreateParsesCompleteNameAddressesOnly) {
    struct Case {
        const char* text;
        const char* display; // null: the text must be refused
        const char* user;
    };
    const Case cases[] = {
        {"\"Alice Liddell\" <sip:alice@example.com>;tag=1", "Alice Liddell", "alice"},
        {"Bob <sips:bob@example.com:5061>", "Bob", "bob"},
        {"<sip:%61lice@example.com>", "", "alice"},
        {"sip:carol@example.com;expires=60", "", "carol"},
        {"<tel:+1-201-555-0123>", "", "+1-201-555-0123"},
        {"", nullptr, nullptr},
        {"not a name-address", nullptr, nullptr},
        {"<sip:alice@example.com", nullptr, nullptr},
        {"\"unterminated <sip:alice@example.com>", nullptr, nullptr},
        {"<sip:alice@example.com> trailing", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        GetLastErrorManifest().SetLastErrorMessage("earlier failure");
        NameAddrPtr nameAddr = Make(c.text);
        if (c.display == nullptr) {
            EXPECT_EQ(nameAddr, nullptr) << c.text;
        } else {
            ASSERT_NE(nameAddr, nullptr) << c.text;
            EXPECT_STREQ(SIPNameAddrGetDisplayName(nameAddr.get()), c.display) << c.text;
            EXPECT_STREQ(SIPUriGetUser(SIPNameAddrGetUri(nameAddr.get())), c.user) << c.text;
        }
        EXPECT_EQ(LastError(), "earlier failure") << c.text; // creation never touches it
    }
    EXPECT_EQ(CreateSIPNameAddr(nullptr), nullptr);
    DestroySIPNameAddr(nullptr);
}

TEST(NameAddrAccessors, ExpiresIsANumber) {
    NameAddrPtr contact = Make("<sip:alice@192.0.2.2:5060>");
    ASSERT_NE(contact, nullptr);
    SIPNameAddrSetUInt32Param(contact.get(), "expires", 3600);
    char buffer[128];
    ASSERT_GT(SIPNameAddrToString(contact.get(), buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "<sip:alice@192.0.2.2:5060>;expires=3600");
    EXPECT_EQ(SIPNameAddrGetUInt32Param(contact.get(), "expires"), 3600U);
    EXPECT_EQ(SIPNameAddrGetStringParam(contact.get(), "expires"), nullptr);
    SIPNameAddrSetUInt32Param(contact.get(), "expires", 0);
    EXPECT_EQ(SIPNameAddrGetUInt32Param(contact.get(), "expires"), 0U);
    EXPECT_TRUE(SIPNameAddrParamExists(contact.get(), "expires"));
}

TEST(NameAddrAccessors, RenderingCutsAndTerminates) {
    const std::string text = "<sip:bo@example.com>";
    ASSERT_EQ(text.size(), 20U);
    NameAddrPtr nameAddr = Make(text.c_str());
    ASSERT_NE(nameAddr, nullptr);
    for (std::uint64_t size : {1U, 2U, 4U, 20U, 21U, 22U, 40U}) {
        std::array<char, 48> buffer;
        buffer.fill('#');
        GetLastErrorManifest().SetLastErrorMessage("earlier failure");
        EXPECT_EQ(SIPNameAddrToString(nameAddr.get(), buffer.data(), size), 20) << size;
        const std::size_t kept = std::min<std::size_t>(size - 1, text.size());
        EXPECT_EQ(std::string(buffer.data()), text.substr(0, kept)) << size;
        for (std::size_t i = kept; i < size; ++i) {
            EXPECT_EQ(buffer[i], '\0') << "size " << size << " byte " << i;
        }
        EXPECT_EQ(buffer[size], '#') << "wrote past the buffer of size " << size;
        EXPECT_EQ(LastError(), "") << "a successful call clears the last error";
    }
}

TEST(NameAddrAccessors, RenderingFailuresReportThroughTheLastError) {
    NameAddrPtr nameAddr = Make("<sip:bob@example.com>");
    char buffer[8] = "keep";
    EXPECT_EQ(SIPNameAddrToString(nameAddr.get(), nullptr, 16), -1);
    EXPECT_NE(LastError(), "");
    EXPECT_EQ(SIPNameAddrToString(nameAddr.get(), buffer, 0), -1);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(SIPNameAddrToString(nullptr, buffer, sizeof buffer), -1);
    EXPECT_NE(LastError(), "");
    EXPECT_EQ(SIPUriToString(nullptr, buffer, sizeof buffer), -1);
    EXPECT_NE(LastError(), "");
}

TEST(NameAddrAccessors, NullHandlesReadAsAbsent) {
    EXPECT_EQ(SIPNameAddrGetDisplayName(nullptr), nullptr);
    EXPECT_EQ(SIPNameAddrGetUri(nullptr), nullptr);
    EXPECT_FALSE(SIPNameAddrParamExists(nullptr, "tag"));
    EXPECT_EQ(SIPNameAddrGetUInt32Param(nullptr, "expires"), 0U);
    EXPECT_EQ(SIPNameAddrGetStringParam(nullptr, "tag"), nullptr);
    SIPNameAddrSetUInt32Param(nullptr, "expires", 1);
    SIPNameAddrSetStringParam(nullptr, "tag", "x");
    SIPNameAddrRemoveParam(nullptr, "tag");
    EXPECT_EQ(SIPReasonGetProtocol(nullptr), nullptr);
    EXPECT_EQ(SIPReasonGetCause(nullptr), 0U);
    EXPECT_EQ(SIPReasonGetText(nullptr), nullptr);
}

} // namespace
} // namespace zel::sip

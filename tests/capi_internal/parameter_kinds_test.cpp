// The parameter functions of name-addresses and URIs: a name of each kind through every function,
// against the rules of its kind.
#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

enum class Kind { Flag, Number, Preference, Text, Extension };

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Flag:
        return "flag";
    case Kind::Number:
        return "number";
    case Kind::Preference:
        return "preference";
    case Kind::Text:
        return "text";
    case Kind::Extension:
        return "extension";
    }
    return "?";
}

struct Named {
    const char* name;
    Kind kind;
};

// One name of each kind per object, not the library's whole table: what is checked is how each kind
// behaves through the six functions. The spellings show that names compare byte for byte and that
// a name-address and a URI sort the same name into different kinds.
const std::vector<Named> kNameAddrNames{
    {"isfocus", Kind::Flag},    {"expires", Kind::Number},        {"q", Kind::Preference},
    {"+sip.instance", Kind::Text}, {"Expires", Kind::Extension}, {"lr", Kind::Extension},
};

const std::vector<Named> kUriNames{
    {"lr", Kind::Flag},        {"ttl", Kind::Number},        {"transport", Kind::Text},
    {"q", Kind::Extension},    {"LR", Kind::Extension},
};

using NameAddrPtr = std::unique_ptr<SIPNameAddr, void (*)(SIPNameAddr*)>;

NameAddrPtr MakeNameAddr(const char* text) {
    return NameAddrPtr(CreateSIPNameAddr(text), &DestroySIPNameAddr);
}

// The six parameter functions and the rendering of one object, name-address or URI.
struct Target {
    NameAddrPtr owner;
    bool uri;

    SIPNameAddr* NameAddr() const { return owner.get(); }
    SIPUri* Uri() const { return SIPNameAddrGetUri(owner.get()); }

    bool Exists(const char* name) const {
        return uri ? SIPUriParamExists(Uri(), name) : SIPNameAddrParamExists(NameAddr(), name);
    }
    std::uint32_t GetNumber(const char* name) const {
        return uri ? SIPUriGetUInt32Param(Uri(), name) : SIPNameAddrGetUInt32Param(NameAddr(), name);
    }
    const char* GetText(const char* name) const {
        return uri ? SIPUriGetStringParam(Uri(), name) : SIPNameAddrGetStringParam(NameAddr(), name);
    }
    void SetNumber(const char* name, std::uint32_t value) const {
        uri ? SIPUriSetUInt32Param(Uri(), name, value) : SIPNameAddrSetUInt32Param(NameAddr(), name, value);
    }
    void SetText(const char* name, const char* value) const {
        uri ? SIPUriSetStringParam(Uri(), name, value) : SIPNameAddrSetStringParam(NameAddr(), name, value);
    }
    void Remove(const char* name) const {
        uri ? SIPUriRemoveParam(Uri(), name) : SIPNameAddrRemoveParam(NameAddr(), name);
    }
    std::string Render() const {
        char buffer[512];
        const std::int32_t length =
            uri ? SIPUriToString(Uri(), buffer, sizeof buffer) : SIPNameAddrToString(NameAddr(), buffer, sizeof buffer);
        EXPECT_GE(length, 0);
        return buffer;
    }
};

Target Make(bool uri, const std::string& params = {}) {
    // For a URI the parameters go inside the brackets, for a name-address after them.
    const std::string text = uri ? "<sip:alice@example.com" + params + ">" : "<sip:alice@example.com>" + params;
    Target target{MakeNameAddr(text.c_str()), uri};
    EXPECT_NE(target.owner, nullptr) << text;
    return target;
}

std::string Base(bool uri) {
    return uri ? "sip:alice@example.com" : "<sip:alice@example.com>";
}

void CheckKind(bool uri, const Named& n) {
    SCOPED_TRACE(std::string(uri ? "URI " : "name-address ") + n.name + " (" + KindName(n.kind) + ")");
    const std::string name = n.name;

    // Absent: every reader answers as for nothing, removing it changes nothing.
    Target fresh = Make(uri);
    EXPECT_FALSE(fresh.Exists(n.name));
    EXPECT_EQ(fresh.GetNumber(n.name), 0U);
    EXPECT_EQ(fresh.GetText(n.name), nullptr);
    fresh.Remove(n.name);
    EXPECT_EQ(fresh.Render(), Base(uri));

    // The number setter.
    Target number = Make(uri);
    number.SetNumber(n.name, 42);
    switch (n.kind) {
    case Kind::Flag:
        EXPECT_EQ(number.Render(), Base(uri) + ";" + name);
        break;
    case Kind::Number:
        EXPECT_EQ(number.Render(), Base(uri) + ";" + name + "=42");
        EXPECT_EQ(number.GetNumber(n.name), 42U);
        break;
    case Kind::Preference:
        EXPECT_EQ(number.Render(), Base(uri) + ";q=1"); // present, and still valid syntax
        break;
    case Kind::Text:
    case Kind::Extension:
        EXPECT_EQ(number.Render(), Base(uri));
        break;
    }
    EXPECT_EQ(number.GetText(n.name), nullptr);
    if (n.kind != Kind::Number) {
        EXPECT_EQ(number.GetNumber(n.name), 0U);
    }

    // The text setter, with a value and with null.
    Target text = Make(uri);
    text.SetText(n.name, "v1");
    Target null = Make(uri);
    null.SetText(n.name, nullptr);
    switch (n.kind) {
    case Kind::Flag:
        EXPECT_EQ(text.Render(), Base(uri) + ";" + name);
        EXPECT_EQ(null.Render(), Base(uri) + ";" + name);
        EXPECT_EQ(text.GetText(n.name), nullptr);
        break;
    case Kind::Number:
        EXPECT_EQ(text.Render(), Base(uri));
        EXPECT_EQ(null.Render(), Base(uri));
        break;
    case Kind::Preference:
        EXPECT_EQ(text.Render(), Base(uri) + ";q=1");
        EXPECT_EQ(null.Render(), Base(uri) + ";q=1");
        EXPECT_EQ(text.GetText(n.name), nullptr);
        break;
    case Kind::Text:
        EXPECT_EQ(text.Render(), Base(uri) + ";" + name + "=v1");
        EXPECT_STREQ(text.GetText(n.name), "v1");
        EXPECT_EQ(null.Render(), Base(uri)); // a text value must be given
        break;
    case Kind::Extension:
        EXPECT_EQ(text.Render(), Base(uri) + ";" + name + "=v1");
        EXPECT_STREQ(text.GetText(n.name), "v1");
        EXPECT_EQ(null.Render(), Base(uri) + ";" + name);
        EXPECT_TRUE(null.Exists(n.name));
        EXPECT_STREQ(null.GetText(n.name), ""); // present without a value
        break;
    }
    EXPECT_EQ(text.GetNumber(n.name), 0U);

    // Received with a value: readable by its kind, kept by the "make present" setters, removable.
    Target received = Make(uri, ";" + name + "=7");
    EXPECT_TRUE(received.Exists(n.name));
    EXPECT_EQ(received.GetNumber(n.name), n.kind == Kind::Number ? 7U : 0U);
    if (n.kind == Kind::Text || n.kind == Kind::Extension) {
        EXPECT_STREQ(received.GetText(n.name), "7");
    } else {
        EXPECT_EQ(received.GetText(n.name), nullptr);
    }
    if (n.kind == Kind::Flag || n.kind == Kind::Preference) {
        received.SetNumber(n.name, 9);
        received.SetText(n.name, "9");
        EXPECT_EQ(received.Render(), Base(uri) + ";" + name + "=7");
    }
    received.Remove(n.name);
    EXPECT_FALSE(received.Exists(n.name));
    EXPECT_EQ(received.Render(), Base(uri));
}

TEST(ParameterKinds, NameAddressParameters) {
    for (const Named& n : kNameAddrNames) {
        CheckKind(false, n);
    }
}

TEST(ParameterKinds, UriParameters) {
    for (const Named& n : kUriNames) {
        CheckKind(true, n);
    }
}

TEST(ParameterKinds, NamesThatCannotBeWrittenBackAreRefused) {
    for (bool uri : {false, true}) {
        Target target = Make(uri);
        for (const char* name : {"", "a b", "x>;evil", "x=y", "tag\r\nVia"}) {
            target.SetText(name, "1");
            target.SetText(name, nullptr);
            target.SetNumber(name, 1);
        }
        target.SetText(nullptr, "1");
        target.SetNumber(nullptr, 1);
        target.Remove(nullptr);
        EXPECT_FALSE(target.Exists(nullptr));
        EXPECT_EQ(target.GetText(nullptr), nullptr);
        EXPECT_EQ(target.Render(), Base(uri));
    }
}

TEST(ParameterKinds, ValuesThatNeedQuotesAreQuotedInHeaderParameters) {
    Target contact = Make(false);
    contact.SetText("+sip.instance", "<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>");
    contact.SetText("description", "desk phone, 2nd floor");
    EXPECT_EQ(contact.Render(), "<sip:alice@example.com>;+sip.instance=\"<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>\""
                                ";description=\"desk phone, 2nd floor\"");
    EXPECT_STREQ(contact.GetText("+sip.instance"), "<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>");
}

TEST(ParameterKinds, NumbersThatDoNotFitReadAsZero) {
    Target target = Make(false, ";expires=4294967296;reg-id=abc;q=0.5");
    EXPECT_TRUE(SIPNameAddrParamExists(target.NameAddr(), "expires"));
    EXPECT_EQ(target.GetNumber("expires"), 0U);
    EXPECT_EQ(target.GetNumber("reg-id"), 0U);
    EXPECT_EQ(target.GetNumber("q"), 0U);
    target.SetNumber("expires", 4294967295U);
    EXPECT_EQ(target.GetNumber("expires"), 4294967295U);
}

} // namespace

#include "config/ConfigDiagnostics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zel::sip {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Kind = ConfigDiagnosticKind;

std::vector<std::pair<Kind, std::string>> Reports(const std::string& json) {
    ConfigDiagnosticLog log;
    ReadConfig(json.c_str(), &log);
    std::vector<std::pair<Kind, std::string>> reports;
    for (const auto& entry : log.Entries()) {
        reports.emplace_back(entry.Kind, entry.Path);
    }
    return reports;
}

std::vector<ConfigDiagnostic> Entries(const std::string& json) {
    ConfigDiagnosticLog log;
    ReadConfig(json.c_str(), &log);
    return log.Entries();
}

struct DiagnosticCase {
    const char* Document;
    std::vector<std::pair<Kind, std::string>> Expected;
};

class Diagnostics : public ::testing::TestWithParam<DiagnosticCase> {};

TEST_P(Diagnostics, ReportEachIgnoredItem) {
    SCOPED_TRACE(GetParam().Document);
    EXPECT_EQ(Reports(GetParam().Document), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, Diagnostics,
    ::testing::Values(
        DiagnosticCase{"{}", {}},
        DiagnosticCase{R"({"UseSRTP": "none", "RTCPMultiplexing": "None", "TLS": {"ClientVerificationMode": "None"}})",
                       {}},
        DiagnosticCase{R"({"Foo": 1, "useragent": "x", "TLS": {"Bar": true}, "SDP": {"x y": 1},
                           "Logging": {"StackLogLevel": "DEBUG", "Level": 1}})",
                       {{Kind::UnknownKey, "Foo"},
                        {Kind::UnknownKey, "useragent"},
                        {Kind::UnknownKey, "TLS.Bar"},
                        {Kind::UnknownKey, "SDP.\"x y\""},
                        {Kind::UnknownKey, "Logging.Level"}}},
        DiagnosticCase{R"({"UserAgent": "a", "UserAgent": "b", "Foo": 1, "Foo": 2})",
                       {{Kind::DuplicateKey, "UserAgent"}, {Kind::UnknownKey, "Foo"}, {Kind::UnknownKey, "Foo"}}},
        DiagnosticCase{R"({"UDPPort": "5060", "TCPPort": 5060.0, "TLSPort": -1, "DTLSPort": 4294967296,
                           "WSAllowed": 1, "TLS": [], "SDP": {"SpecifyRTCPAttribute": "yes"}, "Codecs": {}})",
                       {{Kind::WrongKind, "WSAllowed"},
                        {Kind::WrongKind, "UDPPort"},
                        {Kind::WrongKind, "TCPPort"},
                        {Kind::WrongKind, "TLSPort"},
                        {Kind::WrongKind, "DTLSPort"},
                        {Kind::WrongKind, "TLS"},
                        {Kind::WrongKind, "Codecs"},
                        {Kind::WrongKind, "SDP.SpecifyRTCPAttribute"}}},
        DiagnosticCase{R"({"UseSRTP": "srtp", "RTCPMultiplexing": "supported",
                           "TLS": {"ClientVerificationMode": ""}})",
                       {{Kind::UnknownEnumerationText, "TLS.ClientVerificationMode"},
                        {Kind::UnknownEnumerationText, "UseSRTP"},
                        {Kind::UnknownEnumerationText, "RTCPMultiplexing"}}},
        DiagnosticCase{R"({"WSPort": 65536, "Codecs": [{"Encoding": "L16", "Type": "audio", "ClockRate": 44100,
                           "Channels": 131074}]})",
                       {{Kind::Narrowed, "WSPort"}, {Kind::Narrowed, "Codecs[0].Channels"}}},
        DiagnosticCase{R"({"SupportedMethods": ["INVITE", 1, null], "TLS": {"Ciphers": [true]},
                           "Codecs": [3, {"Encoding": "PCMU", "Type": "audio", "ClockRate": 8000,
                                          "Parameters": [1], "Rate": 1}],
                           "Cryptos": [{"CryptoSuite": "X"}],
                           "SupportedContentTypes": [{"Method": "INVITE", "ContentTypes": [2]}, {}]})",
                       {{Kind::RejectedEntry, "TLS.Ciphers[0]"},
                        {Kind::RejectedEntry, "SupportedMethods[1]"},
                        {Kind::RejectedEntry, "SupportedMethods[2]"},
                        {Kind::RejectedEntry, "SupportedContentTypes[0].ContentTypes[0]"},
                        {Kind::RejectedEntry, "SupportedContentTypes[1]"},
                        {Kind::RejectedEntry, "Codecs[0]"},
                        {Kind::UnknownKey, "Codecs[1].Rate"},
                        {Kind::RejectedEntry, "Codecs[1].Parameters[0]"},
                        {Kind::RejectedEntry, "Cryptos[0]"}}},
        DiagnosticCase{R"({"MessageLogPath": "t\u0000", "UseSRTP": "None\u0000", "Logging": {"StackLogPath": "\u0000"},
                           "TLS": {"Ciphers": ["\u0000"]}, "Codecs": [{"Encoding": "x", "Type": "\u0000",
                           "ClockRate": 1, "Parameters": ["p\u0000"]}, {"Encoding": "x", "Type": "audio", "ClockRate": 1,
                           "Parameters": ["p\u0000"]}], "Cryptos": [{"CryptoSuite": "\u0000", "MasterKeyLength": 1,
                           "UseMKI": true, "NumberOfMasterKeys": 1}],
                           "SupportedContentTypes": [{"Method": "\u0000", "ContentTypes": []}],
                           "UserAgent\u0000": "key with a NUL"})",
                       {{Kind::UnknownKey, "\"UserAgent\\u0000\""},
                        {Kind::RejectedValue, "MessageLogPath"},
                        {Kind::RejectedEntry, "TLS.Ciphers[0]"},
                        {Kind::RejectedEntry, "SupportedContentTypes[0]"},
                        {Kind::RejectedEntry, "Codecs[0]"},
                        {Kind::RejectedEntry, "Codecs[1].Parameters[0]"},
                        {Kind::RejectedValue, "UseSRTP"},
                        {Kind::RejectedEntry, "Cryptos[0]"},
                        {Kind::RejectedValue, "Logging.StackLogPath"}}},
        DiagnosticCase{"", {{Kind::InvalidDocument, ""}}},
        DiagnosticCase{"[]", {{Kind::InvalidDocument, ""}}},
        DiagnosticCase{R"({"Foo": 1,})", {{Kind::InvalidDocument, ""}}}));

TEST(ConfigDiagnostics, MessagesSayWhy) {
    const auto entries = Entries(R"({"UDPPort": 5060.0, "UseSRTP": "srtp\n",
                                     "Codecs": [{"Encoding": "PCMU", "Type": "audio"}], "WSPort": 65617})");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].Message, "UDPPort: expected an unsigned number (0 to 4294967295, without fraction or "
                                  "exponent), found a number with a fraction or exponent, or out of range; ignored, "
                                  "the default is kept");
    EXPECT_EQ(entries[1].Message, "WSPort: 65617 is above 65535; its low 16 bits are used (81)");
    EXPECT_EQ(entries[2].Message, "Codecs[0]: entry skipped: \"ClockRate\" is missing");
    EXPECT_EQ(entries[3].Message, "UseSRTP: \"srtp\\n\" names no value; the setting is None");
}

TEST(ConfigDiagnostics, NulCharactersAreNamedInTheMessage) {
    const auto entries = Entries(R"({"TLS": {"CertificatePath": "c.pem\u0000x"}, "SupportedMethods": ["A\u0000"],
                                     "Codecs": [{"Encoding": "\u0000", "Type": "audio", "ClockRate": 8000}]})");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Message, "TLS.CertificatePath: contains a NUL character (\\u0000); ignored, the default is kept");
    EXPECT_EQ(entries[1].Message, "SupportedMethods[0]: entry skipped: contains a NUL character (\\u0000)");
    EXPECT_EQ(entries[2].Message, "Codecs[0]: entry skipped: \"Encoding\" contains a NUL character (\\u0000)");
}

TEST(ConfigDiagnostics, InvalidDocumentNamesTheParseError) {
    const auto entries = Entries("{\"UDPPort\": 5060 \"TCPPort\": 5061}");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_THAT(entries[0].Message, HasSubstr("not valid JSON"));
    EXPECT_THAT(entries[0].Message, HasSubstr("at byte 17"));
    EXPECT_THAT(Entries("\"x\"")[0].Message, HasSubstr("the root is a string, not an object"));
    EXPECT_THAT(Entries("")[0].Message, HasSubstr("every setting keeps its default"));
}

TEST(ConfigDiagnostics, NullTextIsReported) {
    ConfigDiagnosticLog log;
    const auto config = ReadConfig(nullptr, &log);
    EXPECT_EQ(config.UDPPort, 5060);
    EXPECT_THAT(log.Entries(), ::testing::SizeIs(1));
}

std::string Nested(unsigned depth) {
    // The root object is level 1; each array inside it adds one.
    return "{\"X\": " + std::string(depth - 1, '[') + std::string(depth - 1, ']') + ", \"UDPPort\": 5070}";
}

TEST(ConfigBounds, NestingUpToTheBoundIsRead) {
    ConfigDiagnosticLog log;
    const auto config = ReadConfig(Nested(MaxConfigNestingDepth).c_str(), &log);
    EXPECT_EQ(config.UDPPort, 5070);
    EXPECT_THAT(Reports(Nested(MaxConfigNestingDepth)), ElementsAre(std::pair{Kind::UnknownKey, std::string{"X"}}));
}

TEST(ConfigBounds, DeeperNestingIsAnInvalidDocument) {
    ConfigDiagnosticLog log;
    const auto config = ReadConfig(Nested(MaxConfigNestingDepth + 1).c_str(), &log);
    EXPECT_EQ(config.UDPPort, 5060);
    ASSERT_EQ(log.Entries().size(), 1u);
    EXPECT_EQ(log.Entries()[0].Kind, Kind::InvalidDocument);
    EXPECT_THAT(log.Entries()[0].Message, HasSubstr("nested deeper than 32 levels"));
}

TEST(ConfigBounds, MillionOpeningBracketsNeitherCrashNorRecurse) {
    // Unbounded, the parser would recurse a million times and overflow the stack.
    for (const char open : {'[', '{'}) {
        std::string text(1'000'000, open);
        if (open == '{') {
            // Keep it an object of objects: {"a":{"a":...
            text.clear();
            for (int i = 0; i < 200'000; ++i) {
                text += "{\"a\":";
            }
        }
        ConfigDiagnosticLog log;
        const auto config = ReadConfig(text.c_str(), &log);
        EXPECT_EQ(config.UDPPort, 5060);
        ASSERT_EQ(log.Entries().size(), 1u);
        EXPECT_THAT(log.Entries()[0].Message, HasSubstr("nested deeper"));
        EXPECT_EQ(Deserialise(text.c_str()).TCPPort, 5060);
    }
}

TEST(ConfigBounds, BracketsInsideStringsDoNotCount) {
    const std::string text = "{\"UserAgent\": \"" + std::string(100'000, '[') + "\"}";
    EXPECT_EQ(Deserialise(text.c_str()).UserAgent.size(), 100'000u);
}

TEST(ConfigBounds, TextSizeIsBounded) {
    const std::string head = "{\"UserAgent\": \"";
    const std::string tail = "\"}";
    std::string atBound = head + std::string(MaxConfigTextSize - head.size() - tail.size(), 'a') + tail;
    ASSERT_EQ(atBound.size(), MaxConfigTextSize);
    ConfigDiagnosticLog log;
    EXPECT_EQ(ReadConfig(atBound.c_str(), &log).UserAgent.size(), MaxConfigTextSize - head.size() - tail.size());
    EXPECT_TRUE(log.Entries().empty());

    const std::string overBound = head + std::string(MaxConfigTextSize, 'a') + tail;
    ConfigDiagnosticLog overLog;
    EXPECT_EQ(ReadConfig(overBound.c_str(), &overLog).UserAgent, "");
    ASSERT_EQ(overLog.Entries().size(), 1u);
    EXPECT_THAT(overLog.Entries()[0].Message, HasSubstr("longer than 1048576 bytes"));
}

TEST(ConfigExample, ShippedExampleHasNothingIgnored) {
    std::ifstream file(ZEL_SOURCE_DIR "/examples/config/example.json", std::ios::binary);
    ASSERT_TRUE(file) << "cannot open the example";
    std::stringstream text;
    text << file.rdbuf();
    ConfigDiagnosticLog log;
    const auto config = ReadConfig(text.str().c_str(), &log);
    for (const auto& entry : log.Entries()) {
        ADD_FAILURE() << entry.Message;
    }
    // The example sets something in every part of the record.
    EXPECT_FALSE(config.UserAgent.empty());
    EXPECT_FALSE(config.TLS.Ciphers.empty());
    EXPECT_FALSE(config.SupportedContentTypes.empty());
    EXPECT_FALSE(config.Codecs.empty());
    EXPECT_FALSE(config.Cryptos.empty());
}

} // namespace
} // namespace zel::sip

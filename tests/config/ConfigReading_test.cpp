#include "config/Config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace zel::sip {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

Config Read(const std::string& json) {
    return Deserialise(json.c_str());
}

void ExpectDefaults(const Config& config) {
    EXPECT_EQ(config.UserAgent, "");
    EXPECT_EQ(config.MessageLogPath, "");
    EXPECT_EQ(config.Address, "");
    EXPECT_TRUE(config.UDPAllowed);
    EXPECT_EQ(config.UDPPort, 5060);
    EXPECT_TRUE(config.TCPAllowed);
    EXPECT_EQ(config.TCPPort, 5060);
    EXPECT_TRUE(config.TLSAllowed);
    EXPECT_EQ(config.TLSPort, 5061);
    EXPECT_TRUE(config.DTLSAllowed);
    EXPECT_EQ(config.DTLSPort, 5061);
    EXPECT_FALSE(config.WSAllowed);
    EXPECT_EQ(config.WSPort, 80);
    EXPECT_FALSE(config.WSSAllowed);
    EXPECT_EQ(config.WSSPort, 443);
    EXPECT_TRUE(config.TLS.Ciphers.empty());
    EXPECT_EQ(config.TLS.DHParametersPath, "");
    EXPECT_EQ(config.TLS.CADirectoryPath, "");
    EXPECT_EQ(config.TLS.CertificatePath, "");
    EXPECT_EQ(config.TLS.PrivateKeyPath, "");
    EXPECT_EQ(config.TLS.ClientVerificationMode, TLSClientVerificationMode::Optional);
    EXPECT_TRUE(config.TLS.AllowWildcardCertificates);
    EXPECT_TRUE(config.SupportedMethods.empty());
    EXPECT_TRUE(config.Capabilities.empty());
    EXPECT_TRUE(config.SupportedOptions.empty());
    EXPECT_TRUE(config.SupportedContentTypes.empty());
    EXPECT_TRUE(config.SupportSessionTimers);
    EXPECT_EQ(config.DefaultMediaMode, "recvonly");
    EXPECT_TRUE(config.Codecs.empty());
    EXPECT_EQ(config.UseSRTP, UseSRTP::BestEffort);
    EXPECT_TRUE(config.Cryptos.empty());
    EXPECT_EQ(config.ExternalContactUri, "");
    EXPECT_TRUE(config.SpecifySessionInformation);
    EXPECT_TRUE(config.SpecifyRTCPAttribute);
    EXPECT_EQ(config.RTCPMultiplexing, RTCPMultiplexingPolicy::None);
    EXPECT_EQ(config.Logging.StackLogLevel, "WARNING");
    EXPECT_EQ(config.Logging.StackLogLevel, Config::Logging::DefaultStackLogLevel);
    EXPECT_EQ(config.Logging.StackLogPath, "");
    EXPECT_EQ(config.Logging.StackLogType, "COUT");
}

// Texts that are not one JSON object all give the default record.
class NotAnObject : public ::testing::TestWithParam<const char*> {};

TEST_P(NotAnObject, YieldsDefaults) {
    SCOPED_TRACE(GetParam());
    ExpectDefaults(Read(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Texts, NotAnObject,
                         ::testing::Values("", "   ", "{}", "{\"UDPPort\": 5070,}", "/* c */ {\"UDPPort\": 5070}",
                                           "{\"UDPPort\": 5070} {\"UDPPort\": 5071}", "{\"UDPPort\": 5070} x",
                                           "{\"UDPPort\": NaN}", "{'UDPPort': 5070}", "{\"UDPPort\": 5070",
                                           "[{\"UDPPort\": 5070}]", "\"text\"", "5070", "true", "null"));

TEST(ConfigReading, NullTextYieldsDefaults) {
    ExpectDefaults(Deserialise(nullptr));
}

TEST(ConfigReading, EveryKeyIsRead) {
    const auto config = Read(R"({
        "UserAgent": "Phone 1.0", "MessageLogPath": "/var/log/sip.log", "Address": "192.0.2.1",
        "UDPAllowed": false, "UDPPort": 5070, "TCPAllowed": false, "TCPPort": 5071,
        "TLSAllowed": false, "TLSPort": 5072, "DTLSAllowed": false, "DTLSPort": 5073,
        "WSAllowed": true, "WSPort": 8080, "WSSAllowed": true, "WSSPort": 8443,
        "TLS": {"Ciphers": ["B", "A"], "DHParametersPath": "dh.pem", "CADirectoryPath": "/ca",
                "CertificatePath": "cert.pem", "PrivateKeyPath": "key.pem",
                "ClientVerificationMode": "Mandatory", "AllowWildcardCertificates": false},
        "SupportedMethods": ["INVITE"], "Capabilities": ["audio"], "SupportedOptions": ["timer"],
        "SupportedContentTypes": [{"Method": "INVITE", "ContentTypes": ["application/sdp"]}],
        "SupportSessionTimers": false, "DefaultMediaMode": "sendrecv",
        "Codecs": [{"Encoding": "opus", "Type": "audio", "ClockRate": 48000, "Channels": 2,
                    "Parameters": ["useinbandfec=1"]}],
        "UseSRTP": "Mandatory",
        "Cryptos": [{"CryptoSuite": "AES_CM_128_HMAC_SHA1_80", "MasterKeyLength": 30, "UseMKI": true,
                     "NumberOfMasterKeys": 2}],
        "ExternalContactUri": "sip:198.51.100.7:5090",
        "SDP": {"SpecifySessionInformation": false, "SpecifyRTCPAttribute": false},
        "RTCPMultiplexing": "Required",
        "Logging": {"StackLogLevel": "DEBUG", "StackLogPath": "/tmp/stack.log", "StackLogType": "FILE"}
    })");
    EXPECT_EQ(config.UserAgent, "Phone 1.0");
    EXPECT_EQ(config.MessageLogPath, "/var/log/sip.log");
    EXPECT_EQ(config.Address, "192.0.2.1");
    EXPECT_FALSE(config.UDPAllowed);
    EXPECT_EQ(config.UDPPort, 5070);
    EXPECT_FALSE(config.TCPAllowed);
    EXPECT_EQ(config.TCPPort, 5071);
    EXPECT_FALSE(config.TLSAllowed);
    EXPECT_EQ(config.TLSPort, 5072);
    EXPECT_FALSE(config.DTLSAllowed);
    EXPECT_EQ(config.DTLSPort, 5073);
    EXPECT_TRUE(config.WSAllowed);
    EXPECT_EQ(config.WSPort, 8080);
    EXPECT_TRUE(config.WSSAllowed);
    EXPECT_EQ(config.WSSPort, 8443);
    EXPECT_THAT(config.TLS.Ciphers, ElementsAre("B", "A"));
    EXPECT_EQ(config.TLS.DHParametersPath, "dh.pem");
    EXPECT_EQ(config.TLS.CADirectoryPath, "/ca");
    EXPECT_EQ(config.TLS.CertificatePath, "cert.pem");
    EXPECT_EQ(config.TLS.PrivateKeyPath, "key.pem");
    EXPECT_EQ(config.TLS.ClientVerificationMode, TLSClientVerificationMode::Mandatory);
    EXPECT_FALSE(config.TLS.AllowWildcardCertificates);
    EXPECT_THAT(config.SupportedMethods, ElementsAre("INVITE"));
    EXPECT_THAT(config.Capabilities, ElementsAre("audio"));
    EXPECT_THAT(config.SupportedOptions, ElementsAre("timer"));
    EXPECT_THAT(config.SupportedContentTypes, ElementsAre(Pair("INVITE", "application/sdp")));
    EXPECT_FALSE(config.SupportSessionTimers);
    EXPECT_EQ(config.DefaultMediaMode, "sendrecv");
    ASSERT_EQ(config.Codecs.size(), 1u);
    EXPECT_EQ(config.Codecs[0].Encoding, "opus");
    EXPECT_EQ(config.Codecs[0].Type, "audio");
    EXPECT_EQ(config.Codecs[0].ClockRate, 48000u);
    EXPECT_EQ(config.Codecs[0].Channels, 2);
    EXPECT_THAT(config.Codecs[0].Parameters, ElementsAre("useinbandfec=1"));
    EXPECT_EQ(config.UseSRTP, UseSRTP::Mandatory);
    ASSERT_EQ(config.Cryptos.size(), 1u);
    EXPECT_EQ(config.Cryptos[0].CryptoSuite, "AES_CM_128_HMAC_SHA1_80");
    EXPECT_EQ(config.Cryptos[0].MasterKeyLength, 30u);
    EXPECT_TRUE(config.Cryptos[0].UseMKI);
    EXPECT_EQ(config.Cryptos[0].NumberOfMasterKeys, 2u);
    EXPECT_EQ(config.ExternalContactUri, "sip:198.51.100.7:5090");
    EXPECT_FALSE(config.SpecifySessionInformation);
    EXPECT_FALSE(config.SpecifyRTCPAttribute);
    EXPECT_EQ(config.RTCPMultiplexing, RTCPMultiplexingPolicy::Required);
    EXPECT_EQ(config.Logging.StackLogLevel, "DEBUG");
    EXPECT_EQ(config.Logging.StackLogPath, "/tmp/stack.log");
    EXPECT_EQ(config.Logging.StackLogType, "FILE");
}

// The unsigned kind: digits only, 0 to 4294967295; a 16-bit field keeps the low 16 bits.
struct PortCase {
    const char* Value;
    std::uint16_t Expected;
};

class PortValue : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortValue, IsReadOrIgnored) {
    SCOPED_TRACE(GetParam().Value);
    const auto config = Read(std::string{R"({"UDPPort": )"} + GetParam().Value + "}");
    EXPECT_EQ(config.UDPPort, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, PortValue,
    ::testing::Values(PortCase{"5070", 5070}, PortCase{"0", 0}, PortCase{"65535", 65535}, PortCase{"-0", 0},
                      PortCase{"65536", 0}, PortCase{"70000", 4464}, PortCase{"4294967295", 65535},
                      PortCase{"\"5070\"", 5060}, PortCase{"5070.0", 5060}, PortCase{"5e3", 5060},
                      PortCase{"5070E0", 5060}, PortCase{"-1", 5060}, PortCase{"4294967296", 5060},
                      PortCase{"18446744073709551616", 5060},
                      PortCase{"true", 5060}, PortCase{"null", 5060}, PortCase{"[5070]", 5060},
                      PortCase{"{}", 5060}));

// Enumerations: a string always sets the field, a text outside the list sets None; another kind
// leaves the default.
struct EnumerationCase {
    const char* Document;
    UseSRTP SRTP;
    RTCPMultiplexingPolicy Multiplexing;
    TLSClientVerificationMode Verification;
};

class Enumeration : public ::testing::TestWithParam<EnumerationCase> {};

TEST_P(Enumeration, MapsText) {
    const auto& c = GetParam();
    SCOPED_TRACE(c.Document);
    const auto config = Read(c.Document);
    EXPECT_EQ(config.UseSRTP, c.SRTP);
    EXPECT_EQ(config.RTCPMultiplexing, c.Multiplexing);
    EXPECT_EQ(config.TLS.ClientVerificationMode, c.Verification);
}

constexpr auto BestEffort = UseSRTP::BestEffort;
constexpr auto NoMux = RTCPMultiplexingPolicy::None;
constexpr auto Optional = TLSClientVerificationMode::Optional;

INSTANTIATE_TEST_SUITE_P(
    Texts, Enumeration,
    ::testing::Values(
        EnumerationCase{R"({"UseSRTP": "Fallback"})", UseSRTP::Fallback, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": "fallback"})", UseSRTP::Fallback, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": "MULTIPLEMEDIADESCRIPTOR"})", UseSRTP::MultipleMediaDescriptor, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": "besteffort"})", UseSRTP::BestEffort, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": "mandatory"})", UseSRTP::Mandatory, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": ""})", UseSRTP::None, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": "Best Effort"})", UseSRTP::None, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": "None"})", UseSRTP::None, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": 2})", BestEffort, NoMux, Optional},
        EnumerationCase{R"({"UseSRTP": null})", BestEffort, NoMux, Optional},
        EnumerationCase{R"({"RTCPMultiplexing": "Supported"})", BestEffort, RTCPMultiplexingPolicy::Supported,
                        Optional},
        EnumerationCase{R"({"RTCPMultiplexing": "required"})", BestEffort, NoMux, Optional},
        EnumerationCase{R"({"TLS": {"ClientVerificationMode": "Mandatory"}})", BestEffort, NoMux,
                        TLSClientVerificationMode::Mandatory},
        EnumerationCase{R"({"TLS": {"ClientVerificationMode": "mandatory"}})", BestEffort, NoMux,
                        TLSClientVerificationMode::None},
        EnumerationCase{R"({"TLS": {"ClientVerificationMode": "optional"}})", BestEffort, NoMux,
                        TLSClientVerificationMode::None},
        EnumerationCase{R"({"TLS": {"ClientVerificationMode": 2}})", BestEffort, NoMux, Optional},
        // A text holding a NUL is rejected as every string of the document is: the default stays.
        EnumerationCase{R"({"UseSRTP": "Fallback\u0000x"})", BestEffort, NoMux, Optional},
        EnumerationCase{R"({"TLS": {"ClientVerificationMode": "None\u0000"}})", BestEffort, NoMux, Optional}));

TEST(ConfigReading, StringSetsAreUniqueAndAscending) {
    const auto config = Read(R"({"SupportedMethods": ["UPDATE", "INFO", 7, "UPDATE", null, "INFO"],
                                 "SupportedOptions": ["timer", "Timer", "100rel"],
                                 "Capabilities": "audio"})");
    EXPECT_THAT(config.SupportedMethods, ElementsAre("INFO", "UPDATE"));
    EXPECT_THAT(config.SupportedOptions, ElementsAre("100rel", "Timer", "timer"));
    EXPECT_TRUE(config.Capabilities.empty());
}

TEST(ConfigReading, CiphersKeepDocumentOrderAndDuplicates) {
    const auto config = Read(R"({"TLS": {"Ciphers": ["Z", 1, "A", "Z"]}})");
    EXPECT_THAT(config.TLS.Ciphers, ElementsAre("Z", "A", "Z"));
}

TEST(ConfigReading, SupportedContentTypesSkipBadEntriesAndElements) {
    const auto config = Read(R"({"SupportedContentTypes": [
        {"Method": "MESSAGE", "ContentTypes": ["text/plain", 3, "application/im-iscomposing+xml"]},
        {"Method": "INVITE"},
        {"Method": 1, "ContentTypes": ["x/y"]},
        {"ContentTypes": ["x/y"]},
        {"Method": "INFO", "ContentTypes": "application/dtmf-relay"},
        "INVITE",
        {"Method": "INVITE", "ContentTypes": ["application/sdp"]},
        {"Method": "MESSAGE", "ContentTypes": ["message/cpim"]}
    ]})");
    EXPECT_THAT(config.SupportedContentTypes,
                ElementsAre(Pair("INVITE", "application/sdp"), Pair("MESSAGE", "text/plain"),
                            Pair("MESSAGE", "application/im-iscomposing+xml"), Pair("MESSAGE", "message/cpim")));
}

TEST(ConfigReading, CodecEntriesFailingARequirementAreSkipped) {
    const auto config = Read(R"({"Codecs": [
        {"Encoding": "PCMU", "Type": "audio", "ClockRate": 8000},
        {"Encoding": "nope1", "Type": "audio"},
        {"Encoding": "nope2", "Type": "audio", "ClockRate": 8000, "Channels": "1"},
        {"Encoding": "nope3", "Type": "audio", "ClockRate": 8000, "Parameters": "mode=20"},
        {"Encoding": "nope4", "Type": "audio", "ClockRate": 8000.0},
        {"Encoding": "nope5", "Type": "audio", "ClockRate": -8000},
        {"Type": "audio", "ClockRate": 8000},
        {"Encoding": "nope7", "ClockRate": 8000},
        {"Encoding": "nope8", "Type": 1, "ClockRate": 8000},
        ["PCMA"],
        {"Encoding": "telephone-event", "Type": "audio", "ClockRate": 8000, "Channels": 65537,
         "Parameters": ["0-16", 5, "x"]}
    ]})");
    ASSERT_EQ(config.Codecs.size(), 2u);
    EXPECT_EQ(config.Codecs[0].Encoding, "PCMU");
    EXPECT_EQ(config.Codecs[0].Channels, 1);
    EXPECT_TRUE(config.Codecs[0].Parameters.empty());
    EXPECT_EQ(config.Codecs[1].Encoding, "telephone-event");
    EXPECT_EQ(config.Codecs[1].Channels, 1); // low 16 bits of 65537
    EXPECT_THAT(config.Codecs[1].Parameters, ElementsAre("0-16", "x"));
}

TEST(ConfigReading, CryptoEntriesNeedAllFourMembers) {
    const auto config = Read(R"({"Cryptos": [
        {"CryptoSuite": "A", "MasterKeyLength": 30, "NumberOfMasterKeys": 1},
        {"CryptoSuite": "B", "MasterKeyLength": 30, "UseMKI": "false", "NumberOfMasterKeys": 1},
        {"CryptoSuite": "C", "MasterKeyLength": 30.0, "UseMKI": false, "NumberOfMasterKeys": 1},
        {"CryptoSuite": "D", "MasterKeyLength": 30, "UseMKI": false},
        {"MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1},
        {"CryptoSuite": "F", "MasterKeyLength": 4294967295, "UseMKI": false, "NumberOfMasterKeys": 0},
        {"CryptoSuite": "G", "MasterKeyLength": 4294967296, "UseMKI": false, "NumberOfMasterKeys": 1}
    ]})");
    ASSERT_EQ(config.Cryptos.size(), 1u);
    EXPECT_EQ(config.Cryptos[0].CryptoSuite, "F");
    EXPECT_EQ(config.Cryptos[0].MasterKeyLength, 4294967295u);
    EXPECT_FALSE(config.Cryptos[0].UseMKI);
    EXPECT_EQ(config.Cryptos[0].NumberOfMasterKeys, 0u);
}

TEST(ConfigReading, NestedObjectsOfAnotherKindKeepTheirDefaults) {
    ExpectDefaults(Read(R"({"TLS": [{"AllowWildcardCertificates": false}], "SDP": 0,
                            "Logging": "{\"StackLogLevel\": \"DEBUG\"}"})"));
    // Keys of nested objects are not found at the top level.
    ExpectDefaults(Read(R"({"AllowWildcardCertificates": false, "SpecifyRTCPAttribute": false,
                            "StackLogLevel": "DEBUG", "TLS.PrivateKeyPath": "k"})"));
}

TEST(ConfigReading, KeysMatchExactlyAndTheFirstOfTwoCounts) {
    const auto config = Read(R"({"useragent": "lower", "UserAgent ": "space", "UserAgent\u0000": "nul",
                                 "UserAgent": "first", "UserAgent": "second",
                                 "UDPPort": "bad", "UDPPort": 5070,
                                 "SDP": {"SpecifyRTCPAttribute": false},
                                 "SDP": {"SpecifySessionInformation": false}})");
    EXPECT_EQ(config.UserAgent, "first");
    EXPECT_EQ(config.UDPPort, 5060); // the first member is of the wrong kind; the second is not consulted
    EXPECT_FALSE(config.SpecifyRTCPAttribute);
    EXPECT_TRUE(config.SpecifySessionInformation);
}

TEST(ConfigReading, StringsHoldingANulAreRejectedWhole) {
    // Cut at the NUL, "/etc/zel/key.pem\u0000.bak" would name another file than the one written.
    const auto config = Read(R"({"UserAgent": "ab\u0000cd", "MessageLogPath": "/tmp/trace\u0000.log",
                                 "DefaultMediaMode": "\u0000", "Address": "x",
                                 "TLS": {"PrivateKeyPath": "/etc/zel/key.pem\u0000.bak", "Ciphers": ["A\u0000", "B"]},
                                 "Logging": {"StackLogPath": "\u0000/x"},
                                 "SupportedMethods": ["IN\u0000VITE", "BYE"],
                                 "SupportedContentTypes": [{"Method": "MESSAGE\u0000", "ContentTypes": ["a/b"]},
                                                           {"Method": "INFO", "ContentTypes": ["x/\u0000", "c/d"]}],
                                 "Codecs": [{"Encoding": "PCMU\u0000", "Type": "audio", "ClockRate": 8000},
                                            {"Encoding": "PCMA", "Type": "au\u0000dio", "ClockRate": 8000},
                                            {"Encoding": "G722", "Type": "audio", "ClockRate": 8000,
                                             "Parameters": ["a\u0000", "b"]}],
                                 "Cryptos": [{"CryptoSuite": "AES_CM_128_HMAC_SHA1_80\u0000", "MasterKeyLength": 30,
                                              "UseMKI": false, "NumberOfMasterKeys": 1}]})");
    EXPECT_EQ(config.UserAgent, "");
    EXPECT_EQ(config.MessageLogPath, "");
    EXPECT_EQ(config.DefaultMediaMode, Config{}.DefaultMediaMode);
    EXPECT_EQ(config.Address, "x");
    EXPECT_EQ(config.TLS.PrivateKeyPath, "");
    EXPECT_THAT(config.TLS.Ciphers, ElementsAre("B"));
    EXPECT_EQ(config.Logging.StackLogPath, Config{}.Logging.StackLogPath);
    EXPECT_THAT(config.SupportedMethods, ElementsAre("BYE"));
    EXPECT_THAT(config.SupportedContentTypes, ElementsAre(Pair("INFO", "c/d")));
    ASSERT_EQ(config.Codecs.size(), 1u);
    EXPECT_EQ(config.Codecs[0].Encoding, "G722");
    EXPECT_THAT(config.Codecs[0].Parameters, ElementsAre("b"));
    EXPECT_TRUE(config.Cryptos.empty());
}

TEST(ConfigReading, StringsAreKeptAsGiven) {
    // Escapes are decoded; bytes that are not valid UTF-8 are not checked and pass unchanged.
    const auto config = Read("{\"UserAgent\": \"caf\\u00e9 \\\"q\\\" \xff\xfe\", \"DefaultMediaMode\": \"bogus\"}");
    EXPECT_EQ(config.UserAgent, "caf\xc3\xa9 \"q\" \xff\xfe");
    EXPECT_EQ(config.DefaultMediaMode, "bogus");
}

} // namespace
} // namespace zel::sip

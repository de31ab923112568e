#include "config/ConfigDiagnostics.h"
#include "config/ConfigPrinter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace zel::sip {
namespace {

using ::testing::HasSubstr;

// Field-wise comparison; the record itself offers no equality.
void ExpectSame(const Config& a, const Config& b) {
    const auto top = [](const Config& c) {
        return std::tie(c.UserAgent, c.MessageLogPath, c.Address, c.UDPAllowed, c.UDPPort, c.TCPAllowed, c.TCPPort,
                        c.TLSAllowed, c.TLSPort, c.DTLSAllowed, c.DTLSPort, c.WSAllowed, c.WSPort, c.WSSAllowed,
                        c.WSSPort, c.SupportedMethods, c.Capabilities, c.SupportedOptions, c.SupportedContentTypes,
                        c.SupportSessionTimers, c.DefaultMediaMode, c.UseSRTP, c.ExternalContactUri,
                        c.SpecifySessionInformation, c.SpecifyRTCPAttribute, c.RTCPMultiplexing);
    };
    const auto tls = [](const Config& c) {
        return std::tie(c.TLS.Ciphers, c.TLS.DHParametersPath, c.TLS.CADirectoryPath, c.TLS.CertificatePath,
                        c.TLS.PrivateKeyPath, c.TLS.ClientVerificationMode, c.TLS.AllowWildcardCertificates);
    };
    const auto logging = [](const Config& c) {
        return std::tie(c.Logging.StackLogLevel, c.Logging.StackLogPath, c.Logging.StackLogType);
    };
    EXPECT_TRUE(top(a) == top(b));
    EXPECT_TRUE(tls(a) == tls(b));
    EXPECT_TRUE(logging(a) == logging(b));
    ASSERT_EQ(a.Codecs.size(), b.Codecs.size());
    for (std::size_t i = 0; i < a.Codecs.size(); ++i) {
        const auto codec = [](const Codec& c) {
            return std::tie(c.Encoding, c.Type, c.ClockRate, c.Channels, c.Parameters);
        };
        EXPECT_TRUE(codec(a.Codecs[i]) == codec(b.Codecs[i])) << "codec " << i;
    }
    ASSERT_EQ(a.Cryptos.size(), b.Cryptos.size());
    for (std::size_t i = 0; i < a.Cryptos.size(); ++i) {
        const auto crypto = [](const Crypto& c) {
            return std::tie(c.CryptoSuite, c.MasterKeyLength, c.UseMKI, c.NumberOfMasterKeys);
        };
        EXPECT_TRUE(crypto(a.Cryptos[i]) == crypto(b.Cryptos[i])) << "crypto " << i;
    }
}

// Printing, then reading the print back, gives the same record and nothing to report.
class RoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(RoundTrip, PrintedRecordReadsBackTheSame) {
    const auto original = Deserialise(GetParam());
    const auto printed = PrintConfig(original);
    SCOPED_TRACE(printed);
    ConfigDiagnosticLog log;
    const auto again = ReadConfig(printed.c_str(), &log);
    EXPECT_TRUE(log.Entries().empty()) << log.Entries().front().Message;
    ExpectSame(original, again);
    EXPECT_EQ(PrintConfig(again), printed);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, RoundTrip,
    ::testing::Values(
        "{}",
        R"({"UseSRTP": "bogus", "RTCPMultiplexing": "Supported", "TLS": {"ClientVerificationMode": "x"}})",
        R"({"UseSRTP": "multiplemediadescriptor", "RTCPMultiplexing": "Required",
            "TLS": {"ClientVerificationMode": "Mandatory", "Ciphers": ["B", "A", "B"]}})",
        R"({"UserAgent": "tab\there \"quoted\" \u0001 caf\u00e9 \\ /", "WSPort": 70000, "UDPAllowed": false,
            "SupportedMethods": ["UPDATE", "INFO"], "Capabilities": ["+sip.instance"], "SupportedOptions": ["100rel"],
            "SupportedContentTypes": [{"Method": "MESSAGE", "ContentTypes": ["text/plain", "message/cpim"]},
                                      {"Method": "INFO", "ContentTypes": ["application/dtmf-relay"]},
                                      {"Method": "MESSAGE", "ContentTypes": ["text/html"]},
                                      {"Method": "BYE", "ContentTypes": []}],
            "Codecs": [{"Encoding": "opus", "Type": "audio", "ClockRate": 48000, "Channels": 2,
                        "Parameters": ["minptime=10", "useinbandfec=1"]},
                       {"Encoding": "PCMU", "Type": "audio", "ClockRate": 8000, "Channels": 0}],
            "Cryptos": [{"CryptoSuite": "AES_256_CM_HMAC_SHA1_80", "MasterKeyLength": 4294967295, "UseMKI": true,
                         "NumberOfMasterKeys": 0}],
            "SDP": {"SpecifySessionInformation": false}, "Logging": {"StackLogType": "FILE"}})"));

TEST(ConfigPrinter, RawBytesSurviveTheRoundTrip) {
    Config config;
    config.UserAgent = "\xff\xfe\x80 raw";
    config.DefaultMediaMode = std::string("\x1f\x7f", 2);
    const auto again = Deserialise(PrintConfig(config).c_str());
    EXPECT_EQ(again.UserAgent, config.UserAgent);
    EXPECT_EQ(again.DefaultMediaMode, config.DefaultMediaMode);
}

TEST(ConfigPrinter, UsesTheDocumentLayoutAndEnumerationTexts) {
    Config config;
    config.UseSRTP = UseSRTP::None;
    config.TLS.ClientVerificationMode = TLSClientVerificationMode::Mandatory;
    const auto printed = PrintConfig(config);
    EXPECT_THAT(printed, HasSubstr("\"UseSRTP\": \"None\""));
    EXPECT_THAT(printed, HasSubstr("\"ClientVerificationMode\": \"Mandatory\""));
    EXPECT_THAT(printed, HasSubstr("\"RTCPMultiplexing\": \"None\""));
    EXPECT_THAT(printed, HasSubstr("\"SDP\": {\n    \"SpecifySessionInformation\": true"));
    EXPECT_THAT(printed, HasSubstr("\"StackLogLevel\": \"WARNING\""));
}

} // namespace
} // namespace zel::sip

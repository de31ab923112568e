#include "stack/body/sdp/Medium.h"

#include <gtest/gtest.h>

namespace sdp = zel::sip::stack::sdp;

TEST(SdpCodec, EqualityIgnoresCasePayloadTypeAndFormatParameters) {
    struct Case {
        sdp::Codec a;
        sdp::Codec b;
        bool equal;
    };
    const Case cases[] = {
        {{0, "PCMU", 8000}, {0, "pcmu", 8000}, true},
        {{0, "PCMU", 8000}, {99, "PCMU", 8000, "", "x=1"}, true},
        {{0, "PCMU", 8000}, {0, "PCMU", 16000}, false},
        {{0, "PCMU", 8000}, {0, "PCMA", 8000}, false},
        {{96, "opus", 48000, "2"}, {111, "OPUS", 48000, "2"}, true},
        {{96, "opus", 48000, "2"}, {111, "opus", 48000}, false},
        {{0, "PCMU", 8000, "1"}, {0, "PCMU", 8000}, true}, // one channel may be left out
        {{0, "L16", 44100, "2"}, {0, "L16", 44100, "1"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.RtpmapText() << " vs " << c.b.RtpmapText();
        EXPECT_EQ(c.b == c.a, c.equal);
    }
}

TEST(SdpCodec, StaticTableOfRfc3551) {
    struct Case {
        unsigned pt;
        const char* rtpmap; // empty: no static assignment
    };
    const Case cases[] = {{0, "PCMU/8000"},     {3, "GSM/8000"},   {4, "G723/8000"},  {8, "PCMA/8000"},
                          {9, "G722/8000"},     {10, "L16/44100/2"}, {13, "CN/8000"}, {18, "G729/8000"},
                          {34, "H263/90000"},   {2, ""},           {19, ""},          {96, ""},
                          {127, ""},            {255, ""}};
    for (const auto& c : cases) {
        const auto codec = sdp::StaticCodec(c.pt);
        if (*c.rtpmap == '\0') {
            EXPECT_FALSE(codec) << c.pt;
        } else {
            ASSERT_TRUE(codec) << c.pt;
            EXPECT_EQ(codec->RtpmapText(), c.rtpmap);
            EXPECT_EQ(codec->payloadType, c.pt);
        }
    }
}

TEST(SdpCodec, RtpmapParsing) {
    auto c = sdp::ParseRtpmap("96 opus/48000/2");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->payloadType, 96u);
    EXPECT_EQ(c->name, "opus");
    EXPECT_EQ(c->clockRate, 48000u);
    EXPECT_EQ(c->encodingParameters, "2");
    for (const char* bad : {"", "96", "96 opus", "96 /8000", "96 opus/", "96 opus/x", "x PCMU/8000", "128 a/1",
                            "96 opus/99999999999"}) {
        EXPECT_FALSE(sdp::ParseRtpmap(bad)) << bad;
    }
}

TEST(SdpMedium, CodecsPreferRtpmapOverStaticTableAndSkipUnknownDynamicTypes) {
    sdp::Medium m("audio", 5000, 1, "RTP/AVP");
    m.Formats() = {"0", "96", "97", "13", "abc"};
    m.Attributes().Add("rtpmap", "0 PCMU/16000"); // a remapped static type: the rtpmap wins
    m.Attributes().Add("rtpmap", "96 broken");    // unusable, and 96 has no static assignment
    m.Attributes().Add("rtpmap", "97 iLBC/8000");
    m.Attributes().Add("rtpmap", "97 second/8000"); // only the first rtpmap of a type counts
    m.Attributes().Add("fmtp", "97 mode=30");
    const auto codecs = m.Codecs();
    ASSERT_EQ(codecs.size(), 3u);
    EXPECT_EQ(codecs[0].RtpmapText(), "PCMU/16000");
    EXPECT_EQ(codecs[1].RtpmapText(), "iLBC/8000");
    EXPECT_EQ(codecs[1].formatParameters, "mode=30");
    EXPECT_EQ(codecs[2].RtpmapText(), "CN/8000");
}

TEST(SdpMedium, AddAndClearCodecsKeepOtherAttributesInPlace) {
    sdp::Medium m("audio", 5000, 1, "RTP/AVP");
    m.Attributes().Add("ptime", "20");
    m.AddCodec(sdp::Codec(0, "PCMU", 8000));
    m.Attributes().Add("sendrecv");
    m.AddCodec(sdp::Codec(101, "telephone-event", 8000, "", "0-16"));
    // Re-adding a payload type replaces its lines and does not repeat the format.
    m.AddCodec(sdp::Codec(101, "telephone-event", 8000, "", "0-15"));
    EXPECT_EQ(m.Formats(), (std::vector<std::string>{"0", "101"}));
    std::string text;
    m.Encode(text);
    EXPECT_EQ(text, "m=audio 5000 RTP/AVP 0 101\r\n"
                    "a=rtpmap:0 PCMU/8000\r\n"
                    "a=rtpmap:101 telephone-event/8000\r\n"
                    "a=fmtp:101 0-15\r\n"
                    "a=ptime:20\r\n"
                    "a=sendrecv\r\n");
    m.ClearCodecs();
    EXPECT_TRUE(m.Formats().empty());
    EXPECT_TRUE(m.Codecs().empty());
    EXPECT_EQ(m.Attributes().Size(), 2u);
    text.clear();
    m.Encode(text);
    EXPECT_EQ(text, "m=audio 5000 RTP/AVP\r\na=ptime:20\r\na=sendrecv\r\n");
}

TEST(SdpMedium, PortCountAndConnections) {
    sdp::Medium m("video", 51372, 2, "RTP/AVP");
    EXPECT_EQ(m.EncodeMediaLine(), "video 51372/2 RTP/AVP");
    m.SetPortCount(0); // no such thing as zero ports: one
    EXPECT_EQ(m.PortCount(), 1u);
    EXPECT_EQ(m.EncodeMediaLine(), "video 51372 RTP/AVP");

    const sdp::Connection session(sdp::AddrType::IP4, "10.0.0.1");
    EXPECT_EQ(m.EffectiveConnections(session), std::vector<sdp::Connection>{session});
    EXPECT_TRUE(m.EffectiveConnections(std::nullopt).empty());
    m.AddConnection(sdp::Connection(sdp::AddrType::IP6, "2001:db8::1"));
    m.AddConnection(sdp::Connection(sdp::AddrType::IP6, "2001:db8::2"));
    EXPECT_EQ(m.EffectiveConnections(session).size(), 2u);
    m.SetConnection(sdp::Connection(sdp::AddrType::IP4, "0.0.0.0"));
    ASSERT_EQ(m.Connections().size(), 1u);
    EXPECT_TRUE(m.Connections()[0].IsUnspecified());
}

TEST(SdpConnection, UnspecifiedAddressOfItsOwnType) {
    struct Case {
        sdp::AddrType type;
        const char* address;
        bool unspecified;
    };
    const Case cases[] = {{sdp::AddrType::IP4, "0.0.0.0", true},   {sdp::AddrType::IP4, "10.0.0.1", false},
                          {sdp::AddrType::IP6, "::", true},        {sdp::AddrType::IP6, "0:0::0", true},
                          {sdp::AddrType::IP6, "0.0.0.0", false},  {sdp::AddrType::IP4, "::", false},
                          {sdp::AddrType::IP4, "host.example", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(sdp::Connection(c.type, c.address).IsUnspecified(), c.unspecified) << c.address;
    }
}

TEST(SdpAttributes, OrderedMultiValuedOperations) {
    sdp::Attributes a;
    a.Add("crypto", "1 A");
    a.Add("sendrecv");
    a.Add("crypto", "2 B");
    a.Insert(0, "label", "1");
    a.Insert(99, "crypto", "3 C");
    EXPECT_EQ(a.Values("crypto"), (std::vector<std::string>{"1 A", "2 B", "3 C"}));
    EXPECT_EQ(a.First("label"), "1");
    EXPECT_EQ(a.All().front().Encode(), "label:1");
    EXPECT_EQ(a.All()[2].Encode(), "sendrecv");
    EXPECT_EQ(a.Remove("crypto"), 3u);
    EXPECT_FALSE(a.Exists("crypto"));
    EXPECT_EQ(a.Remove("crypto"), 0u);
    EXPECT_EQ(a.Size(), 2u);
    a.Clear();
    EXPECT_TRUE(a.Empty());
}

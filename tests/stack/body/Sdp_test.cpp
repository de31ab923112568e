#include "stack/body/sdp/Session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace sdp = zel::sip::stack::sdp;

namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(std::string(ZEL_TEST_DATA_DIR) + "/sdp/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

sdp::Session ParseFile(const std::string& name) {
    auto parsed = sdp::Session::Parse(ReadFile(name));
    EXPECT_TRUE(parsed.Ok()) << name << ": " << (parsed.Ok() ? "" : parsed.Error().ToString());
    return parsed.Ok() ? std::move(parsed).Value() : sdp::Session{};
}

std::string Crlf(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out.push_back('\r');
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

// Every canonical sample from phones, PBXs, SBCs and gateways is written back byte for byte,
// and parsing the output again yields an equal model.
TEST(SdpSession, CanonicalSamplesRoundTripExactly) {
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(ZEL_TEST_DATA_DIR) + "/sdp")) {
        const auto name = entry.path().filename().string();
        if (!entry.is_regular_file() || name.starts_with("sloppy")) {
            continue;
        }
        const std::string text = ReadFile(name);
        const auto session = ParseFile(name);
        EXPECT_EQ(session.Encode(), text) << name;
        auto again = sdp::Session::Parse(session.Encode());
        ASSERT_TRUE(again.Ok()) << name;
        EXPECT_EQ(again.Value(), session) << name;
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

TEST(SdpSession, StaticPayloadTypesWithoutRtpmapAndSessionConnectionFallback) {
    const auto session = ParseFile("phone_offer_static_types.sdp");
    ASSERT_EQ(session.Media().size(), 1u);
    const auto& audio = session.Media()[0];
    const auto codecs = audio.Codecs();
    ASSERT_EQ(codecs.size(), 5u);
    struct Expected {
        unsigned pt;
        const char* name;
        std::uint32_t rate;
        const char* fmtp;
    };
    const Expected expected[] = {{0, "PCMU", 8000, ""},
                                 {8, "PCMA", 8000, ""},
                                 {18, "G729", 8000, "annexb=no"}, // static, fmtp without rtpmap
                                 {9, "G722", 8000, ""},           // static: RTP clock rate 8000
                                 {101, "telephone-event", 8000, "0-15"}};
    for (std::size_t i = 0; i < codecs.size(); ++i) {
        EXPECT_EQ(codecs[i].payloadType, expected[i].pt) << i;
        EXPECT_EQ(codecs[i].name, expected[i].name) << i;
        EXPECT_EQ(codecs[i].clockRate, expected[i].rate) << i;
        EXPECT_EQ(codecs[i].formatParameters, expected[i].fmtp) << i;
    }
    EXPECT_TRUE(audio.Connections().empty());
    const auto connections = session.ConnectionsOf(audio);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].address, "192.168.1.23");
    EXPECT_EQ(audio.PortCount(), 1u);
}

TEST(SdpSession, AudioAndVideoFromPbx) {
    const auto session = ParseFile("pbx_audio_video.sdp");
    ASSERT_EQ(session.Media().size(), 2u);
    EXPECT_EQ(session.Bandwidths(), (std::vector<sdp::Bandwidth>{{"CT", 384}}));
    const auto& video = session.Media()[1];
    EXPECT_EQ(video.MediaType(), "video");
    EXPECT_EQ(video.Port(), 17890);
    EXPECT_EQ(video.Formats(), (std::vector<std::string>{"99", "34"}));
    EXPECT_EQ(video.Bandwidths(), (std::vector<sdp::Bandwidth>{{"AS", 320}}));
    const auto codecs = video.Codecs();
    ASSERT_EQ(codecs.size(), 2u);
    EXPECT_EQ(codecs[0].RtpmapText(), "H264/90000");
    EXPECT_EQ(codecs[0].formatParameters, "profile-level-id=42801F;packetization-mode=1");
    EXPECT_EQ(codecs[1].RtpmapText(), "H263/90000");
}

TEST(SdpSession, SbcOfferWithSeveralCryptoLinesInOrder) {
    const auto session = ParseFile("sbc_srtp_crypto.sdp");
    const auto& audio = session.Media().at(0);
    EXPECT_EQ(audio.Protocol(), "RTP/SAVP");
    const auto crypto = audio.Attributes().Values("crypto");
    ASSERT_EQ(crypto.size(), 3u);
    EXPECT_TRUE(crypto[0].starts_with("1 AES_CM_128_HMAC_SHA1_80 inline:"));
    EXPECT_TRUE(crypto[2].ends_with(" UNENCRYPTED_SRTCP"));
    EXPECT_TRUE(audio.Attributes().Exists("rtcp-mux"));
    EXPECT_FALSE(audio.Attributes().Exists("RTCP-MUX")); // attribute names are case-sensitive
    EXPECT_EQ(audio.Attributes().First("rtcp"), "40377 IN IP4 198.51.100.7");
    EXPECT_EQ(audio.Attributes().First("rtcp-mux"), "");
    EXPECT_EQ(audio.Attributes().First("label"), std::nullopt);
    const auto codecs = audio.Codecs();
    ASSERT_EQ(codecs.size(), 4u);
    EXPECT_EQ(codecs[2].encodingParameters, "2");
    EXPECT_EQ(codecs[2].formatParameters, "useinbandfec=1;maxplaybackrate=16000");
}

TEST(SdpSession, Ipv6HoldAndRejectedMedia) {
    const auto v6 = ParseFile("ipv6_offer.sdp");
    EXPECT_EQ(v6.Origin().addrType, sdp::AddrType::IP6);
    EXPECT_EQ(v6.Origin().sessionVersion, 2890844527u);
    ASSERT_TRUE(v6.Connection());
    EXPECT_EQ(v6.Connection()->addrType, sdp::AddrType::IP6);
    EXPECT_FALSE(v6.Connection()->IsUnspecified());

    const auto hold = ParseFile("hold_sendonly.sdp");
    EXPECT_TRUE(hold.ConnectionsOf(hold.Media()[0]).at(0).IsUnspecified());
    EXPECT_TRUE(hold.Media()[0].Attributes().Exists("sendonly"));

    const auto answer = ParseFile("answer_video_rejected.sdp");
    EXPECT_EQ(answer.Name(), "");
    ASSERT_EQ(answer.Media().size(), 2u);
    EXPECT_EQ(answer.Media()[0].Connections().at(0).address, "192.0.2.20");
    EXPECT_EQ(answer.Media()[1].Port(), 0);
    EXPECT_TRUE(answer.ConnectionsOf(answer.Media()[1]).empty()); // no c= anywhere for it
    const auto video = answer.Media()[1].Codecs();
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].name, "H261");
}

TEST(SdpSession, MulticastPortCountsAndSessionFields) {
    const auto s = ParseFile("multicast_ports.sdp");
    EXPECT_EQ(s.Information(), "SDP Offer #1");
    EXPECT_EQ(s.Uri(), "http://www.jdoe.example.com/home.html");
    EXPECT_EQ(s.Emails(), std::vector<std::string>{"Jane Doe <jane@jdoe.example.com>"});
    EXPECT_EQ(s.Phones(), std::vector<std::string>{"+1 617 555-6011"});
    ASSERT_EQ(s.Times().size(), 1u);
    EXPECT_EQ(s.Times()[0].start, 2873397496u);
    EXPECT_EQ(s.Times()[0].repeats, std::vector<std::string>{"604800 3600 0 90000"});
    EXPECT_EQ(s.TimeZones(), "2882844526 -1h 2898848070 0");
    EXPECT_EQ(s.Connection()->ttl, 127u);
    EXPECT_FALSE(s.Connection()->numberOfAddresses);

    const auto& video = s.Media()[1];
    EXPECT_EQ(video.Port(), 51372);
    EXPECT_EQ(video.PortCount(), 2u);
    ASSERT_EQ(video.Connections().size(), 2u);
    EXPECT_EQ(video.Connections()[0].numberOfAddresses, 3u);
    EXPECT_EQ(video.Connections()[1].address, "233.252.0.10");
    EXPECT_EQ(s.ConnectionsOf(video).size(), 2u);
    const auto& app = s.Media()[2];
    EXPECT_EQ(app.Formats(), std::vector<std::string>{"wb"});
    EXPECT_TRUE(app.Codecs().empty()); // not payload type numbers
    EXPECT_EQ(app.Connections()[0].numberOfAddresses, 3u);
    EXPECT_FALSE(app.Connections()[0].ttl);
}

TEST(SdpSession, WebRtcOfferKeepsAttributeOrder) {
    const auto s = ParseFile("webrtc_gateway.sdp");
    EXPECT_EQ(s.Origin().sessionId, 4611731400430051336u);
    EXPECT_EQ(s.Attributes().First("msid-semantic"), " WMS");
    const auto& audio = s.Media()[0];
    EXPECT_EQ(audio.Protocol(), "UDP/TLS/RTP/SAVPF");
    std::vector<std::string> names;
    for (const auto& a : audio.Attributes().All()) {
        names.push_back(a.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"rtcp", "candidate", "candidate", "ice-ufrag", "ice-pwd", "fingerprint",
                                               "setup", "mid", "sendrecv", "rtcp-mux", "rtpmap", "rtcp-fb", "fmtp",
                                               "rtpmap", "rtpmap", "ssrc"}));
    const auto codecs = audio.Codecs();
    ASSERT_EQ(codecs.size(), 5u);
    EXPECT_EQ(codecs[2].name, "PCMU"); // static, no rtpmap
    EXPECT_EQ(codecs[4].name, "telephone-event");
}

TEST(SdpSession, SloppyInputIsAcceptedAndEncodedCanonically) {
    auto parsed = sdp::Session::Parse(ReadFile("sloppy_lf.sdp"));
    ASSERT_TRUE(parsed.Ok()) << parsed.Error().ToString();
    EXPECT_EQ(parsed.Value().Encode(), Crlf("v=0\n"
                                            "o=- 1 1 IN IP4 10.0.0.1\n"
                                            "s= \n"
                                            "c=IN IP4 10.0.0.1\n"
                                            "t=0 0\n"
                                            "m=audio 4000 RTP/AVP 0 101\n"
                                            "a=rtpmap:101 telephone-event/8000\n"
                                            "a=fmtp:101 0-15\n"));
    // White space before an attribute's ":" is not part of its name.
    auto spaced = sdp::Session::Parse("v=0\no=- 1 1 IN IP4 h\na=rtpmap\t:\na=x :y\n");
    ASSERT_TRUE(spaced.Ok());
    EXPECT_EQ(spaced.Value().Attributes().All(),
              (std::vector<sdp::Attribute>{{"rtpmap", ""}, {"x", "y"}}));
    // Session-level lines out of order and no t= at all are read too.
    auto unordered = sdp::Session::Parse("v=0\r\nc=IN IP4 1.2.3.4\r\no=a 1 2 IN IP4 h\r\ns=x\r\n");
    ASSERT_TRUE(unordered.Ok());
    EXPECT_EQ(unordered.Value().Encode(), Crlf("v=0\no=a 1 2 IN IP4 h\ns=x\nc=IN IP4 1.2.3.4\nt=0 0\n"));
}

TEST(SdpSession, MalformedInputGivesAnErrorWithItsLine) {
    struct Case {
        const char* text;
        std::size_t line;
        const char* message;
    };
    const std::string head = "v=0\no=- 1 1 IN IP4 h\ns=-\nt=0 0\n";
    const Case cases[] = {
        {"", 0, "empty SDP"},
        {"\r\n\r\n", 0, "empty SDP"},
        {"o=- 1 1 IN IP4 h\n", 1, "SDP must start with a version line (v=)"},
        {"v=zero\n", 1, "invalid version line"},
        {"v=0\ns=-\n", 0, "missing origin line (o=)"},
        {"v=0\no=- 1 1 IN IP4\n", 2, "malformed origin line"},
        {"v=0\no=- x 1 IN IP4 h\n", 2, "invalid session id"},
        {"v=0\no=- 1 18446744073709551616 IN IP4 h\n", 2, "invalid session version"},
        {"v=0\no=- 1 1 IN IP5 h\n", 2, "unsupported address type 'IP5'"},
        {"v=0\no=- 1 1 IN IP4 h\no=- 1 1 IN IP4 h\n", 3, "more than one origin line"},
        {"v=0\nm=audio 1 RTP/AVP 0\n", 2, "media description before the origin line"},
        {"v=0\no=- 1 1 IN IP4 h\nsomething\n", 3, "expected <type>=<value>"},
        {"v=0\no=- 1 1 IN IP4 h\nA=x\n", 3, "invalid line type"},
        {"v=0\no=- 1 1 IN IP4 h\nr=1 2 3\n", 3, "repeat line (r=) without a time line"},
        {"v=0\no=- 1 1 IN IP4 h\nc=IN IP4 a\nc=IN IP4 b\n", 4, "more than one session-level connection line"},
        {"v=0\no=- 1 1 IN IP4 h\nb=AS\n", 3, "malformed bandwidth line"},
        {"v=0\no=- 1 1 IN IP4 h\nb=AS:-1\n", 3, "malformed bandwidth line"},
        {"v=0\no=- 1 1 IN IP4 h\nt=0\n", 3, "malformed time line"},
        {"v=0\no=- 1 1 IN IP4 h\nc=IN IP4 224.0.0.1/256\n", 3, "multicast TTL above 255"},
        {"v=0\no=- 1 1 IN IP4 h\nc=IN IP4 224.0.0.1/1/0\n", 3, "invalid number of addresses"},
        {"v=0\no=- 1 1 IN IP4 h\nc=IN IP6 ff15::1/1/2\n", 3, "invalid multicast suffix"},
        {"v=0\no=- 1 1 IN IP4 h\nc=IN IP4 /3\n", 3, "empty connection address"},
        {"v=0\no=- 1 1 IN IP4 h\nm=audio 65536 RTP/AVP 0\n", 3, "invalid port in media line"},
        {"v=0\no=- 1 1 IN IP4 h\nm=audio 1/0 RTP/AVP 0\n", 3, "invalid number of ports"},
        {"v=0\no=- 1 1 IN IP4 h\nm=audio 1\n", 3, "malformed media line"},
        {"v=0\no=- 1 1 IN IP4 h\nm=audio 1 RTP/AVP 0\nt=0 0\n", 4, "'t=' line inside a media description"},
        {"v=0\no=- 1 1 IN IP4 h\na=x\ry\n", 3, "control character in value"},
    };
    for (const auto& c : cases) {
        auto parsed = sdp::Session::Parse(c.text);
        ASSERT_FALSE(parsed.Ok()) << c.text;
        EXPECT_EQ(parsed.Error().line, c.line) << c.text;
        EXPECT_NE(parsed.Error().message.find(c.message), std::string::npos) << c.text << " -> " << parsed.Error().message;
    }
    // An embedded NUL (string literals above stop at it).
    const std::string withNul = head + std::string("a=x\0y\n", 6);
    auto parsed = sdp::Session::Parse(withNul);
    ASSERT_FALSE(parsed.Ok());
    EXPECT_EQ(parsed.Error().line, 5u);
    EXPECT_EQ(parsed.Error().message, "control character in value");
    EXPECT_THROW(sdp::Session::Parse("junk").ValueOrThrow(), zel::sip::stack::BodyParseError);
}

TEST(SdpSession, LimitsAreEnforced) {
    sdp::ParseLimits limits;
    limits.maxMedia = 2;
    limits.maxFormatsPerMedium = 3;
    limits.maxLines = 8;
    limits.maxLineLength = 40;
    limits.maxBytes = 200;
    const std::string head = "v=0\no=- 1 1 IN IP4 h\ns=-\nt=0 0\n";
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {head + "m=audio 1 RTP/AVP 0\nm=audio 2 RTP/AVP 0\nm=audio 3 RTP/AVP 0\n", "more than 2 media descriptions"},
        {head + "m=audio 1 RTP/AVP 0 1 2 3\n", "more than 3 formats"},
        {head + "a=a\na=b\na=c\na=d\na=e\n", "more than 8 lines"},
        {head + "a=" + std::string(50, 'x') + "\n", "line longer than 40 bytes"},
        {head + std::string(200, '\n'), "exceeds the limit of 200 bytes"},
    };
    for (const auto& c : cases) {
        auto parsed = sdp::Session::Parse(c.text, limits);
        ASSERT_FALSE(parsed.Ok()) << c.text;
        EXPECT_NE(parsed.Error().message.find(c.message), std::string::npos) << parsed.Error().message;
    }
    EXPECT_TRUE(sdp::Session::Parse(head + "m=audio 1 RTP/AVP 0 1 2\n", limits).Ok());
}

// A description built the way the offer code builds one encodes with the codecs as formats and
// a=rtpmap/a=fmtp lines ahead of the attributes that were already there.
TEST(SdpSession, BuiltOfferEncodesInRfcOrder) {
    sdp::Session s;
    s.Origin() = sdp::Origin{"Zelmor", 4294967295u, 17, "IN", sdp::AddrType::IP4, "host.example.com"};
    s.SetName("Recording");
    s.Times().push_back(sdp::Time{});
    sdp::Medium m("audio", 0, 1, "RTP/AVP");
    m.Attributes().Add("crypto", "1 AES_CM_128_HMAC_SHA1_80 inline:KEY");
    m.AddCodec(sdp::Codec(0, "PCMU", 8000));
    m.AddCodec(sdp::Codec(8, "PCMA", 8000));
    m.AddCodec(sdp::Codec(96, "telephone-event", 8000, "", "0-15"));
    m.Attributes().Add("recvonly");
    m.Attributes().Add("rtcp-mux");
    m.SetPort(40000);
    m.SetInformation("Call recording");
    m.SetConnection(sdp::Connection(sdp::AddrType::IP4, "192.0.2.10"));
    m.Attributes().Add("rtcp", "40001 IN IP4 192.0.2.10");
    s.AddMedium(m);
    EXPECT_EQ(s.Encode(), Crlf("v=0\n"
                               "o=Zelmor 4294967295 17 IN IP4 host.example.com\n"
                               "s=Recording\n"
                               "t=0 0\n"
                               "m=audio 40000 RTP/AVP 0 8 96\n"
                               "i=Call recording\n"
                               "c=IN IP4 192.0.2.10\n"
                               "a=rtpmap:0 PCMU/8000\n"
                               "a=rtpmap:8 PCMA/8000\n"
                               "a=rtpmap:96 telephone-event/8000\n"
                               "a=fmtp:96 0-15\n"
                               "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY\n"
                               "a=recvonly\n"
                               "a=rtcp-mux\n"
                               "a=rtcp:40001 IN IP4 192.0.2.10\n"));
    const auto reparsed = sdp::Session::Parse(s.Encode());
    ASSERT_TRUE(reparsed.Ok());
    EXPECT_EQ(reparsed.Value(), s);
    EXPECT_EQ(reparsed.Value().Media()[0].Codecs().size(), 3u);
}

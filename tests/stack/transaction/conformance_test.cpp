// Requests a peer may get wrong, sent as raw datagrams to a transaction layer on the loopback: what
// comes back (a 400 or 505 the sender can stop retransmitting on, or nothing at all) and what
// reaches the transaction user.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "LayerTestSupport.h"

namespace zel::sip::stack::test {
namespace {

std::string Torture(const std::string& name) {
    std::ifstream in(std::string(ZEL_TEST_DATA_DIR) + "/messages/rfc4475/" + name + ".dat", std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// {start} is the request line; {callid} tells the requests of one test apart.
const char* const kRequest = "{start}\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:{port};branch=z9hG4bK-{callid}\n"
                             "Max-Forwards: {maxforwards}\n"
                             "To: {to}\n"
                             "From: <sip:peer@127.0.0.1>;tag=peer\n"
                             "Call-ID: {callid}\n"
                             "CSeq: 5 {cseqmethod}\n"
                             "Content-Length: 0\n"
                             "\n";

class ConformanceTest : public TransactionLayerTest {
protected:
    void SetUp() override { Start(); }

    struct Fields {
        std::string start;
        std::string callId;
        std::string cseqMethod = "OPTIONS";
        std::string maxForwards = "70";
        std::string to = "<sip:us@127.0.0.1>";
    };
    std::string Request(const Fields& f) const {
        return Fill(kRequest, {{"start", f.start},
                               {"port", std::to_string(peer.Port())},
                               {"callid", f.callId},
                               {"cseqmethod", f.cseqMethod},
                               {"maxforwards", f.maxForwards},
                               {"to", f.to}});
    }

    /// Sends `datagram` and waits for the response carrying `callId`; empty when none came. What
    /// reaches the transaction user is taken off its queue meanwhile (else the layer would soon
    /// find it congested and answer 503).
    std::string Exchange(const std::string& datagram, const std::string& callId) {
        peer.SendTo(udp->LocalTuple(), datagram);
        std::string response;
        RunUntil(io, [&] {
            Events();
            response = ResponseFor(callId);
            return !response.empty();
        });
        return response;
    }

    /// Sends `datagram`, then a request that is surely answered; once that answer is in, the
    /// datagram has been handled too (one socket pair, handled in order). The answer to
    /// `datagram` when there was one.
    std::string ExchangeOrNothing(const std::string& datagram, const std::string& callId) {
        peer.SendTo(udp->LocalTuple(), datagram);
        const std::string probeId = "probe-" + callId;
        EXPECT_FALSE(Exchange(Request({"OPTIONS sip:us@127.0.0.1 SIP/2.0", probeId, "INFO"}), probeId).empty());
        return ResponseFor(callId);
    }

    std::string ResponseFor(const std::string& callId) const {
        for (const std::string& datagram : peer.received)
            if (HeaderOf(datagram, "Call-ID") == callId)
                return datagram;
        return {};
    }

    /// The requests that reached the transaction user, by Call-ID.
    std::vector<std::string> Delivered() {
        std::vector<std::string> callIds;
        for (const auto& event : Events())
            if (event.kind == Kind::Request && event.message)
                callIds.emplace_back(event.message->Raw(HeaderType::CallId));
        return callIds;
    }
};

std::string StatusLine(const std::string& response) { return response.substr(0, response.find("\r\n")); }

TEST_F(ConformanceTest, MalformedRequestLinesAreAnswered400) {
    // The RFC 4475 messages with white space in and around the request line.
    for (const char* name : {"lwsstart", "trws", "lwsruri"}) {
        const std::string wire = Torture(name);
        const std::string callId = HeaderOf(wire, "Call-ID");
        const std::string response = Exchange(wire, callId);
        ASSERT_FALSE(response.empty()) << name;
        EXPECT_TRUE(response.starts_with("SIP/2.0 400 ")) << StatusLine(response);
        EXPECT_EQ(HeaderOf(response, "CSeq"), HeaderOf(wire, "CSeq")) << name;
        EXPECT_EQ(HeaderOf(response, "Via"), HeaderOf(wire, "Via")) << name;
    }
    const std::vector<std::pair<std::string, std::string>> lines{
        {"leading-space", " OPTIONS sip:us@127.0.0.1 SIP/2.0"},
        {"tabs", "OPTIONS\tsip:us@127.0.0.1\tSIP/2.0"},
        {"trailing-tab", "OPTIONS sip:us@127.0.0.1 SIP/2.0\t"},
        {"no-version", "OPTIONS sip:us@127.0.0.1"},
        {"binary-method", std::string("\x01\x02 sip:us@127.0.0.1 SIP/2.0")},
    };
    for (const auto& [callId, start] : lines) {
        const std::string response = Exchange(Request({start, callId}), callId);
        EXPECT_TRUE(response.starts_with("SIP/2.0 400 ")) << callId << ": " << StatusLine(response);
        EXPECT_EQ(HeaderOf(response, "CSeq"), "5 OPTIONS") << callId;
        EXPECT_NE(HeaderOf(response, "To").find(";tag="), std::string::npos) << callId;
    }
    EXPECT_TRUE(Delivered().empty());
    EXPECT_EQ(layer->ServerTransactionCount(), 0u);
}

TEST_F(ConformanceTest, MalformedRequestLinesStayUnansweredWhenNoResponseIsPossible) {
    // An ACK is never answered; without a Call-ID no response can be built; a broken status line
    // is a response.
    EXPECT_EQ(ExchangeOrNothing(Request({"ACK  sip:us@127.0.0.1 SIP/2.0", "ack", "ACK"}), "ack"), "");
    EXPECT_EQ(ExchangeOrNothing(Request({std::string("\x01 sip:us@127.0.0.1 SIP/2.0"), "ack2", "ACK"}), "ack2"), "");
    std::string noCallId = Request({"OPTIONS  sip:us@127.0.0.1 SIP/2.0", "gone"});
    noCallId.erase(noCallId.find("Call-ID: gone\r\n"), 15);
    peer.received.clear();
    EXPECT_EQ(ExchangeOrNothing(noCallId, "gone"), "");
    EXPECT_EQ(peer.received.size(), 1u) << "only the probe's answer";
    const std::string response = "SIP/2.0  200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKx\r\nTo: <sip:a@b>\r\n"
                                 "From: <sip:a@b>;tag=1\r\nCall-ID: resp\r\nCSeq: 1 OPTIONS\r\n\r\n";
    EXPECT_EQ(ExchangeOrNothing(response, "resp"), "");
    EXPECT_TRUE(Delivered().empty());
}

TEST_F(ConformanceTest, AnotherSipVersionIsAnswered505) {
    const std::string wire = Torture("badvers");
    const std::string response = Exchange(wire, HeaderOf(wire, "Call-ID"));
    EXPECT_EQ(StatusLine(response), "SIP/2.0 505 Version Not Supported");
    EXPECT_EQ(HeaderOf(response, "CSeq"), "1 OPTIONS");
    // A version that is not even SIP/x.y is a malformed request line: 400.
    const std::string odd = Exchange(Request({"OPTIONS sip:us@127.0.0.1 SIP/2", "odd"}), "odd");
    EXPECT_TRUE(odd.starts_with("SIP/2.0 400 ")) << StatusLine(odd);
    EXPECT_TRUE(Delivered().empty());
}

TEST_F(ConformanceTest, RegisterWithAnUnreadableContactAndMaxForwardsOutOfRangeAre400) {
    const std::string regbadct = Torture("regbadct");
    const std::string response = Exchange(regbadct, HeaderOf(regbadct, "Call-ID"));
    EXPECT_EQ(StatusLine(response), "SIP/2.0 400 Malformed Contact header");

    const std::string start = "OPTIONS sip:us@127.0.0.1 SIP/2.0";
    EXPECT_EQ(StatusLine(Exchange(Request({start, "mf256", "OPTIONS", "256"}), "mf256")),
              "SIP/2.0 400 Max-Forwards larger than 255");
    EXPECT_EQ(StatusLine(Exchange(Request({start, "mf-big", "OPTIONS", "4294967296"}), "mf-big")),
              "SIP/2.0 400 Malformed Max-Forwards header");
    // The edges of the range are the transaction user's.
    EXPECT_EQ(ExchangeOrNothing(Request({start, "mf255", "OPTIONS", "255"}), "mf255"), "");
    EXPECT_EQ(ExchangeOrNothing(Request({start, "mf0", "OPTIONS", "0"}), "mf0"), "");
    const std::string registerStart = "REGISTER sip:127.0.0.1 SIP/2.0";
    std::string goodRegister = Request({registerStart, "reg-ok", "REGISTER"});
    goodRegister.insert(goodRegister.find("Content-Length"), "Contact: *\r\nContact: <sip:a@127.0.0.1>;expires=60\r\n");
    EXPECT_EQ(ExchangeOrNothing(goodRegister, "reg-ok"), "");
    EXPECT_EQ(Delivered(), (std::vector<std::string>{"mf255", "mf0", "reg-ok"}));
}

TEST_F(ConformanceTest, QuotedDisplayNamesGoBackWithTheirControlBytesAsQuotedPairs) {
    // The To of the RFC 4475 "intmeth" request: BEL, NUL and DEL as quoted-pairs. The stateless 400
    // (for the CSeq method) adds a To tag, so the To is written from its parsed form.
    const std::string displayName("BEL:\\\x07 NUL:\\\0 DEL:\\\x7f", 20);
    const std::string to = "\"" + displayName + "\" <sip:us@127.0.0.1>";
    const std::string response =
        Exchange(Request({"OPTIONS sip:us@127.0.0.1 SIP/2.0", "ctl", "INFO", "70", to}), "ctl");
    ASSERT_TRUE(response.starts_with("SIP/2.0 400 ")) << StatusLine(response);
    const std::string written = HeaderOf(response, "To");
    EXPECT_TRUE(written.starts_with("\"" + displayName + "\" <sip:us@127.0.0.1>;tag=")) << written;
    const SipMessage parsed = SipMessage::Parse(response);
    EXPECT_EQ(parsed.Get<NameAddr>(HeaderType::To).DisplayName(), std::string("BEL:\x07 NUL:\0 DEL:\x7f", 17));
}

} // namespace
} // namespace zel::sip::stack::test

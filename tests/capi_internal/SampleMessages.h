#pragma once

// Messages as real peers send them, for the C accessors' tests, and the casts a host never sees.
#include "stack/message/SipMessage.h"

#include <zelmor/sip.h>

#include <string>
#include <string_view>

namespace zel::sip::testing {

/// CRLF line ends for readable literals.
inline std::string Wire(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

/// An INVITE as a PBX sends it to a phone: compact and long header names mixed, a folded
/// extension header, two lines of one extension header.
inline const std::string kPbxInvite = Wire(
    "INVITE sip:201@192.168.1.50:5062;transport=udp SIP/2.0\n"
    "Via: SIP/2.0/UDP 192.168.1.10:5060;rport;branch=z9hG4bKPj1b2c3d4e\n"
    "From: \"Reception\" <sip:100@pbx.example.com>;tag=as6f8e1b2c\n"
    "To: <sip:201@pbx.example.com>\n"
    "Contact: <sip:100@192.168.1.10:5060>\n"
    "Call-ID: 4f2a7c1e3b5d@192.168.1.10\n"
    "CSeq: 102 INVITE\n"
    "User-Agent: ExamplePBX 16.2.1\n"
    "Max-Forwards: 70\n"
    "Date: Tue, 03 Dec 2024 09:14:07 GMT\n"
    "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, SUBSCRIBE, NOTIFY, INFO, PUBLISH, MESSAGE\n"
    "k: replaces, timer\n"
    "P-Asserted-Identity: \"Reception\" <sip:100@pbx.example.com>\n"
    "X-Call-Info: queue=sales;\n"
    " priority=2\n"
    "X-Call-Info: agent=17\n"
    "Content-Type: application/sdp\n"
    "Content-Length: 0\n"
    "\n");

/// A 200 to a forked INVITE: three contacts over two lines and two Reason values.
inline const std::string kOkWithContacts = Wire(
    "SIP/2.0 200 OK\n"
    "Via: SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bK776asdhds;received=10.0.0.5\n"
    "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\n"
    "To: Bob <sip:bob@biloxi.example.com>;tag=a6c85cf\n"
    "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\n"
    "CSeq: 314159 INVITE\n"
    "Contact: <sip:bob@192.0.2.4:5070;transport=tcp>;expires=600;q=0.7\n"
    "Contact: \"Bob, desk\" <sip:bob@192.0.2.5>;q=0.5, sip:bob@[2001:db8::9]:5080\n"
    "Reason: Q.850;cause=16;text=\"Normal call clearing\"\n"
    "Reason: SIP;cause=200;text=\"Call completed elsewhere\"\n"
    "Server: ExampleGateway/4.1\n"
    "Content-Length: 0\n"
    "\n");

/// A REGISTER with SIP outbound (RFC 5626 section 4.2).
inline const std::string kOutboundRegister = Wire(
    "REGISTER sip:example.com SIP/2.0\n"
    "Via: SIP/2.0/TLS 192.0.2.2:49152;rport;branch=z9hG4bKnashds7\n"
    "Max-Forwards: 70\n"
    "From: <sip:alice@example.com>;tag=7F94778B653B\n"
    "To: <sip:alice@example.com>\n"
    "Call-ID: 16CB75F21C70@192.0.2.2\n"
    "CSeq: 1 REGISTER\n"
    "Supported: timer, outbound\n"
    "Require: outbound\n"
    "Contact: <sip:alice@192.0.2.2:49152;transport=tls;ob>;+sip.instance=\"<urn:uuid:00000000-0000-1000-8000-AABBCCDDEEFF>\";reg-id=1;expires=3600\n"
    "Content-Length: 0\n"
    "\n");

/// A 503 with a Retry-After that has a comment and a duration.
inline const std::string kServiceUnavailable = Wire(
    "SIP/2.0 503 Service Unavailable\n"
    "Via: SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bK776asdhds\n"
    "From: <sip:alice@atlanta.example.com>;tag=1928301774\n"
    "To: <sip:bob@biloxi.example.com>;tag=99\n"
    "Call-ID: b5c6d7@pc33.atlanta.example.com\n"
    "CSeq: 2 INVITE\n"
    "Retry-After: 120 (maintenance);duration=3600\n"
    "Content-Length: 0\n"
    "\n");

/// Values a faulty or hostile peer may send: each header below fails its own typed parse.
inline const std::string kMalformedHeaders = Wire(
    "SIP/2.0 486 Busy Here\n"
    "Via: SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bKbad\n"
    "From: \"unterminated <sip:alice@atlanta.example.com>;tag=1\n"
    "To: <sip:bob@biloxi.example.com\n"
    "Call-ID: has space@host\n"
    "CSeq: 7 INVITE\n"
    "Contact: <sip:good@192.0.2.1>, <sip:broken@[::1>\n"
    "Reason: ;cause=16\n"
    "Supported: timer, tim er\n"
    "Retry-After: soon\n"
    "Content-Length: 0\n"
    "\n");

/// A parsed copy of one of the messages above.
inline stack::SipMessage ParseMessage(const std::string& text) {
    return stack::SipMessage::Parse(text);
}

/// The handles a callback would receive.
inline SIPMessage* Handle(stack::SipMessage& message) {
    return reinterpret_cast<SIPMessage*>(&message);
}

} // namespace zel::sip::testing

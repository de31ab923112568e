// Cost of handling one received SIP message with our message layer, against the parsers of three
// C SIP libraries on the same input in the same run. Per message the work is: parse, read From
// (URI user, tag), To (URI user, tag), Call-ID, CSeq (number, method), the top Via's branch, the
// first Contact's URI (user, host), Content-Type (type, subtype) and the body, then encode the
// whole message into a new buffer.
//
// Three messages: an INVITE with SDP as a PBX forwards it (three Vias, two Record-Routes, ~900
// bytes), the 200 OK to it, and a REGISTER with a digest Authorization.
//
// Baselines, each optional (built in when pkg-config finds it):
//   osip     osip_message_parse, typed fields of osip_message_t, osip_message_to_str (which writes
//            the message from its parsed headers: the output is not byte-identical to the input).
//   osip_rb  the same with osip_message_force_update before osip_message_to_str, in case a build
//            of the library serves to_str from a cached copy of the received text.
//   sofia    msg_make(sip_default_mclass()), fields of sip_t, msg_as_string.
//   libre    sip_msg_decode on an mbuf, fields of struct sip_msg (Contact through sip_msg_hdr and
//            sip_addr_decode). libre has no encoder for a received message: the message is written
//            back with mbuf_printf from its parsed start line and header list ("name: value"), then
//            the body.
//
// Before timing, a check run verifies that every implementation read the expected values and
// produced an encoding; the binary aborts with a message otherwise. The same run counts heap
// allocations per message (malloc, calloc and realloc, which also covers operator new) for every
// implementation.
//
// Counters: `ns_per_msg` (thread CPU time per message); on ours, `vs_<baseline>` = our ns / their ns from the same run (below 1
// is faster); `allocs` per message.
//
// `--callgrind=N`: instead of the timed run, run each case N times between callgrind client
// requests (zero stats, dump "<case>"), for deterministic instruction counts:
//   valgrind --tool=callgrind bench_message --callgrind=1000   (collection on: the counts are zeroed
//   before each case and dumped after it)
#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"
#include "stack/message/NameAddr.h"
#include "stack/message/Number.h"
#include "stack/message/SipMessage.h"
#include "stack/message/Text.h"
#include "stack/message/Token.h"
#include "stack/message/Via.h"

#include <benchmark/benchmark.h>

// libre first: sofia-sip defines macros (sip_request, ...) that collide with libre's declarations.
#if ZEL_BENCH_HAVE_LIBRE
extern "C" {
#include <re.h>
}
#endif
#if ZEL_BENCH_HAVE_OSIP2
#include <osipparser2/osip_parser.h>
#endif
#if ZEL_BENCH_HAVE_SOFIA
#include <sofia-sip/msg.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_protos.h>
#endif
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define ZEL_BENCH_HAVE_CALLGRIND 1
#endif

#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// ---- allocation counter ---------------------------------------------------------------------
// Interposes the C allocator for the whole process (shared libraries included); operator new of
// libstdc++ allocates through malloc, so it is counted too.

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {
std::uint64_t g_allocations = 0;
} // namespace

extern "C" void* malloc(std::size_t size) {
    ++g_allocations;
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    ++g_allocations;
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
    ++g_allocations;
    return __libc_realloc(pointer, size);
}

namespace {

using namespace zel::sip::stack;

// ---- the messages ---------------------------------------------------------------------------

std::string WithBody(std::string head, std::string_view body) {
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    head += body;
    return head;
}

constexpr std::string_view kSdp = "v=0\r\n"
                                  "o=root 1823744902 1823744902 IN IP4 198.51.100.10\r\n"
                                  "s=ExamplePBX\r\n"
                                  "c=IN IP4 198.51.100.10\r\n"
                                  "t=0 0\r\n"
                                  "m=audio 17482 RTP/AVP 0 8 101\r\n"
                                  "a=rtpmap:0 PCMU/8000\r\n"
                                  "a=rtpmap:8 PCMA/8000\r\n"
                                  "a=rtpmap:101 telephone-event/8000\r\n"
                                  "a=fmtp:101 0-16\r\n"
                                  "a=ptime:20\r\n"
                                  "a=sendrecv\r\n";

constexpr std::string_view kAnswerSdp = "v=0\r\n"
                                        "o=- 3894412231 3894412231 IN IP4 192.0.2.45\r\n"
                                        "s=-\r\n"
                                        "c=IN IP4 192.0.2.45\r\n"
                                        "t=0 0\r\n"
                                        "m=audio 40376 RTP/AVP 8 101\r\n"
                                        "a=rtpmap:8 PCMA/8000\r\n"
                                        "a=rtpmap:101 telephone-event/8000\r\n"
                                        "a=fmtp:101 0-15\r\n"
                                        "a=ptime:20\r\n"
                                        "a=sendrecv\r\n";

const std::string kInvite =
    WithBody("INVITE sip:2001@192.0.2.45:5060;transport=udp SIP/2.0\r\n"
             "Via: SIP/2.0/UDP 198.51.100.10:5060;branch=z9hG4bK6c9a1d3e8f2b7a45;rport\r\n"
             "Via: SIP/2.0/UDP 198.51.100.20:5060;received=198.51.100.20;branch=z9hG4bK3f9e.0a1b2c3d4e5f\r\n"
             "Via: SIP/2.0/UDP 10.0.0.5:5062;rport=5062;received=203.0.113.7;branch=z9hG4bKc1d2e3f4\r\n"
             "Record-Route: <sip:198.51.100.10;lr;ftag=as7f3e2d1c>\r\n"
             "Record-Route: <sip:198.51.100.20;lr>\r\n"
             "Max-Forwards: 68\r\n"
             "From: \"Alice Example\" <sip:1001@pbx.example.com>;tag=as7f3e2d1c\r\n"
             "To: <sip:2001@pbx.example.com>\r\n"
             "Contact: <sip:1001@198.51.100.10:5060>\r\n"
             "Call-ID: 4f6a2b1c7d3e49a8b0c1d2e3f4a5b6c7@pbx.example.com\r\n"
             "CSeq: 102 INVITE\r\n"
             "User-Agent: ExamplePBX 16.2.1\r\n"
             "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, SUBSCRIBE, NOTIFY, INFO, PUBLISH, MESSAGE\r\n"
             "Supported: replaces, timer\r\n"
             "Content-Type: application/sdp\r\n",
             kSdp);

const std::string kOk =
    WithBody("SIP/2.0 200 OK\r\n"
             "Via: SIP/2.0/UDP 198.51.100.10:5060;branch=z9hG4bK6c9a1d3e8f2b7a45;rport=5060\r\n"
             "Via: SIP/2.0/UDP 198.51.100.20:5060;received=198.51.100.20;branch=z9hG4bK3f9e.0a1b2c3d4e5f\r\n"
             "Via: SIP/2.0/UDP 10.0.0.5:5062;rport=5062;received=203.0.113.7;branch=z9hG4bKc1d2e3f4\r\n"
             "Record-Route: <sip:198.51.100.10;lr;ftag=as7f3e2d1c>\r\n"
             "Record-Route: <sip:198.51.100.20;lr>\r\n"
             "From: \"Alice Example\" <sip:1001@pbx.example.com>;tag=as7f3e2d1c\r\n"
             "To: <sip:2001@pbx.example.com>;tag=a83b91f2c4\r\n"
             "Call-ID: 4f6a2b1c7d3e49a8b0c1d2e3f4a5b6c7@pbx.example.com\r\n"
             "CSeq: 102 INVITE\r\n"
             "Contact: <sip:2001@192.0.2.45:5060;transport=udp>\r\n"
             "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE, UPDATE\r\n"
             "Supported: replaces, timer, 100rel\r\n"
             "Server: Softphone 5.1.3\r\n"
             "Content-Type: application/sdp\r\n",
             kAnswerSdp);

const std::string kRegister =
    WithBody("REGISTER sip:pbx.example.com SIP/2.0\r\n"
             "Via: SIP/2.0/UDP 192.0.2.45:5060;branch=z9hG4bK1f2e3d4c5b6a7980;rport\r\n"
             "Max-Forwards: 70\r\n"
             "Contact: <sip:2001@192.0.2.45:5060;rinstance=8d3e5f1a2b4c6d7e>;expires=3600\r\n"
             "To: \"Bob\" <sip:2001@pbx.example.com>\r\n"
             "From: \"Bob\" <sip:2001@pbx.example.com>;tag=8e1f2a3b\r\n"
             "Call-ID: NmQ4ZjE2YjA3ZTcwMGQ1NzM4YzU5NGE2OGI0ZTcxMzI.\r\n"
             "CSeq: 2 REGISTER\r\n"
             "Expires: 3600\r\n"
             "Allow: INVITE, ACK, CANCEL, BYE, NOTIFY, REFER, MESSAGE, OPTIONS, INFO, SUBSCRIBE\r\n"
             "Supported: replaces, outbound, path\r\n"
             "User-Agent: Softphone 5.1.3\r\n"
             "Authorization: Digest username=\"2001\",realm=\"pbx.example.com\","
             "nonce=\"1712394857:4c2b0e0f6d1a2b3c4d5e6f708192a3b4\",uri=\"sip:pbx.example.com\","
             "response=\"6629fae49393a05397450978507c4ef1\",algorithm=MD5,cnonce=\"0a4f113b\","
             "qop=auth,nc=00000001\r\n",
             "");

// ---- what is read -----------------------------------------------------------------------------

struct Fields {
    std::string fromUser, fromTag, toUser, toTag, callId, cseqMethod, branch, contactUser, contactHost;
    std::string contentType, contentSubtype, body, encoded;
    std::uint32_t cseq = 0;
};

/// Takes the values read: keeps them in the check run, only defeats dead-code elimination when timed.
class Reader {
public:
    explicit Reader(Fields* out) : out_(out) {}

    void Text(std::string Fields::*field, std::string_view value) {
        if (out_ != nullptr) {
            (out_->*field).assign(value);
        } else {
            benchmark::DoNotOptimize(value);
        }
    }
    /// A value a library hands over in two parts (oSIP's Call-ID: number "@" host).
    void Text(std::string Fields::*field, std::string_view first, std::string_view second) {
        if (out_ != nullptr) {
            (out_->*field).assign(first);
            if (!second.empty()) {
                (out_->*field).append("@").append(second);
            }
        } else {
            benchmark::DoNotOptimize(first);
            benchmark::DoNotOptimize(second);
        }
    }
    void Number(std::uint32_t value) {
        if (out_ != nullptr) {
            out_->cseq = value;
        } else {
            benchmark::DoNotOptimize(value);
        }
    }
    void Encoded(std::string_view wire) { Text(&Fields::encoded, wire); }

private:
    Fields* out_;
};

[[maybe_unused]] std::string_view Sv(const char* text) { return text != nullptr ? std::string_view(text) : std::string_view(); }

// ---- ours -------------------------------------------------------------------------------------

std::string_view Tag(const NameAddr* address) {
    if (address == nullptr) {
        return {};
    }
    const Parameter* tag = address->Params().Find("tag");
    return tag != nullptr ? std::string_view(tag->value) : std::string_view();
}

/// The reads every case makes, then the encoding.
void ReadAndEncode(SipMessage& message, Reader& reader) {
    if (const NameAddr* from = message.Peek<NameAddr>(HeaderType::From)) {
        reader.Text(&Fields::fromUser, from->GetUri().User());
        reader.Text(&Fields::fromTag, Tag(from));
    }
    if (const NameAddr* to = message.Peek<NameAddr>(HeaderType::To)) {
        reader.Text(&Fields::toUser, to->GetUri().User());
        reader.Text(&Fields::toTag, Tag(to));
    }
    if (const CallId* callId = message.Peek<CallId>(HeaderType::CallId)) {
        reader.Text(&Fields::callId, callId->Value());
    }
    if (const CSeq* cseq = message.Peek<CSeq>(HeaderType::CSeq)) {
        reader.Number(cseq->Sequence());
        reader.Text(&Fields::cseqMethod, cseq->Method());
    }
    if (const Via* via = message.Peek<Via>(HeaderType::Via)) {
        reader.Text(&Fields::branch, via->Branch());
    }
    if (const NameAddr* contact = message.Peek<NameAddr>(HeaderType::Contact)) {
        reader.Text(&Fields::contactUser, contact->GetUri().User());
        reader.Text(&Fields::contactHost, contact->GetUri().Host());
    }
    if (const Mime* type = message.Peek<Mime>(HeaderType::ContentType)) {
        reader.Text(&Fields::contentType, type->Type());
        reader.Text(&Fields::contentSubtype, type->Subtype());
    }
    reader.Text(&Fields::body, message.Body());
    const std::string encoded = message.Encode();
    reader.Encoded(encoded);
}

bool RunOurs(const std::string& wire, Reader& reader) {
    SipMessage message;
    if (!SipMessage::TryParse(std::string(wire), message)) {
        return false;
    }
    ReadAndEncode(message, reader);
    return true;
}

/// The fourth case: every header of the INVITE read as its typed value, then the usual reads, so
/// that the work equals the eager parsers' (they parse every header whether it is read or not). A
/// value that does not parse fails the check.
bool RunOursEveryHeader(const std::string& wire, Reader& reader) {
    SipMessage message;
    if (!SipMessage::TryParse(std::string(wire), message)) {
        return false;
    }
    std::size_t values = 0;
    std::size_t present = 0;
    const auto readAll = [&](HeaderType type, auto typed) {
        using Value = decltype(typed);
        present += message.Count(type);
        for (std::size_t i = 0; i < message.Count(type); ++i) {
            values += message.Peek<Value>(type, i) != nullptr ? 1 : 0;
        }
    };
    readAll(HeaderType::Via, Via());
    readAll(HeaderType::RecordRoute, NameAddr());
    readAll(HeaderType::MaxForwards, Number());
    readAll(HeaderType::UserAgent, Text());
    readAll(HeaderType::Allow, Token());
    readAll(HeaderType::Supported, Token());
    readAll(HeaderType::ContentLength, Number());
    if (values != present || present < 20) {
        return false;
    }
    ReadAndEncode(message, reader); // typed values are cached: From, To, the top Via parse once
    return true;
}

// ---- oSIP -------------------------------------------------------------------------------------

#if ZEL_BENCH_HAVE_OSIP2
std::string_view OsipTag(osip_from_t* address) {
    static char kTag[] = "tag"; // the getter takes a non-const name
    osip_generic_param_t* tag = nullptr;
    osip_generic_param_get_byname(&address->gen_params, kTag, &tag);
    return tag != nullptr ? Sv(tag->gvalue) : std::string_view();
}

template <bool Rebuild>
bool RunOsip(const std::string& wire, Reader& reader) {
    osip_message_t* message = nullptr;
    if (osip_message_init(&message) != 0) {
        return false;
    }
    if (osip_message_parse(message, wire.data(), wire.size()) != 0) {
        osip_message_free(message);
        return false;
    }
    if (osip_from_t* from = osip_message_get_from(message); from != nullptr && from->url != nullptr) {
        reader.Text(&Fields::fromUser, Sv(from->url->username));
        reader.Text(&Fields::fromTag, OsipTag(from));
    }
    if (osip_to_t* to = osip_message_get_to(message); to != nullptr && to->url != nullptr) {
        reader.Text(&Fields::toUser, Sv(to->url->username));
        reader.Text(&Fields::toTag, OsipTag(to));
    }
    if (osip_call_id_t* callId = osip_message_get_call_id(message)) {
        reader.Text(&Fields::callId, Sv(callId->number), Sv(callId->host));
    }
    if (osip_cseq_t* cseq = osip_message_get_cseq(message); cseq != nullptr && cseq->number != nullptr) {
        reader.Number(static_cast<std::uint32_t>(std::strtoul(cseq->number, nullptr, 10)));
        reader.Text(&Fields::cseqMethod, Sv(cseq->method));
    }
    osip_via_t* via = nullptr;
    if (osip_message_get_via(message, 0, &via) >= 0 && via != nullptr) {
        static char kBranch[] = "branch";
        osip_generic_param_t* branch = nullptr;
        osip_via_param_get_byname(via, kBranch, &branch);
        reader.Text(&Fields::branch, branch != nullptr ? Sv(branch->gvalue) : std::string_view());
    }
    osip_contact_t* contact = nullptr;
    if (osip_message_get_contact(message, 0, &contact) >= 0 && contact != nullptr && contact->url != nullptr) {
        reader.Text(&Fields::contactUser, Sv(contact->url->username));
        reader.Text(&Fields::contactHost, Sv(contact->url->host));
    }
    if (osip_content_type_t* type = osip_message_get_content_type(message)) {
        reader.Text(&Fields::contentType, Sv(type->type));
        reader.Text(&Fields::contentSubtype, Sv(type->subtype));
    }
    osip_body_t* body = nullptr;
    if (osip_message_get_body(message, 0, &body) >= 0 && body != nullptr) {
        reader.Text(&Fields::body, std::string_view(body->body, body->length));
    } else {
        reader.Text(&Fields::body, {});
    }
    if constexpr (Rebuild) {
        osip_message_force_update(message);
    }
    char* encoded = nullptr;
    std::size_t length = 0;
    const bool ok = osip_message_to_str(message, &encoded, &length) == 0;
    if (ok) {
        reader.Encoded(std::string_view(encoded, length));
        osip_free(encoded);
    }
    osip_message_free(message);
    return ok;
}
#endif

// ---- sofia-sip --------------------------------------------------------------------------------

#if ZEL_BENCH_HAVE_SOFIA
bool RunSofia(const std::string& wire, Reader& reader) {
    msg_t* message = msg_make(sip_default_mclass(), 0, wire.data(), static_cast<ssize_t>(wire.size()));
    if (message == nullptr) {
        return false;
    }
    sip_t* sip = sip_object(message);
    if (sip == nullptr || sip->sip_error != nullptr) {
        msg_destroy(message);
        return false;
    }
    if (sip->sip_from != nullptr) {
        reader.Text(&Fields::fromUser, Sv(sip->sip_from->a_url->url_user));
        reader.Text(&Fields::fromTag, Sv(sip->sip_from->a_tag));
    }
    if (sip->sip_to != nullptr) {
        reader.Text(&Fields::toUser, Sv(sip->sip_to->a_url->url_user));
        reader.Text(&Fields::toTag, Sv(sip->sip_to->a_tag));
    }
    if (sip->sip_call_id != nullptr) {
        reader.Text(&Fields::callId, Sv(sip->sip_call_id->i_id));
    }
    if (sip->sip_cseq != nullptr) {
        reader.Number(sip->sip_cseq->cs_seq);
        reader.Text(&Fields::cseqMethod, Sv(sip->sip_cseq->cs_method_name));
    }
    if (sip->sip_via != nullptr) {
        reader.Text(&Fields::branch, Sv(sip->sip_via->v_branch));
    }
    if (sip->sip_contact != nullptr) {
        reader.Text(&Fields::contactUser, Sv(sip->sip_contact->m_url->url_user));
        reader.Text(&Fields::contactHost, Sv(sip->sip_contact->m_url->url_host));
    }
    if (const sip_content_type_t* type = sip->sip_content_type;
        type != nullptr && type->c_type != nullptr && type->c_subtype != nullptr) {
        // c_type is "type/subtype"; c_subtype points after the slash.
        reader.Text(&Fields::contentType,
                    std::string_view(type->c_type, static_cast<std::size_t>(type->c_subtype - type->c_type - 1)));
        reader.Text(&Fields::contentSubtype, Sv(type->c_subtype));
    }
    if (sip->sip_payload != nullptr) {
        reader.Text(&Fields::body, std::string_view(sip->sip_payload->pl_data, sip->sip_payload->pl_len));
    } else {
        reader.Text(&Fields::body, {});
    }
    std::size_t length = 0;
    char* encoded = msg_as_string(msg_home(message), message, nullptr, 0, &length);
    if (encoded != nullptr) {
        reader.Encoded(std::string_view(encoded, length));
    }
    msg_destroy(message); // frees `encoded` with the message's home
    return encoded != nullptr;
}
#endif

// ---- libre ------------------------------------------------------------------------------------

#if ZEL_BENCH_HAVE_LIBRE
std::string_view Pl(const pl& text) { return std::string_view(text.p != nullptr ? text.p : "", text.l); }

/// libre cannot encode a received message: writes it back from the parsed start line and the
/// header list, then the body.
mbuf* LibreEncode(const sip_msg* message) {
    mbuf* out = mbuf_alloc(1024);
    if (out == nullptr) {
        return nullptr;
    }
    int error = message->req ? mbuf_printf(out, "%r %r %r\r\n", &message->met, &message->ruri, &message->ver)
                             : mbuf_printf(out, "%r %u %r\r\n", &message->ver, message->scode, &message->reason);
    le* element = nullptr;
    LIST_FOREACH(&message->hdrl, element) {
        const auto* header = static_cast<const sip_hdr*>(element->data);
        error |= mbuf_printf(out, "%r: %r\r\n", &header->name, &header->val);
    }
    error |= mbuf_write_str(out, "\r\n");
    error |= mbuf_write_mem(out, mbuf_buf(message->mb), mbuf_get_left(message->mb));
    if (error != 0) {
        mem_deref(out);
        return nullptr;
    }
    return out;
}

bool RunLibre(const std::string& wire, Reader& reader) {
    mbuf* input = mbuf_alloc(wire.size());
    if (input == nullptr) {
        return false;
    }
    mbuf_write_mem(input, reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size());
    input->pos = 0;
    sip_msg* message = nullptr;
    const int error = sip_msg_decode(&message, input);
    mem_deref(input); // the message holds its own reference
    if (error != 0) {
        return false;
    }
    reader.Text(&Fields::fromUser, Pl(message->from.uri.user));
    reader.Text(&Fields::fromTag, Pl(message->from.tag));
    reader.Text(&Fields::toUser, Pl(message->to.uri.user));
    reader.Text(&Fields::toTag, Pl(message->to.tag));
    reader.Text(&Fields::callId, Pl(message->callid));
    reader.Number(message->cseq.num);
    reader.Text(&Fields::cseqMethod, Pl(message->cseq.met));
    reader.Text(&Fields::branch, Pl(message->via.branch));
    if (const sip_hdr* header = sip_msg_hdr(message, SIP_HDR_CONTACT)) {
        sip_addr contact{};
        if (sip_addr_decode(&contact, &header->val) == 0) {
            reader.Text(&Fields::contactUser, Pl(contact.uri.user));
            reader.Text(&Fields::contactHost, Pl(contact.uri.host));
        }
    }
    reader.Text(&Fields::contentType, Pl(message->ctyp.type));
    reader.Text(&Fields::contentSubtype, Pl(message->ctyp.subtype));
    reader.Text(&Fields::body, std::string_view(reinterpret_cast<const char*>(mbuf_buf(message->mb)),
                                                mbuf_get_left(message->mb)));
    mbuf* encoded = LibreEncode(message);
    if (encoded != nullptr) {
        reader.Encoded(std::string_view(reinterpret_cast<const char*>(encoded->buf), encoded->end));
        mem_deref(encoded);
    }
    mem_deref(message);
    return encoded != nullptr;
}
#endif

// ---- cases ------------------------------------------------------------------------------------

using RunFn = bool (*)(const std::string&, Reader&);

struct Implementation {
    const char* name;
    RunFn run;
};

const std::vector<Implementation>& Baselines() {
    static const std::vector<Implementation> baselines = {
#if ZEL_BENCH_HAVE_OSIP2
        {"osip", &RunOsip<false>},
        {"osip_rb", &RunOsip<true>},
#endif
#if ZEL_BENCH_HAVE_SOFIA
        {"sofia", &RunSofia},
#endif
#if ZEL_BENCH_HAVE_LIBRE
        {"libre", &RunLibre},
#endif
    };
    return baselines;
}

struct Case {
    const char* name;
    const std::string* wire;
    Fields expected;
    bool everyHeader = false; // ours reads every header (the baselines parse them all anyway)
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = [] {
        std::vector<Case> all;
        Fields invite;
        invite.fromUser = "1001";
        invite.fromTag = "as7f3e2d1c";
        invite.toUser = "2001";
        invite.callId = "4f6a2b1c7d3e49a8b0c1d2e3f4a5b6c7@pbx.example.com";
        invite.cseq = 102;
        invite.cseqMethod = "INVITE";
        invite.branch = "z9hG4bK6c9a1d3e8f2b7a45";
        invite.contactUser = "1001";
        invite.contactHost = "198.51.100.10";
        invite.contentType = "application";
        invite.contentSubtype = "sdp";
        invite.body = kSdp;
        all.push_back({"invite", &kInvite, invite});

        Fields ok = invite;
        ok.toTag = "a83b91f2c4";
        ok.contactUser = "2001";
        ok.contactHost = "192.0.2.45";
        ok.body = kAnswerSdp;
        all.push_back({"ok", &kOk, ok});

        Fields reg;
        reg.fromUser = "2001";
        reg.fromTag = "8e1f2a3b";
        reg.toUser = "2001";
        reg.callId = "NmQ4ZjE2YjA3ZTcwMGQ1NzM4YzU5NGE2OGI0ZTcxMzI.";
        reg.cseq = 2;
        reg.cseqMethod = "REGISTER";
        reg.branch = "z9hG4bK1f2e3d4c5b6a7980";
        reg.contactUser = "2001";
        reg.contactHost = "192.0.2.45";
        all.push_back({"register", &kRegister, reg});
        all.push_back({"invite-all", &kInvite, invite, true});
        return all;
    }();
    return cases;
}

// Results of the check run and of the timed runs, keyed "<implementation>/<case>".
std::map<std::string, double> g_allocationsPerMessage;
std::map<std::string, double> g_nsPerMessage;

std::string Key(std::string_view implementation, std::string_view caseName) {
    return std::string(implementation) + "/" + std::string(caseName);
}

/// Runs one implementation on one case, compares what it read, and counts its allocations.
/// Returns an empty string or what went wrong.
std::string Check(const Implementation& implementation, const Case& testCase) {
    Fields got;
    Reader reader(&got);
    if (!implementation.run(*testCase.wire, reader)) {
        return "parse or encode failed";
    }
    std::string wrong;
    const auto compare = [&](const char* what, const std::string& have, const std::string& want) {
        if (have != want) {
            wrong += std::string(what) + " = \"" + have + "\", expected \"" + want + "\"; ";
        }
    };
    const Fields& want = testCase.expected;
    compare("From user", got.fromUser, want.fromUser);
    compare("From tag", got.fromTag, want.fromTag);
    compare("To user", got.toUser, want.toUser);
    compare("To tag", got.toTag, want.toTag);
    compare("Call-ID", got.callId, want.callId);
    compare("CSeq", std::to_string(got.cseq), std::to_string(want.cseq));
    compare("CSeq method", got.cseqMethod, want.cseqMethod);
    compare("Via branch", got.branch, want.branch);
    compare("Contact user", got.contactUser, want.contactUser);
    compare("Contact host", got.contactHost, want.contactHost);
    compare("Content-Type", got.contentType, want.contentType);
    compare("Content-Type subtype", got.contentSubtype, want.contentSubtype);
    compare("body", got.body, want.body);
    if (got.encoded.size() < testCase.wire->size() / 2 || got.encoded.find(want.callId) == std::string::npos ||
        got.encoded.find(want.body) == std::string::npos) {
        wrong += "encoding lost content (" + std::to_string(got.encoded.size()) + " bytes); ";
    }
    if (!wrong.empty()) {
        return wrong;
    }
    std::printf("check %-8s %-9s ok, encoding %zu bytes, %s\n", implementation.name, testCase.name,
                got.encoded.size(), got.encoded == *testCase.wire ? "identical to input" : "differs from input");

    constexpr int kRounds = 16;
    Reader quiet(nullptr);
    implementation.run(*testCase.wire, quiet); // first-use initialisation is not per message
    const std::uint64_t before = g_allocations;
    for (int i = 0; i < kRounds; ++i) {
        implementation.run(*testCase.wire, quiet);
    }
    g_allocationsPerMessage[Key(implementation.name, testCase.name)] =
        static_cast<double>(g_allocations - before) / kRounds;
    return {};
}

/// CPU time of this thread: on a shared machine it is less disturbed than wall time.
double ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void Measure(benchmark::State& state, const Implementation& implementation, const Case& testCase, bool ours) {
    Reader reader(nullptr);
    const double start = ThreadCpuNs();
    for (auto _ : state) {
        if (!implementation.run(*testCase.wire, reader)) {
            state.SkipWithError("parse failed");
            return;
        }
    }
    const double ns = (ThreadCpuNs() - start) / static_cast<double>(state.iterations());
    g_nsPerMessage[Key(implementation.name, testCase.name)] = ns;
    state.counters["ns_per_msg"] = ns;
    state.counters["allocs"] = g_allocationsPerMessage[Key(implementation.name, testCase.name)];
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(testCase.wire->size()));
    if (ours) {
        for (const Implementation& baseline : Baselines()) {
            const auto found = g_nsPerMessage.find(Key(baseline.name, testCase.name));
            if (found != g_nsPerMessage.end() && found->second > 0) {
                state.counters[std::string("vs_") + baseline.name] = ns / found->second;
            }
        }
    }
}

const Implementation kOurs{"ours", &RunOurs};
const Implementation kOursEveryHeader{"ours", &RunOursEveryHeader};

/// Ours as the case asks: the usual reads, or every header.
const Implementation& OursFor(const Case& testCase) { return testCase.everyHeader ? kOursEveryHeader : kOurs; }

int RunCallgrind(long iterations) {
#if ZEL_BENCH_HAVE_CALLGRIND
    Reader quiet(nullptr);
    for (const Case& testCase : Cases()) {
        std::vector<Implementation> all = Baselines();
        all.push_back(OursFor(testCase));
        for (const Implementation& implementation : all) {
            implementation.run(*testCase.wire, quiet);
            const std::string name = Key(implementation.name, testCase.name);
            CALLGRIND_ZERO_STATS;
            for (long i = 0; i < iterations; ++i) {
                implementation.run(*testCase.wire, quiet);
            }
            CALLGRIND_DUMP_STATS_AT(name.c_str());
        }
    }
    std::printf("callgrind: %ld iterations per case; divide each dump's total by that\n", iterations);
    return 0;
#else
    (void)iterations;
    std::fprintf(stderr, "built without valgrind/callgrind.h\n");
    return 1;
#endif
}

} // namespace

int main(int argc, char** argv) {
#if ZEL_BENCH_HAVE_OSIP2
    parser_init();
#endif
#if ZEL_BENCH_HAVE_LIBRE
    libre_init();
#endif
    bool failed = false;
    for (const Case& testCase : Cases()) {
        std::vector<Implementation> all = Baselines();
        all.push_back(OursFor(testCase));
        for (const Implementation& implementation : all) {
            const std::string problem = Check(implementation, testCase);
            if (!problem.empty()) {
                std::fprintf(stderr, "check %s on %s failed: %s\n", implementation.name, testCase.name,
                             problem.c_str());
                failed = true;
            }
        }
    }
    if (failed) {
        std::fprintf(stderr, "aborting: an implementation did not read the expected values\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--callgrind=", 12) == 0) {
            return RunCallgrind(std::strtol(argv[i] + 12, nullptr, 10));
        }
    }

    for (const Case& testCase : Cases()) {
        std::printf("%-9s %zu bytes\n", testCase.name, testCase.wire->size());
        for (const Implementation& implementation : Baselines()) {
            benchmark::RegisterBenchmark(Key(implementation.name, testCase.name).c_str(),
                                         [&implementation, &testCase](benchmark::State& state) {
                                             Measure(state, implementation, testCase, false);
                                         });
        }
        benchmark::RegisterBenchmark(Key(kOurs.name, testCase.name).c_str(), [&testCase](benchmark::State& state) {
            Measure(state, OursFor(testCase), testCase, true);
        });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

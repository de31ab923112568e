#include "stack/transaction/TransactionMessages.h"

#include <stdexcept>

namespace zel::sip::stack {

namespace {

void CopyAll(const SipMessage& from, SipMessage& to, HeaderType type) {
    const std::size_t count = from.Count(type);
    for (std::size_t i = 0; i < count; ++i) {
        to.Add(type, from.ValueText(type, i));
    }
}

} // namespace

SipMessage MakeAckForFailure(const SipMessage& invite, const SipMessage& response) {
    const Uri* requestUri = invite.RequestUri();
    if (requestUri == nullptr) {
        throw std::invalid_argument("cannot build an ACK: the INVITE has no valid Request-URI");
    }
    const CSeq* cseq = invite.Peek<CSeq>(HeaderType::CSeq);
    if (cseq == nullptr) {
        throw std::invalid_argument("cannot build an ACK: the INVITE has no valid CSeq");
    }
    if (!response.Has(HeaderType::To)) {
        throw std::invalid_argument("cannot build an ACK: the response has no To");
    }
    SipMessage ack = SipMessage::MakeRequest("ACK", *requestUri);
    if (invite.Count(HeaderType::Via) > 0) {
        ack.Add(HeaderType::Via, invite.ValueText(HeaderType::Via, 0));
    }
    ack.Add(HeaderType::MaxForwards,
            invite.Has(HeaderType::MaxForwards) ? invite.ValueText(HeaderType::MaxForwards) : std::string("70"));
    CopyAll(invite, ack, HeaderType::Route);
    CopyAll(invite, ack, HeaderType::From);
    ack.Add(HeaderType::To, response.ValueText(HeaderType::To));
    CopyAll(invite, ack, HeaderType::CallId);
    ack.Add(HeaderType::CSeq, CSeq(cseq->Sequence(), "ACK"));
    return ack;
}

SipMessage MakeTrying(const SipMessage& request) {
    SipMessage trying = SipMessage::MakeResponse(100, "Trying");
    for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq,
                            HeaderType::Timestamp}) {
        CopyAll(request, trying, type);
    }
    return trying;
}

} // namespace zel::sip::stack

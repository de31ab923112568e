#include "stack/dum/Dialog.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"

namespace zel::sip::stack {

namespace {

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

std::string_view TagOf(const NameAddr& address) noexcept {
    const Parameter* tag = address.Params().Find("tag");
    return tag != nullptr && tag->hasValue ? std::string_view(tag->value) : std::string_view();
}

NameAddr WithoutTag(NameAddr address) {
    address.Params().Remove("tag");
    return address;
}

/// Record-Route values in message order; nullopt when one cannot be read.
std::optional<std::vector<NameAddr>> ReadRecordRoute(const SipMessage& message) {
    std::vector<NameAddr> routes;
    const std::size_t count = message.Count(HeaderType::RecordRoute);
    routes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const NameAddr* route = message.Peek<NameAddr>(HeaderType::RecordRoute, i);
        if (route == nullptr || route->IsWildcard()) {
            return std::nullopt;
        }
        routes.push_back(*route);
    }
    return routes;
}

enum class ContactRead { Absent, Malformed, Present };

/// The URI of the first Contact (a dialog's Contact holds exactly one, RFC 3261 section 8.1.1.8).
ContactRead ReadContactUri(const SipMessage& message, Uri& out) {
    if (message.Count(HeaderType::Contact) == 0) {
        return ContactRead::Absent;
    }
    const NameAddr* contact = message.Peek<NameAddr>(HeaderType::Contact, 0);
    if (contact == nullptr || contact->IsWildcard()) {
        return ContactRead::Malformed;
    }
    out = contact->GetUri();
    return ContactRead::Present;
}

} // namespace

bool Dialog::IsTargetRefresh(std::string_view method) noexcept {
    return method == "INVITE" || method == "UPDATE" || method == "SUBSCRIBE" || method == "NOTIFY";
}

std::optional<Dialog> Dialog::CreateAsUac(const SipMessage& request, const SipMessage& response, std::string* error) {
    if (!request.IsRequest() || !response.IsResponse()) {
        SetError(error, "need our request and a response to it");
        return std::nullopt;
    }
    const int status = response.StatusCode();
    if (status <= 100 || status >= 300) {
        SetError(error, "only a 101-299 response creates a dialog");
        return std::nullopt;
    }
    const CallId* requestCallId = request.Peek<CallId>(HeaderType::CallId);
    const CallId* responseCallId = response.Peek<CallId>(HeaderType::CallId);
    const NameAddr* from = request.Peek<NameAddr>(HeaderType::From);
    const NameAddr* responseFrom = response.Peek<NameAddr>(HeaderType::From);
    const NameAddr* to = response.Peek<NameAddr>(HeaderType::To);
    const CSeq* requestCSeq = request.Peek<CSeq>(HeaderType::CSeq);
    const CSeq* responseCSeq = response.Peek<CSeq>(HeaderType::CSeq);
    const Uri* requestUri = request.RequestUri();
    if (requestCallId == nullptr || responseCallId == nullptr || from == nullptr || responseFrom == nullptr ||
        to == nullptr || requestCSeq == nullptr || responseCSeq == nullptr || requestUri == nullptr) {
        SetError(error, "Call-ID, From, To, CSeq or Request-URI missing or malformed");
        return std::nullopt;
    }
    if (requestCallId->Value() != responseCallId->Value() || TagOf(*from) != TagOf(*responseFrom) ||
        requestCSeq->Sequence() != responseCSeq->Sequence() || requestCSeq->Method() != responseCSeq->Method()) {
        SetError(error, "the response does not answer this request");
        return std::nullopt;
    }
    if (TagOf(*from).empty()) {
        SetError(error, "our request has no From tag");
        return std::nullopt;
    }
    if (TagOf(*to).empty()) {
        SetError(error, "the response has no To tag");
        return std::nullopt;
    }
    auto routes = ReadRecordRoute(response);
    if (!routes) {
        SetError(error, "malformed Record-Route");
        return std::nullopt;
    }

    Dialog dialog;
    dialog.role_ = Role::Uac;
    dialog.state_ = status >= 200 ? State::Confirmed : State::Early;
    dialog.id_ = DialogId{requestCallId->Value(), std::string(TagOf(*from)), std::string(TagOf(*to))};
    std::reverse(routes->begin(), routes->end());
    dialog.routeSet_ = std::move(*routes);
    dialog.remoteTarget_ = *requestUri;
    switch (ReadContactUri(response, dialog.remoteTarget_)) {
    case ContactRead::Malformed:
        SetError(error, "malformed Contact");
        return std::nullopt;
    case ContactRead::Absent:
        // A 2xx to INVITE must carry a Contact; a peer that omits it is still reachable through the
        // Request-URI we used, so keep that rather than lose the call.
    case ContactRead::Present:
        break;
    }
    dialog.localUri_ = WithoutTag(*from);
    dialog.remoteUri_ = WithoutTag(*to);
    if (request.Count(HeaderType::Contact) > 0) {
        if (const NameAddr* contact = request.Peek<NameAddr>(HeaderType::Contact, 0); contact != nullptr) {
            dialog.localContact_ = *contact;
        }
    }
    dialog.localCSeq_ = requestCSeq->Sequence();
    dialog.creatingCSeq_ = requestCSeq->Sequence();
    if (requestCSeq->Method() == "INVITE") {
        dialog.lastInviteCSeq_ = requestCSeq->Sequence();
    }
    dialog.secure_ = requestUri->Scheme() == "sips";
    return dialog;
}

std::optional<Dialog> Dialog::CreateAsUas(const SipMessage& request, std::string localTag,
                                          std::optional<NameAddr> localContact, std::string* error) {
    if (!request.IsRequest()) {
        SetError(error, "need a request");
        return std::nullopt;
    }
    if (localTag.empty()) {
        SetError(error, "empty local tag");
        return std::nullopt;
    }
    const CallId* callId = request.Peek<CallId>(HeaderType::CallId);
    const NameAddr* from = request.Peek<NameAddr>(HeaderType::From);
    const NameAddr* to = request.Peek<NameAddr>(HeaderType::To);
    const CSeq* cseq = request.Peek<CSeq>(HeaderType::CSeq);
    const Uri* requestUri = request.RequestUri();
    if (callId == nullptr || from == nullptr || to == nullptr || cseq == nullptr || requestUri == nullptr) {
        SetError(error, "Call-ID, From, To, CSeq or Request-URI missing or malformed");
        return std::nullopt;
    }
    auto routes = ReadRecordRoute(request);
    if (!routes) {
        SetError(error, "malformed Record-Route");
        return std::nullopt;
    }
    Dialog dialog;
    if (ReadContactUri(request, dialog.remoteTarget_) != ContactRead::Present) {
        SetError(error, "a dialog-creating request needs one readable Contact");
        return std::nullopt;
    }
    dialog.role_ = Role::Uas;
    dialog.state_ = State::Early;
    // An empty remote tag stays empty: RFC 2543 peers send no From tag (section 12.1.1).
    dialog.id_ = DialogId{callId->Value(), std::move(localTag), std::string(TagOf(*from))};
    dialog.routeSet_ = std::move(*routes);
    dialog.localUri_ = WithoutTag(*to);
    dialog.remoteUri_ = WithoutTag(*from);
    dialog.localContact_ = std::move(localContact);
    dialog.remoteCSeq_ = cseq->Sequence();
    dialog.secure_ = requestUri->Scheme() == "sips";
    return dialog;
}

Dialog::OutgoingRequest Dialog::MakeRequest(std::string_view method) {
    if (method.empty()) {
        throw std::invalid_argument("Dialog::MakeRequest: empty method");
    }
    if (method == "CANCEL") {
        throw std::invalid_argument("Dialog::MakeRequest: a CANCEL is built from the request it cancels");
    }
    std::uint32_t sequence = 0;
    if (method == "ACK") {
        if (!lastInviteCSeq_) {
            throw std::logic_error("Dialog::MakeRequest: no INVITE of ours to acknowledge in this dialog");
        }
        sequence = *lastInviteCSeq_;
    } else {
        // RFC 3261 section 8.1.1.5: any start below 2**31 will do when we have sent nothing yet.
        sequence = localCSeq_ ? *localCSeq_ + 1 : 1;
        localCSeq_ = sequence;
        if (method == "INVITE") {
            lastInviteCSeq_ = sequence;
        }
    }

    // Section 12.2.1.1: with a loose router first (or no route) the remote target is the
    // Request-URI and the route set is the Route header. A strict router first takes the
    // Request-URI itself, and the remote target goes last in Route.
    const bool strict = !routeSet_.empty() && !routeSet_.front().GetUri().Params().Has("lr");
    Uri requestUri = remoteTarget_;
    if (strict) {
        requestUri = routeSet_.front().GetUri();
        // Parameters not allowed in a Request-URI (section 19.1.1): method, and URI headers.
        requestUri.Params().Remove("method");
        requestUri.Headers().Clear();
    }

    OutgoingRequest out{SipMessage::MakeRequest(method, requestUri), Uri()};
    SipMessage& request = out.request;
    if (strict) {
        for (std::size_t i = 1; i < routeSet_.size(); ++i) {
            request.Add(HeaderType::Route, routeSet_[i]);
        }
        request.Add(HeaderType::Route, NameAddr(remoteTarget_));
        out.nextHop = requestUri;
    } else {
        for (const NameAddr& route : routeSet_) {
            request.Add(HeaderType::Route, route);
        }
        out.nextHop = routeSet_.empty() ? requestUri : routeSet_.front().GetUri();
    }
    request.Add(HeaderType::MaxForwards, Number(70));
    NameAddr to = remoteUri_;
    if (!id_.remoteTag.empty()) {
        to.Params().Set("tag", id_.remoteTag);
    }
    request.Add(HeaderType::To, std::move(to));
    NameAddr from = localUri_;
    from.Params().Set("tag", id_.localTag);
    request.Add(HeaderType::From, std::move(from));
    request.Add(HeaderType::CallId, CallId(id_.callId));
    request.Add(HeaderType::CSeq, CSeq(sequence, std::string(method)));
    if (localContact_ && IsTargetRefresh(method)) {
        request.Add(HeaderType::Contact, *localContact_);
    }
    return out;
}

Dialog::RequestVerdict Dialog::OnRequest(const SipMessage& request) {
    const CSeq* cseq = request.Peek<CSeq>(HeaderType::CSeq);
    if (!request.IsRequest() || cseq == nullptr) {
        return RequestVerdict::Malformed;
    }
    const std::string_view method = request.Method();
    if (method == "ACK" || method == "CANCEL") {
        // ACK repeats the INVITE's number and CANCEL the cancelled request's: neither is a new
        // request in the remote sequence.
        return RequestVerdict::Accepted;
    }
    if (remoteCSeq_ && cseq->Sequence() < *remoteCSeq_) {
        return RequestVerdict::OutOfOrder;
    }
    Uri target;
    const bool refresh = IsTargetRefresh(method);
    ContactRead contact = ContactRead::Absent;
    if (refresh) {
        contact = ReadContactUri(request, target);
        if (contact == ContactRead::Malformed) {
            return RequestVerdict::Malformed;
        }
    }
    remoteCSeq_ = cseq->Sequence();
    if (contact == ContactRead::Present) {
        // Section 12.2.2: the remote target is replaced on receipt of a target refresh request.
        remoteTarget_ = std::move(target);
    }
    return RequestVerdict::Accepted;
}

bool Dialog::OnResponse(const SipMessage& response) {
    if (!response.IsResponse()) {
        return false;
    }
    const NameAddr* to = response.Peek<NameAddr>(HeaderType::To);
    const CSeq* cseq = response.Peek<CSeq>(HeaderType::CSeq);
    if (to == nullptr || cseq == nullptr || TagOf(*to) != id_.remoteTag) {
        return false;
    }
    const int status = response.StatusCode();
    const std::string& method = cseq->Method();
    Uri target;
    const ContactRead contact = ReadContactUri(response, target);

    if (role_ == Role::Uac && state_ == State::Early && creatingCSeq_ == cseq->Sequence()) {
        if (status >= 200 && status < 300) {
            auto routes = ReadRecordRoute(response);
            if (!routes) {
                // Keep the early route set rather than adopt a half-read one; the dialog still
                // confirms, as the peer did answer 2xx.
                routes = routeSet_;
            } else {
                std::reverse(routes->begin(), routes->end());
            }
            routeSet_ = std::move(*routes);
            if (contact == ContactRead::Present) {
                remoteTarget_ = std::move(target);
            }
            state_ = State::Confirmed;
            return true;
        }
        if (status > 100 && status < 200 && contact == ContactRead::Present) {
            remoteTarget_ = std::move(target);
        }
        return false;
    }
    if (status >= 200 && status < 300 && IsTargetRefresh(method) && contact == ContactRead::Present) {
        remoteTarget_ = std::move(target);
    }
    return false;
}

std::string_view ToString(Dialog::State state) noexcept {
    switch (state) {
    case Dialog::State::Early:
        return "Early";
    case Dialog::State::Confirmed:
        return "Confirmed";
    }
    return "?";
}

} // namespace zel::sip::stack

#include "stack/dum/RegistrationCore.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"
#include "stack/message/Number.h"
#include "stack/message/Token.h"

namespace zel::sip::stack {

namespace {

using std::chrono::seconds;

constexpr seconds kRefreshMargin{32}; // 64*T1: one non-INVITE transaction with every retransmission
constexpr seconds kRefreshFloor{5};

/// The instance id as the +sip.instance value carries it: "<urn:uuid:...>".
std::string InstanceValue(std::string_view instanceId) {
    if (!instanceId.empty() && instanceId.front() == '<') {
        return std::string(instanceId);
    }
    return "<" + std::string(instanceId) + ">";
}

bool SameAddress(const Uri& a, const Uri& b) {
    return IEquals(a.Scheme(), b.Scheme()) && a.User() == b.User() && IEquals(a.Host(), b.Host()) &&
           a.Port() == b.Port();
}

/// Failures worth trying again later: the registrar or the path to it is busy, down or slow
/// (RFC 3261 sections 21.4.9, 21.4.18, 21.5). Permanent refusals and 6xx are final.
bool IsRetryable(int status) noexcept {
    switch (status) {
    case 408:
    case 480:
    case 500:
    case 502:
    case 503:
    case 504:
        return true;
    default:
        return false;
    }
}

} // namespace

RegistrationCore::RegistrationCore(NameAddr aor, NameAddr contact, RegistrationSettings settings, std::string callId,
                                   std::string fromTag, std::optional<Uri> registrar)
    : RegistrationCore(std::move(aor), std::move(contact),
                       std::make_shared<const RegistrationSettings>(std::move(settings)), std::move(callId),
                       std::move(fromTag), std::move(registrar)) {}

RegistrationCore::RegistrationCore(NameAddr aor, NameAddr contact,
                                   std::shared_ptr<const RegistrationSettings> settings, std::string callId,
                                   std::string fromTag, std::optional<Uri> registrar)
    : settings_(std::move(settings)) {
    if (settings_ == nullptr) {
        throw std::invalid_argument("RegistrationCore: no settings");
    }
    if (callId.empty() || fromTag.empty()) {
        throw std::invalid_argument("RegistrationCore: the Call-ID and the From tag must not be empty");
    }
    if (contact.IsWildcard()) {
        throw std::invalid_argument("RegistrationCore: our Contact cannot be the wildcard");
    }
    if (settings_->registrationTime.count() <= 0) {
        throw std::invalid_argument("RegistrationCore: the registration time must be positive");
    }
    if (settings_->outbound && (settings_->instanceId.empty() || settings_->regId == 0)) {
        throw std::invalid_argument("RegistrationCore: outbound needs an instance id and a reg-id from 1");
    }
    aor.Params().Remove("tag");
    if (!registrar) {
        // Section 10.2: the Request-URI names the domain, without userinfo.
        const Uri& aorUri = aor.GetUri();
        registrar.emplace();
        registrar->SetScheme(aorUri.Scheme());
        registrar->SetHost(aorUri.Host());
        if (aorUri.HasPort()) {
            registrar->SetPort(aorUri.Port());
        }
    }
    const std::string aorText = aor.ToString();
    const std::string contactText = contact.ToString();
    const std::string registrarText = registrar->ToString();
    // Every later request parses these again: a value that does not survive its own encoding is
    // refused now rather than when a refresh is due.
    NameAddr aorAgain;
    NameAddr contactAgain;
    Uri registrarAgain;
    if (!NameAddr::TryParse(aorText, aorAgain) || !NameAddr::TryParse(contactText, contactAgain) ||
        !Uri::TryParse(registrarText, registrarAgain)) {
        throw std::invalid_argument("RegistrationCore: the address of record, Contact or registrar cannot be encoded: " +
                                    aorText + ", " + contactText + ", " + registrarText);
    }
    SetTexts({aorText, contactText, registrarText, callId, fromTag});
    asked_ = AskedTime();
}

std::string_view RegistrationCore::GetText(Text which) const noexcept {
    const auto index = static_cast<std::size_t>(which);
    const std::size_t begin = index == 0 ? 0 : textEnds_[index - 1];
    return std::string_view(texts_).substr(begin, textEnds_[index] - begin);
}

void RegistrationCore::SetTexts(const std::array<std::string_view, kTexts>& values) {
    std::size_t total = 0;
    for (std::string_view value : values) {
        total += value.size();
    }
    std::string texts;
    texts.reserve(total); // exactly: the buffer lives as long as the registration
    for (std::size_t i = 0; i < kTexts; ++i) {
        texts += values[i];
        textEnds_[i] = static_cast<std::uint32_t>(texts.size());
    }
    texts_ = std::move(texts);
}

NameAddr RegistrationCore::AddressOfRecord() const { return NameAddr::Parse(GetText(Text::Aor)); }

NameAddr RegistrationCore::Contact() const { return NameAddr::Parse(GetText(Text::Contact)); }

void RegistrationCore::SetContactUri(Uri uri) {
    NameAddr contact = Contact();
    contact.SetUri(std::move(uri));
    const std::string contactText = contact.ToString();
    SetTexts({GetText(Text::Aor), contactText, GetText(Text::Registrar), GetText(Text::CallId), GetText(Text::FromTag)});
}

seconds RegistrationCore::AskedTime() const noexcept {
    seconds asked = settings_->registrationTime;
    if (settings_->maximumRegistrationTime.count() > 0) {
        asked = std::min(asked, settings_->maximumRegistrationTime);
    }
    return asked;
}

seconds RegistrationCore::RefreshDelay(seconds granted) noexcept {
    return std::max({granted / 2, granted - kRefreshMargin, kRefreshFloor});
}

Uri RegistrationCore::ContactForDialogs() const {
    Uri uri = Contact().GetUri();
    if (outboundInEffect_) {
        uri.Params().SetFlag("ob");
    }
    return uri;
}

SipMessage RegistrationCore::BuildRegister(std::uint32_t sequence) const {
    const bool removal = state_ == State::Removing;
    SipMessage request = SipMessage::MakeRequest("REGISTER", Uri::Parse(GetText(Text::Registrar)));
    request.Add(HeaderType::MaxForwards, Number(70));
    NameAddr from = AddressOfRecord();
    request.Add(HeaderType::To, from);
    from.Params().Set("tag", GetText(Text::FromTag));
    request.Add(HeaderType::From, std::move(from));
    request.Add(HeaderType::CallId, CallId(std::string(GetText(Text::CallId))));
    request.Add(HeaderType::CSeq, CSeq(sequence, "REGISTER"));

    const auto expires = static_cast<std::uint32_t>(removal ? 0 : asked_.count());
    NameAddr contact = Contact();
    contact.Params().SetUInt32("expires", expires);
    for (const Parameter& capability : settings_->capabilities) {
        contact.Params().Remove(capability.name);
        contact.Params().Append(capability);
    }
    if (!settings_->instanceId.empty()) {
        contact.Params().Set("+sip.instance", InstanceValue(settings_->instanceId), true);
    }
    if (settings_->outbound) {
        // RFC 5626 section 4.2.1: +sip.instance and reg-id are Contact header parameters. The
        // "ob" URI parameter goes on the Contact URI as well: edge proxies and registrars (kamailio's
        // outbound support among them) take it as the UA's request that its dialogs use this flow,
        // and dialog-forming requests carry the same URI (ContactForDialogs).
        contact.Params().SetUInt32("reg-id", settings_->regId);
        contact.GetUri().Params().SetFlag("ob");
    }
    request.Add(HeaderType::Contact, std::move(contact));
    request.Add(HeaderType::Expires, Number(expires));

    std::vector<std::string> supported;
    if (settings_->outbound) {
        supported = {"outbound", "path"};
    }
    for (const std::string& tag : settings_->supported) {
        if (std::none_of(supported.begin(), supported.end(), [&](const std::string& t) { return IEquals(t, tag); })) {
            supported.push_back(tag);
        }
    }
    for (std::string& tag : supported) {
        request.Add(HeaderType::Supported, Token(std::move(tag)));
    }
    return request;
}

RegistrationStep RegistrationCore::SendNew(State next) {
    state_ = next;
    RegistrationStep step;
    step.send = BuildRegister(++cseq_);
    step.stopTimer = true;
    due_.reset();
    return step;
}

RegistrationStep RegistrationCore::Start(TimePoint now) {
    (void)now;
    if (state_ != State::Idle) {
        throw std::logic_error(std::string("RegistrationCore::Start: already started (state ") +
                               std::string(ToString(state_)) + ")");
    }
    return SendNew(State::Registering);
}

SipMessage RegistrationCore::Resend() {
    if (state_ != State::Registering && state_ != State::Refreshing && state_ != State::Removing) {
        throw std::logic_error("RegistrationCore::Resend: no REGISTER in progress");
    }
    // Nothing that shapes the request changes while it is in progress (the Contact URI and the
    // time asked change only on a final response), so this is the same REGISTER, next CSeq.
    return BuildRegister(++cseq_);
}

std::optional<SipMessage> RegistrationCore::LastRequest() const {
    if (cseq_ == 0) {
        return std::nullopt;
    }
    return BuildRegister(cseq_);
}

const NameAddr* RegistrationCore::FindOurContact(const SipMessage& response) const {
    const std::size_t count = response.Count(HeaderType::Contact);
    const std::string instance = settings_->instanceId.empty() ? std::string() : InstanceValue(settings_->instanceId);
    const NameAddr* loose = nullptr;
    const NameAddr ourContact = Contact();
    const Uri& ours = ourContact.GetUri();
    for (std::size_t i = 0; i < count; ++i) {
        const NameAddr* candidate = response.Peek<NameAddr>(HeaderType::Contact, i);
        if (candidate == nullptr || candidate->IsWildcard()) {
            continue; // one unreadable binding must not hide ours
        }
        // The instance id names our device even when a registrar rewrote the address (RFC 5626
        // section 6); with outbound the reg-id tells our flows apart.
        if (!instance.empty()) {
            const Parameter* theirs = candidate->Params().Find("+sip.instance");
            if (theirs != nullptr && theirs->value == instance &&
                (!settings_->outbound || candidate->Params().GetUInt32("reg-id") == settings_->regId)) {
                return candidate;
            }
        }
        if (candidate->GetUri().Equivalent(ours)) {
            return candidate;
        }
        // Registrars that drop or add URI parameters (transport, ob, line) still keep the address.
        if (loose == nullptr && SameAddress(candidate->GetUri(), ours)) {
            loose = candidate;
        }
    }
    return loose;
}

RegistrationStep RegistrationCore::OnResponse(const SipMessage& response, TimePoint now) {
    if (state_ != State::Registering && state_ != State::Refreshing && state_ != State::Removing) {
        return {};
    }
    const CSeq* cseq = response.Peek<CSeq>(HeaderType::CSeq);
    if (!response.IsResponse() || cseq == nullptr || cseq->Sequence() != cseq_ || cseq->Method() != "REGISTER") {
        return {}; // a stray or late response (to a request Resend replaced)
    }
    const int status = response.StatusCode();
    if (status < 200) {
        return {};
    }
    if (state_ == State::Removing) {
        if (status < 300) {
            return FinishRemoval(status, std::string(response.ReasonPhrase()), RegistrationFailure::None);
        }
        // The binding lapses at its expiry anyway; the removal is over either way.
        return FinishRemoval(status, std::string(response.ReasonPhrase()), RegistrationFailure::Rejected);
    }
    RegistrationStep step = status < 300 ? OnSuccess(response, now) : OnFailureResponse(response, now);
    return AfterEndRequest(std::move(step), now);
}

RegistrationStep RegistrationCore::OnSuccess(const SipMessage& response, TimePoint now) {
    const NameAddr* ours = FindOurContact(response);
    std::optional<std::uint32_t> expires;
    if (ours != nullptr) {
        expires = ours->Params().GetUInt32("expires");
    }
    if (!expires) {
        if (const Number* header = response.Peek<Number>(HeaderType::Expires); header != nullptr) {
            expires = header->Value();
        }
    }
    const seconds granted = expires ? seconds(*expires) : asked_;
    if (granted.count() == 0) {
        return Fail(response.StatusCode(), "the registrar granted our Contact no time",
                    RegistrationFailure::NoTimeGranted);
    }

    RegistrationStep step;
    step.event = registeredBefore_ ? RegistrationStep::Event::Refreshed : RegistrationStep::Event::Registered;
    step.statusCode = response.StatusCode();
    step.reason = std::string(response.ReasonPhrase());
    step.expires = granted;
    step.contactListed = ours != nullptr;
    if (settings_->outbound) {
        bool required = false;
        const std::size_t count = response.Count(HeaderType::Require);
        for (std::size_t i = 0; i < count && !required; ++i) {
            const Token* tag = response.Peek<Token>(HeaderType::Require, i);
            required = tag != nullptr && tag->Matches("outbound");
        }
        outboundInEffect_ = required;
        step.outboundRefused = !required;
    }
    step.outboundInEffect = outboundInEffect_;

    granted_ = granted;
    bindingExpiry_ = now + granted;
    seconds planned = granted;
    if (settings_->maximumRegistrationTime.count() > 0) {
        planned = std::min(planned, settings_->maximumRegistrationTime);
    }
    due_ = now + RefreshDelay(planned);
    step.wakeAt = due_;
    state_ = State::Registered;
    registeredBefore_ = true;
    raisedForMinExpires_ = false;
    return step;
}

RegistrationStep RegistrationCore::OnFailureResponse(const SipMessage& response, TimePoint now) {
    (void)now;
    const int status = response.StatusCode();
    std::string reason(response.ReasonPhrase());
    if (status == 423) {
        // Section 10.2.8: retry once with at least Min-Expires. A Min-Expires that is not larger
        // than what we asked, or a second 423, means the registrar and we cannot agree.
        const Number* minimum = response.Peek<Number>(HeaderType::MinExpires);
        if (raisedForMinExpires_ || minimum == nullptr || seconds(minimum->Value()) <= asked_) {
            return Fail(status, std::move(reason), RegistrationFailure::IntervalTooBrief);
        }
        raisedForMinExpires_ = true;
        asked_ = seconds(minimum->Value());
        return SendNew(state_);
    }
    if (status == 439 && settings_->outbound) {
        return Fail(status, std::move(reason), RegistrationFailure::OutboundUnsupported);
    }
    if (IsRetryable(status)) {
        seconds retryAfter = settings_->retryTime;
        if (const RetryAfter* header = response.Peek<RetryAfter>(HeaderType::RetryAfter);
            header != nullptr && header->Value() > 0) {
            retryAfter = seconds(header->Value());
        }
        return RetryQuery(status, std::move(reason), RegistrationFailure::Rejected, retryAfter);
    }
    return Fail(status, std::move(reason), RegistrationFailure::Rejected);
}

RegistrationStep RegistrationCore::RetryQuery(int statusCode, std::string reason, RegistrationFailure cause,
                                              seconds retryAfter) {
    state_ = State::RetryPending;
    registeredBefore_ = false;
    due_.reset();
    RegistrationStep step;
    step.event = RegistrationStep::Event::RetryQuery;
    step.statusCode = statusCode;
    step.reason = std::move(reason);
    step.failure = cause;
    step.retryAfter = retryAfter;
    step.stopTimer = true;
    return step;
}

RegistrationStep RegistrationCore::Fail(int statusCode, std::string reason, RegistrationFailure failure) {
    state_ = State::Failed;
    registeredBefore_ = false;
    outboundInEffect_ = false;
    due_.reset();
    RegistrationStep step;
    step.event = RegistrationStep::Event::Failed;
    step.statusCode = statusCode;
    step.reason = std::move(reason);
    step.failure = failure;
    step.stopTimer = true;
    return step;
}

RegistrationStep RegistrationCore::FinishRemoval(int statusCode, std::string reason, RegistrationFailure failure) {
    state_ = State::Removed;
    outboundInEffect_ = false;
    if (failure == RegistrationFailure::None) {
        bindingExpiry_.reset();
    }
    due_.reset();
    RegistrationStep step;
    step.event = RegistrationStep::Event::Removed;
    step.statusCode = statusCode;
    step.reason = std::move(reason);
    step.failure = failure;
    step.stopTimer = true;
    return step;
}

/// After a response to a REGISTER that was in progress when End was called: the removal goes out
/// now, after the event of that response (which the caller still reports).
RegistrationStep RegistrationCore::AfterEndRequest(RegistrationStep step, TimePoint now) {
    if (!endRequested_ || step.send) {
        return step; // a REGISTER still in progress (423 retry): the removal waits for its answer
    }
    endRequested_ = false;
    if (!BindingAlive(now)) {
        // The REGISTER failed and no earlier binding is alive: the host asked to end, so that is
        // what it hears about.
        return FinishRemoval(step.statusCode, std::move(step.reason), RegistrationFailure::None);
    }
    RegistrationStep removal = SendNew(State::Removing);
    // Ending was asked for: a failure of the REGISTER in progress is no reason to ask about a
    // retry any more; the removal that follows is what the caller hears about.
    removal.event = step.event == RegistrationStep::Event::RetryQuery ? RegistrationStep::Event::None : step.event;
    removal.statusCode = step.statusCode;
    removal.reason = std::move(step.reason);
    removal.failure = step.failure;
    removal.expires = step.expires;
    return removal;
}

RegistrationStep RegistrationCore::OnTimer(TimePoint now) {
    if (!due_ || now < *due_) {
        return {};
    }
    switch (state_) {
    case State::Registered:
        return SendNew(State::Refreshing);
    case State::RetryWaiting:
        return SendNew(State::Registering);
    case State::Idle:
    case State::Registering:
    case State::Refreshing:
    case State::RetryPending:
    case State::Removing:
    case State::Removed:
    case State::Failed:
        break;
    }
    due_.reset();
    return {};
}

RegistrationStep RegistrationCore::OnRetryAnswer(std::optional<seconds> after, TimePoint now) {
    if (state_ != State::RetryPending) {
        throw std::logic_error(std::string("RegistrationCore::OnRetryAnswer: no retry was asked (state ") +
                               std::string(ToString(state_)) + ")");
    }
    if (!after) {
        return Fail(0, "the retry was declined", RegistrationFailure::RetryDeclined);
    }
    state_ = State::RetryWaiting;
    due_ = now + std::max(*after, seconds(0));
    RegistrationStep step;
    step.wakeAt = due_;
    return step;
}

RegistrationStep RegistrationCore::OnTransactionFailure(bool timeout, TimePoint now) {
    const RegistrationFailure cause = timeout ? RegistrationFailure::Timeout : RegistrationFailure::TransportError;
    std::string reason = timeout ? "the REGISTER timed out" : "the REGISTER could not be sent";
    switch (state_) {
    case State::Registering:
    case State::Refreshing:
        return AfterEndRequest(RetryQuery(0, std::move(reason), cause, settings_->retryTime), now);
    case State::Removing:
        return FinishRemoval(0, std::move(reason), cause);
    case State::Idle:
    case State::Registered:
    case State::RetryPending:
    case State::RetryWaiting:
    case State::Removed:
    case State::Failed:
        break;
    }
    return {};
}

RegistrationStep RegistrationCore::OnFlowFailed(TimePoint now) {
    (void)now;
    if (state_ != State::Registered || !outboundInEffect_) {
        return {};
    }
    // A new flow is a new registration as far as the host is concerned: report Registered again.
    registeredBefore_ = false;
    return SendNew(State::Registering);
}

RegistrationStep RegistrationCore::End(TimePoint now) {
    switch (state_) {
    case State::Idle:
        return FinishRemoval(0, "never registered", RegistrationFailure::None);
    case State::Registering:
    case State::Refreshing:
        endRequested_ = true;
        return {};
    case State::Registered:
        return SendNew(State::Removing);
    case State::RetryPending:
    case State::RetryWaiting:
    case State::Failed:
        // A binding from an earlier success may still be alive: remove it rather than let it
        // attract requests until it lapses.
        if (BindingAlive(now)) {
            return SendNew(State::Removing);
        }
        return FinishRemoval(0, "nothing to remove", RegistrationFailure::None);
    case State::Removing:
    case State::Removed:
        break;
    }
    return {};
}

std::string_view ToString(RegistrationCore::State state) noexcept {
    switch (state) {
    case RegistrationCore::State::Idle:
        return "Idle";
    case RegistrationCore::State::Registering:
        return "Registering";
    case RegistrationCore::State::Registered:
        return "Registered";
    case RegistrationCore::State::Refreshing:
        return "Refreshing";
    case RegistrationCore::State::RetryPending:
        return "RetryPending";
    case RegistrationCore::State::RetryWaiting:
        return "RetryWaiting";
    case RegistrationCore::State::Removing:
        return "Removing";
    case RegistrationCore::State::Removed:
        return "Removed";
    case RegistrationCore::State::Failed:
        return "Failed";
    }
    return "?";
}

std::string_view ToString(RegistrationStep::Event event) noexcept {
    switch (event) {
    case RegistrationStep::Event::None:
        return "None";
    case RegistrationStep::Event::Registered:
        return "Registered";
    case RegistrationStep::Event::Refreshed:
        return "Refreshed";
    case RegistrationStep::Event::RetryQuery:
        return "RetryQuery";
    case RegistrationStep::Event::Failed:
        return "Failed";
    case RegistrationStep::Event::Removed:
        return "Removed";
    }
    return "?";
}

std::string_view ToString(RegistrationFailure failure) noexcept {
    switch (failure) {
    case RegistrationFailure::None:
        return "None";
    case RegistrationFailure::Rejected:
        return "Rejected";
    case RegistrationFailure::IntervalTooBrief:
        return "IntervalTooBrief";
    case RegistrationFailure::OutboundUnsupported:
        return "OutboundUnsupported";
    case RegistrationFailure::NoTimeGranted:
        return "NoTimeGranted";
    case RegistrationFailure::Timeout:
        return "Timeout";
    case RegistrationFailure::TransportError:
        return "TransportError";
    case RegistrationFailure::RetryDeclined:
        return "RetryDeclined";
    }
    return "?";
}

} // namespace zel::sip::stack

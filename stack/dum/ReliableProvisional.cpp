#include "stack/dum/ReliableProvisional.h"

#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "stack/base/CaseInsensitive.h"
#include "stack/message/CSeq.h"
#include "stack/message/Mime.h"
#include "stack/message/Token.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

using StepEvent = ReliableProvisionalStep::Event;

constexpr std::string_view kTag = "100rel";
constexpr std::uint32_t kMaxFirstRSeq = 0x7fffffffU; // 2**31-1, RFC 3262 section 3

/// Whether a List header of option tags names `tag`. Values that do not parse are skipped: one bad
/// tag must not hide the others.
bool ListsTag(const SipMessage& message, HeaderType type, std::string_view tag) {
    const std::size_t count = message.Count(type);
    for (std::size_t i = 0; i < count; ++i) {
        const Token* value = message.Peek<Token>(type, i);
        if (value != nullptr && value->Matches(tag)) {
            return true;
        }
    }
    return false;
}

std::uint32_t RandomFirstRSeq() noexcept {
    std::uint32_t value = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof(value)) != 1) {
        // The RSeq need not be secret (RFC 3262 only asks for a random start); a failing generator
        // must not keep the INVITE from being answered.
        value = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return value % kMaxFirstRSeq + 1;
}

/// The CSeq number and method of `message`, if readable.
bool ReadCSeq(const SipMessage& message, std::uint32_t& number, std::string& method) {
    const CSeq* cseq = message.Peek<CSeq>(HeaderType::CSeq);
    if (cseq == nullptr) {
        return false;
    }
    number = cseq->Sequence();
    method = cseq->Method();
    return true;
}

} // namespace

bool CarriesSessionDescription(const SipMessage& message) {
    if (message.Body().empty()) {
        return false;
    }
    const Mime* type = message.Peek<Mime>(HeaderType::ContentType);
    if (type == nullptr) {
        return false;
    }
    return (IEquals(type->Type(), "application") && IEquals(type->Subtype(), "sdp")) ||
           IEquals(type->Type(), "multipart");
}

// ---- UAS ------------------------------------------------------------------------------------------

ReliableProvisionalUas::ReliableProvisionalUas(ReliableProvisionalMode mode, const SipMessage& invite,
                                               ReliableProvisionalTimers timers,
                                               std::optional<std::uint32_t> firstRSeq)
    : mode_(mode), timers_(timers), nextRSeq_(firstRSeq ? *firstRSeq : RandomFirstRSeq()) {
    if (nextRSeq_ == 0 || nextRSeq_ > kMaxFirstRSeq) {
        throw std::invalid_argument("ReliableProvisionalUas: the first RSeq must be between 1 and 2**31-1");
    }
    if (timers_.t1.count() <= 0 || timers_.t2 < timers_.t1) {
        throw std::invalid_argument("ReliableProvisionalUas: T1 must be positive and T2 at least T1");
    }
    peerRequires_ = ListsTag(invite, HeaderType::Require, kTag);
    peerSupports_ = peerRequires_ || ListsTag(invite, HeaderType::Supported, kTag);
    inviteReadable_ = ReadCSeq(invite, inviteCSeq_, inviteMethod_);
}

std::optional<SipMessage> ReliableProvisionalUas::Rejection(ReliableProvisionalMode mode, const SipMessage& invite,
                                                            std::string_view toTag) noexcept {
    try {
        const bool requires100rel = ListsTag(invite, HeaderType::Require, kTag);
        const bool supports100rel = requires100rel || ListsTag(invite, HeaderType::Supported, kTag);
        if (mode == ReliableProvisionalMode::Never && requires100rel) {
            auto response = detail::MakeResponseTo(invite, 420, "Bad Extension", toTag);
            if (response) {
                response->Add(HeaderType::Unsupported, kTag);
            }
            return response;
        }
        if (mode == ReliableProvisionalMode::Required && !supports100rel) {
            auto response = detail::MakeResponseTo(invite, 421, "Extension Required", toTag);
            if (response) {
                response->Add(HeaderType::Require, kTag);
            }
            return response;
        }
    } catch (const std::exception&) {
        // Only allocation can fail here; an INVITE we cannot answer is left to the session.
    }
    return std::nullopt;
}

bool ReliableProvisionalUas::IsReliable(const SipMessage& provisional) const {
    const int status = provisional.StatusCode();
    if (status <= 100 || status > 199) {
        return false; // RFC 3262 section 3: a 100 is never sent reliably
    }
    switch (mode_) {
    case ReliableProvisionalMode::Never:
        return false;
    case ReliableProvisionalMode::Required:
        return true;
    case ReliableProvisionalMode::Supported:
        return peerSupports_;
    case ReliableProvisionalMode::SupportedEssential:
        // Section 3: a peer that requires 100rel gets every 1xx reliably, whatever we prefer.
        return peerRequires_ || (peerSupports_ && CarriesSessionDescription(provisional));
    }
    return false;
}

ReliableProvisionalStep ReliableProvisionalUas::SendProvisional(SipMessage provisional, TimePoint now) {
    if (!provisional.IsResponse() || provisional.StatusCode() < 100 || provisional.StatusCode() > 199) {
        throw std::invalid_argument("ReliableProvisionalUas: SendProvisional takes a 1xx response");
    }
    ReliableProvisionalStep step;
    if (state_ == State::Finished) {
        step.event = StepEvent::Refused;
        step.reason = "a final response was sent";
        return step;
    }
    if (!IsReliable(provisional)) {
        step.event = StepEvent::SentUnreliably;
        step.send = std::move(provisional);
        return step;
    }
    if (state_ == State::AwaitingPrack) {
        // Section 3: no second reliable 1xx until the first is acknowledged.
        if (queue_.size() >= kMaxQueued) {
            step.event = StepEvent::Refused;
            step.reason = "too many provisional responses wait for a PRACK";
            return step;
        }
        queue_.push_back(std::move(provisional));
        step.event = StepEvent::Queued;
        return step;
    }
    return SendReliably(std::move(provisional), now);
}

ReliableProvisionalStep ReliableProvisionalUas::SendReliably(SipMessage provisional, TimePoint now) {
    if (!ListsTag(provisional, HeaderType::Require, kTag)) {
        provisional.Add(HeaderType::Require, kTag);
    }
    outstandingRSeq_ = nextRSeq_++;
    provisional.Set(HeaderType::RSeq, Number(outstandingRSeq_));
    outstandingHasDescription_ = CarriesSessionDescription(provisional);
    state_ = State::AwaitingPrack;
    firstSent_ = now;
    interval_ = timers_.t1;
    due_ = now + interval_;
    ReliableProvisionalStep step;
    step.event = StepEvent::SentReliably;
    step.send = provisional;
    step.wakeAt = due_;
    outstanding_ = std::move(provisional);
    return step;
}

ReliableProvisionalStep ReliableProvisionalUas::OnTimer(TimePoint now) {
    ReliableProvisionalStep step;
    if (state_ != State::AwaitingPrack || now < due_) {
        return step;
    }
    if (now - firstSent_ >= 64 * timers_.t1) {
        state_ = State::Finished;
        queue_.clear();
        step.event = StepEvent::GaveUp;
        step.stopTimer = true;
        step.reason = "no PRACK for RSeq " + std::to_string(outstandingRSeq_);
        return step;
    }
    interval_ = std::min(interval_ * 2, timers_.t2);
    // The give-up time is a wake-up of its own, so that it is not missed by up to T2.
    due_ = std::min(now + interval_, firstSent_ + 64 * timers_.t1);
    step.event = StepEvent::Retransmit;
    step.send = *outstanding_;
    step.wakeAt = due_;
    return step;
}

ReliableProvisionalStep ReliableProvisionalUas::OnPrack(const SipMessage& prack, TimePoint now) {
    ReliableProvisionalStep step;
    const RAck* rack = prack.Peek<RAck>(HeaderType::RAck);
    const bool matches = rack != nullptr && outstanding_.has_value() && inviteReadable_ &&
                         rack->ResponseNumber() == outstandingRSeq_ && rack->CSeqNumber() == inviteCSeq_ &&
                         rack->Method() == inviteMethod_; // methods are case-sensitive (RFC 3261 7.1)
    if (!matches) {
        step.event = StepEvent::PrackUnmatched;
        step.response = detail::MakeResponseTo(prack, 481, "Call/Transaction Does Not Exist", {});
        return step;
    }
    const bool wasHeld = !MaySendSuccess();
    outstanding_.reset();
    outstandingHasDescription_ = false;
    step.event = StepEvent::PrackMatched;
    step.response = detail::MakeResponseTo(prack, 200, "OK", {});
    if (state_ == State::AwaitingPrack) {
        state_ = State::Idle;
        step.stopTimer = true;
        if (!queue_.empty()) {
            SipMessage next = std::move(queue_.front());
            queue_.pop_front();
            ReliableProvisionalStep sent = SendReliably(std::move(next), now);
            step.send = std::move(sent.send);
            step.wakeAt = sent.wakeAt;
            step.stopTimer = false;
        }
    }
    step.successReleased = wasHeld && MaySendSuccess();
    return step;
}

bool ReliableProvisionalUas::MaySendSuccess() const noexcept {
    if (outstanding_ && outstandingHasDescription_) {
        return false;
    }
    return std::none_of(queue_.begin(), queue_.end(),
                        [](const SipMessage& queued) { return CarriesSessionDescription(queued); });
}

ReliableProvisionalStep ReliableProvisionalUas::OnFinalResponseSent(int statusCode) {
    if (statusCode < 200 || statusCode > 699) {
        throw std::invalid_argument("ReliableProvisionalUas: a final response has a status of 200-699");
    }
    if (statusCode < 300 && !MaySendSuccess()) {
        throw std::logic_error(
            "ReliableProvisionalUas: a 2xx may not go while a reliable 1xx with a session description is unacknowledged");
    }
    ReliableProvisionalStep step;
    step.event = StepEvent::Stopped;
    step.stopTimer = state_ == State::AwaitingPrack;
    // Section 3: stop retransmitting, but keep the outstanding 1xx so that its PRACK still gets 200.
    state_ = State::Finished;
    queue_.clear();
    return step;
}

// ---- UAC ------------------------------------------------------------------------------------------

void ReliableProvisionalUac::AddOptionTags(SipMessage& invite, ReliableProvisionalMode mode) {
    switch (mode) {
    case ReliableProvisionalMode::Never:
        return;
    case ReliableProvisionalMode::Required:
        if (!ListsTag(invite, HeaderType::Require, kTag)) {
            invite.Add(HeaderType::Require, kTag);
        }
        return;
    case ReliableProvisionalMode::SupportedEssential:
    case ReliableProvisionalMode::Supported:
        if (!ListsTag(invite, HeaderType::Supported, kTag) && !ListsTag(invite, HeaderType::Require, kTag)) {
            invite.Add(HeaderType::Supported, kTag);
        }
        return;
    }
}

ReliableProvisionalUac::ReliableProvisionalUac(const SipMessage& invite) {
    inviteReadable_ = ReadCSeq(invite, inviteCSeq_, inviteMethod_);
}

ProvisionalReceipt ReliableProvisionalUac::OnProvisional(const SipMessage& response) {
    ProvisionalReceipt receipt;
    const int status = response.StatusCode();
    if (status <= 100 || status > 199 || !ListsTag(response, HeaderType::Require, kTag)) {
        return receipt; // Unreliable
    }
    const Number* rseq = response.Peek<Number>(HeaderType::RSeq);
    std::uint32_t cseq = 0;
    std::string method;
    if (rseq == nullptr || !inviteReadable_ || !ReadCSeq(response, cseq, method) || cseq != inviteCSeq_ ||
        method != inviteMethod_) {
        receipt.kind = ProvisionalReceipt::Kind::Malformed;
        return receipt;
    }
    receipt.rseq = rseq->Value();
    // RFC 3262 section 4: the first reliable 1xx sets the base; after it only RSeq + 1 is taken.
    // Anything at or below the last one is a retransmission of a response already PRACKed.
    if (lastRSeq_ && receipt.rseq <= *lastRSeq_) {
        receipt.kind = ProvisionalReceipt::Kind::Duplicate;
        return receipt;
    }
    if (lastRSeq_ && receipt.rseq != *lastRSeq_ + 1) {
        receipt.kind = ProvisionalReceipt::Kind::OutOfOrder;
        return receipt;
    }
    lastRSeq_ = receipt.rseq;
    RAck rack;
    rack.SetResponseNumber(receipt.rseq);
    rack.SetCSeqNumber(inviteCSeq_);
    rack.SetMethod(inviteMethod_);
    receipt.kind = ProvisionalReceipt::Kind::New;
    receipt.rack = std::move(rack);
    return receipt;
}

// ---- names ----------------------------------------------------------------------------------------

std::string_view ToString(ReliableProvisionalUas::State state) noexcept {
    switch (state) {
    case ReliableProvisionalUas::State::Idle:
        return "Idle";
    case ReliableProvisionalUas::State::AwaitingPrack:
        return "AwaitingPrack";
    case ReliableProvisionalUas::State::Finished:
        return "Finished";
    }
    return "unknown";
}

std::string_view ToString(ReliableProvisionalUac::State state) noexcept {
    switch (state) {
    case ReliableProvisionalUac::State::Idle:
        return "Idle";
    case ReliableProvisionalUac::State::Receiving:
        return "Receiving";
    }
    return "unknown";
}

std::string_view ToString(ReliableProvisionalStep::Event event) noexcept {
    switch (event) {
    case StepEvent::None:
        return "None";
    case StepEvent::SentUnreliably:
        return "SentUnreliably";
    case StepEvent::SentReliably:
        return "SentReliably";
    case StepEvent::Queued:
        return "Queued";
    case StepEvent::Refused:
        return "Refused";
    case StepEvent::Retransmit:
        return "Retransmit";
    case StepEvent::GaveUp:
        return "GaveUp";
    case StepEvent::PrackMatched:
        return "PrackMatched";
    case StepEvent::PrackUnmatched:
        return "PrackUnmatched";
    case StepEvent::Stopped:
        return "Stopped";
    }
    return "unknown";
}

std::string_view ToString(ProvisionalReceipt::Kind kind) noexcept {
    switch (kind) {
    case ProvisionalReceipt::Kind::Unreliable:
        return "Unreliable";
    case ProvisionalReceipt::Kind::New:
        return "New";
    case ProvisionalReceipt::Kind::Duplicate:
        return "Duplicate";
    case ProvisionalReceipt::Kind::OutOfOrder:
        return "OutOfOrder";
    case ProvisionalReceipt::Kind::Malformed:
        return "Malformed";
    }
    return "unknown";
}

} // namespace zel::sip::stack

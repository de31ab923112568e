#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "stack/message/SipMessage.h"
#include "stack/transaction/TransactionAction.h"
#include "stack/transaction/TransactionClock.h"
#include "stack/transaction/TransactionEvent.h"
#include "stack/transport/Tuple.h"

namespace zel::sip::stack::test {

using std::chrono::milliseconds;

// CRLF line ends for readable literals.
inline std::string Wire(std::string_view text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

inline SipMessage Msg(std::string_view text) { return SipMessage::Parse(Wire(text)); }

inline const char* const kInvite = "INVITE sip:bob@biloxi.example.com SIP/2.0\n"
                                   "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bKnashds8\n"
                                   "Via: SIP/2.0/UDP proxy.example.com;branch=z9hG4bKother\n"
                                   "Max-Forwards: 69\n"
                                   "Route: <sip:p1.example.com;lr>\n"
                                   "Route: <sip:p2.example.com;lr>\n"
                                   "To: Bob <sip:bob@biloxi.example.com>\n"
                                   "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\n"
                                   "Call-ID: a84b4c76e66710\n"
                                   "CSeq: 314159 INVITE\n"
                                   "Timestamp: 54\n"
                                   "Contact: <sip:alice@pc33.atlanta.example.com>\n"
                                   "Content-Type: application/sdp\n"
                                   "Content-Length: 4\n"
                                   "\n"
                                   "v=0\n";

inline const char* const kRegister = "REGISTER sip:registrar.biloxi.example.com SIP/2.0\n"
                                     "Via: SIP/2.0/UDP bobspc.biloxi.example.com:5060;branch=z9hG4bKnashds7\n"
                                     "Max-Forwards: 70\n"
                                     "To: Bob <sip:bob@biloxi.example.com>\n"
                                     "From: Bob <sip:bob@biloxi.example.com>;tag=456248\n"
                                     "Call-ID: 843817637684230@998sdasdh09\n"
                                     "CSeq: 1826 REGISTER\n"
                                     "Content-Length: 0\n\n";

// A response to `request` as a peer (or the TU) would write it.
inline SipMessage ResponseTo(const SipMessage& request, int code, std::string_view toTag = "") {
    SipMessage response = SipMessage::MakeResponse(code, code < 200 ? "Ringing" : (code < 300 ? "OK" : "Busy Here"));
    for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq})
        for (std::size_t i = 0; i < request.Count(type); ++i)
            response.Add(type, request.ValueText(type, i));
    if (!toTag.empty())
        response.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", toTag);
    return response;
}

class FakeClock final : public TransactionClock {
public:
    TimePoint Now() const override { return now; }
    TimePoint now{};
};

struct Sent {
    milliseconds at;
    std::string firstLine;
    bool retransmission;
    std::shared_ptr<const SipMessage> message;
};

// Plays the driver of a transaction it owns (started on construction): applies its actions, keeps
// the armed timers, fires them in order as time advances, and records what was sent and told to
// the TU.
template <class Transaction>
class Harness {
public:
    template <class... Extra>
    Harness(FakeClock& clock, const SipMessage& request, TransportType transport, Extra&&... extra)
        : tx((clock.now = {}, request), transport, clock, std::forward<Extra>(extra)...), clock_(clock) {
        Apply(tx.Start());
    }

    void Apply(TransactionActions actions) {
        for (auto& action : actions) {
            if (auto* send = std::get_if<SendAction>(&action)) {
                std::string text = send->message->Encode();
                sent.push_back({Elapsed(), text.substr(0, text.find('\r')), send->isRetransmission, send->message});
            } else if (auto* start = std::get_if<StartTimerAction>(&action)) {
                armed_[start->timer] = Elapsed() + start->duration;
            } else if (auto* cancel = std::get_if<CancelTimerAction>(&action)) {
                armed_.erase(cancel->timer);
            } else {
                auto& tu = std::get<TuAction>(action);
                events.push_back(tu.kind);
                if (tu.message)
                    tuMessages.push_back(tu.message);
            }
        }
    }
    void Handle(TransactionEvent event) { Apply(tx.Handle(std::move(event))); }
    void FromTransport(SipMessage message) { Handle(TransactionEvent::FromTransport(std::move(message))); }
    void FromTu(SipMessage message) { Handle(TransactionEvent::FromTu(std::move(message))); }

    // Advances the clock to `until` (since the start), firing due timers in deadline order.
    void RunUntil(milliseconds until) {
        for (;;) {
            auto next = armed_.end();
            for (auto it = armed_.begin(); it != armed_.end(); ++it)
                if (it->second <= until && (next == armed_.end() || it->second < next->second))
                    next = it;
            if (next == armed_.end())
                break;
            const TransactionTimer timer = next->first;
            clock_.now = TransactionClock::TimePoint{} + next->second;
            armed_.erase(next);
            Handle(TransactionEvent::Fired(timer));
        }
        clock_.now = TransactionClock::TimePoint{} + until;
    }
    bool IsArmed(TransactionTimer timer) const { return armed_.count(timer) != 0; }

    std::vector<milliseconds> SendTimes() const {
        std::vector<milliseconds> out;
        for (const Sent& s : sent)
            out.push_back(s.at);
        return out;
    }

    Transaction tx;
    std::vector<Sent> sent;
    std::vector<TuEventKind> events;
    std::vector<std::shared_ptr<SipMessage>> tuMessages;

private:
    milliseconds Elapsed() const {
        return std::chrono::duration_cast<milliseconds>(clock_.now - TransactionClock::TimePoint{});
    }

    FakeClock& clock_;
    std::map<TransactionTimer, milliseconds> armed_;
};

} // namespace zel::sip::stack::test

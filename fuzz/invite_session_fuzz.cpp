// libFuzzer target: one invite session, as caller or as callee (the first byte), driven through
// what a peer may send (responses to our INVITE from several forks, requests in the dialog with
// shifted CSeq and wrong tags, ACK, CANCEL, bodies that are SDP, multipart, or junk), what the
// application does (offer, answer, accept, reject, end, INFO), session refreshes and the
// session's timers.
//
// The harness does what the session I/O layer does around the core: it parses every message the
// peer sends, routes responses to our INVITE through a DialogSet (forks, early dialogs), checks
// in-dialog requests against the Dialog (tag, CSeq order), finds an SDP in the body, builds our
// in-dialog requests from the dialog, and runs the timers the core arms.
//
// Each input is a list of steps separated by a line holding only "%%"; a step is an operation
// byte, an argument byte, and text that becomes the body (or is ignored).
//
// Checked with __builtin_trap:
//  - nothing a peer sends, and no timer, makes the core throw; the application's operations
//    raise std::logic_error only, and never when the application does what an event asks for
//    (an answer to an Offer, an offer for OfferRequired, Accept once ready);
//  - every request the peer sends gets exactly one final response (none twice, none to nothing);
//  - the application hears of an end once, and only of a session it was told about; one BYE and
//    one CANCEL at most leave;
//  - every session ends: after End, with the peer silent and every timer run out, the session is
//    terminated and no request of the peer is left unanswered.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "stack/body/BodyFactory.h"
#include "stack/dum/Dialog.h"
#include "stack/dum/DialogSet.h"
#include "stack/dum/InviteSessionCore.h"

namespace {

using namespace zel::sip::stack;
using Clock = std::chrono::steady_clock;
using Kind = InviteSend::Kind;
using State = InviteSessionCore::State;

constexpr std::string_view kSdp = "v=0\r\no=- 1 1 IN IP4 192.0.2.2\r\ns=-\r\nc=IN IP4 192.0.2.2\r\nt=0 0\r\n"
                                  "m=audio 4000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

std::vector<std::string_view> Steps(std::string_view input) {
    std::vector<std::string_view> steps;
    while (steps.size() < 96) {
        const std::size_t cut = input.find("\n%%\n");
        steps.push_back(input.substr(0, cut));
        if (cut == std::string_view::npos) {
            break;
        }
        input.remove_prefix(cut + 4);
    }
    return steps;
}

[[noreturn]] void Fail() { __builtin_trap(); }

/// ZEL_FUZZ_TRACE=1 prints every step and what the core did (for reading a crasher).
const bool kTrace = std::getenv("ZEL_FUZZ_TRACE") != nullptr;

/// Body and Content-Type lines for selector 0-3: none, SDP, SDP in multipart/mixed, or the step's
/// own text under a type picked by `flavour`.
std::string BodyLines(unsigned selector, unsigned flavour, std::string_view text) {
    std::string body;
    std::string type;
    switch (selector & 3) {
    case 0:
        break;
    case 1:
        body = kSdp;
        type = "application/sdp";
        break;
    case 2:
        body = "--b1\r\nContent-Type: text/plain\r\n\r\nhello\r\n--b1\r\nContent-Type: application/sdp\r\n\r\n" +
               std::string(kSdp) + "--b1--\r\n";
        type = "multipart/mixed;boundary=b1";
        break;
    case 3: {
        static constexpr std::array<std::string_view, 4> kTypes = {"application/sdp", "multipart/mixed;boundary=b1",
                                                                   "multipart/alternative;boundary=b1", "text/plain"};
        body = text;
        type = kTypes[flavour % kTypes.size()];
        break;
    }
    }
    if (body.empty()) {
        return "Content-Length: 0\r\n\r\n";
    }
    return "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

/// Whether a message carries an SDP, as the session decides (a broken body is none).
bool HasSdp(const SipMessage& message) {
    if (message.Body().empty()) {
        return false;
    }
    const Mime* type = message.Peek<Mime>(HeaderType::ContentType);
    if (type == nullptr) {
        return false;
    }
    auto parsed = ParseBody(*type, message.Body());
    return parsed && FindSdp(*parsed.Value()) != nullptr;
}

constexpr std::array<int, 24> kCodes = {100, 180, 181, 183, 199, 200, 202, 299, 300, 302, 400, 401,
                                        403, 408, 480, 481, 486, 487, 488, 491, 500, 503, 603, 699};
constexpr std::array<std::string_view, 12> kMethods = {"INVITE", "UPDATE", "BYE",     "INFO", "MESSAGE", "REFER",
                                                       "PRACK",  "OPTIONS", "NOTIFY", "FOO",  "INVITE",  "UPDATE"};

class Harness {
public:
    Harness(bool uac, unsigned flags)
        : uac_(uac), autoAnswer_(flags & 1), autoOffer_(flags & 2), autoAccept_(flags & 4),
          core_(uac ? InviteSessionCore::Client(flags & 8, Timings()) : InviteSessionCore::Server(Timings())) {}

    /// The call starts: our INVITE leaves (UAC) or the peer's arrives (UAS).
    void Start(unsigned bodySelector, std::string_view text) {
        if (uac_) {
            set_.emplace(SipMessage::Parse("INVITE sip:bob@example.com SIP/2.0\r\n"
                                           "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKfuzz\r\n"
                                           "From: <sip:alice@example.com>;tag=local\r\n"
                                           "To: <sip:bob@example.com>\r\nCall-ID: call-1\r\nCSeq: 1 INVITE\r\n"
                                           "Contact: <sip:alice@192.0.2.1>\r\nMax-Forwards: 70\r\n"
                                           "Content-Length: 0\r\n\r\n"));
            inviteOpen_ = true;
            return;
        }
        SipMessage invite;
        if (!SipMessage::TryParse("INVITE sip:alice@192.0.2.1 SIP/2.0\r\n"
                                  "Via: SIP/2.0/UDP 192.0.2.2;branch=z9hG4bKpeer\r\n"
                                  "From: <sip:bob@example.com>;tag=peer\r\n"
                                  "To: <sip:alice@example.com>\r\nCall-ID: call-2\r\nCSeq: 10 INVITE\r\n"
                                  "Contact: <sip:bob@192.0.2.2>\r\nMax-Forwards: 70\r\n" +
                                      BodyLines(bodySelector, bodySelector >> 2, text),
                                  invite)) {
            Fail(); // the template itself must parse
        }
        ownDialog_ = Dialog::CreateAsUas(invite, "uas", NameAddr::Parse("<sip:alice@192.0.2.1>"));
        if (!ownDialog_) {
            Fail();
        }
        dialog_ = &*ownDialog_;
        peerCSeq_ = 10;
        initialOpen_ = true;
        Peer([&] { return core_.Start(HasSdp(invite)); });
    }

    void Step(std::uint8_t op, std::uint8_t arg, std::string_view text) {
        if (kTrace) {
            std::fprintf(stderr, "step op %u arg %u (state %s)\n", op % 16, arg, std::string(ToString(core_.GetState())).c_str());
        }
        now_ += std::chrono::milliseconds((op >> 4) * 37);
        switch (op % 16) {
        case 0:
            ResponseToInvite(arg, op >> 4, text);
            break;
        case 1:
            ResponseInDialog(arg, op >> 4, text);
            break;
        case 2:
        case 3:
            RequestInDialog(kMethods[arg % kMethods.size()], arg >> 4, op >> 4, text);
            break;
        case 4:
            Ack(op >> 4, text);
            break;
        case 5:
            if (!uac_ && initialOpen_) {
                // The stack answers the CANCEL itself; the INVITE is the session's to answer.
                Peer([&] { return core_.OnCancel(); });
            }
            break;
        case 6:
            FireNext(arg & 1);
            break;
        case 7:
            App([&] { return core_.ProvideOffer(now_, arg & 1); });
            break;
        case 8:
            App([&] { return core_.ProvideAnswer(now_); });
            break;
        case 9:
            if (!uac_) {
                App([&] { return core_.Accept(200 + arg % 100, now_); });
            }
            break;
        case 10:
            App([&] { return core_.Reject(kCodes[arg % kCodes.size()] < 300 ? 486 : kCodes[arg % kCodes.size()]); });
            break;
        case 11:
            if (arg & 0x80) {
                // A session refresh (RFC 4028) the session timer asks for.
                App([&] { return core_.Refresh(arg & 1); });
            } else {
                App([&] { return core_.End(arg & 0x40 ? EndReason::SessionExpired : EndReason::NotSpecified); });
            }
            break;
        case 12:
            // INFO or MESSAGE of ours: the session sends it in the dialog, outside the core.
            if (dialog_ && !core_.IsTerminated()) {
                SendInDialog(arg & 1 ? "MESSAGE" : "INFO");
            }
            break;
        case 13:
            if (uac_ && inviteOpen_) {
                inviteOpen_ = false;
                Peer([&] { return core_.OnInviteFailure(arg & 1); });
            }
            break;
        case 14:
            if (!inFlight_.empty() && !core_.IsTerminated()) {
                // Our request timed out (408) or could not be sent (503): a response made here.
                const auto it = std::next(inFlight_.begin(), static_cast<long>(arg % inFlight_.size()));
                const std::string method = it->second;
                inFlight_.erase(it);
                Peer([&] { return core_.OnInDialogResponse(method, arg & 0x10 ? 408 : 503, false, now_); });
            }
            break;
        case 15:
            now_ += std::chrono::milliseconds(arg * 250);
            while (!armed_.empty() && armed_.begin()->first <= now_) {
                FireNext(false);
            }
            break;
        }
    }

    /// The application ends the call and the peer falls silent: whatever is in flight fails, and
    /// every timer runs out. The session must end, with every request of the peer answered.
    void Drain() {
        for (int round = 0; round < 6 && !core_.IsTerminated(); ++round) {
            App([&] { return core_.End(); }, /*mustSucceed=*/true);
            if (uac_ && inviteOpen_) {
                inviteOpen_ = false;
                Peer([&] { return core_.OnInviteFailure(true); });
            }
            while (!inFlight_.empty() && !core_.IsTerminated()) {
                const std::string method = inFlight_.begin()->second;
                inFlight_.erase(inFlight_.begin());
                Peer([&] { return core_.OnInDialogResponse(method, 408, false, now_); });
            }
            for (int i = 0; i < 64 && !armed_.empty(); ++i) {
                FireNext(false);
            }
        }
        if (!core_.IsTerminated() || initialOpen_ || remoteOpen_) {
            Fail(); // a session stuck, or a peer's transaction never answered
        }
        if (terminatedEvents_ != (newSessionReported_ ? 1 : 0)) {
            Fail();
        }
    }

private:
    struct Current {
        std::string method;
        bool answered = false;
    };

    static InviteTimings Timings() {
        return InviteTimings{std::chrono::milliseconds(500), std::chrono::milliseconds(4000), [] { return 0.5; }};
    }

    /// A peer's input or a timer: the core must not throw, whatever it is.
    template <typename F>
    void Peer(F&& input) {
        InviteStep step;
        try {
            step = input();
        } catch (...) {
            Fail();
        }
        Apply(std::move(step));
    }

    /// An application call: std::logic_error when the state does not allow it (the application's
    /// mistake), never anything else; never even that when an event asked for it.
    template <typename F>
    void App(F&& action, bool mustSucceed = false) {
        InviteStep step;
        try {
            step = action();
        } catch (const std::logic_error&) {
            if (mustSucceed) {
                Fail();
            }
            return;
        } catch (...) {
            Fail();
        }
        Apply(std::move(step));
    }

    void Apply(InviteStep step) {
        if (kTrace) {
            std::string line = "  -> " + std::string(ToString(core_.GetState())) + " sends";
            for (const InviteSend& send : step.send) {
                line += " " + std::to_string(static_cast<int>(send.kind)) + ":" + std::to_string(send.code) + std::string(send.method);
            }
            line += " events";
            for (const InviteEvent event : step.events) {
                line += " " + std::string(ToString(event));
            }
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        const bool wasTerminated = terminated_;
        if (wasTerminated && (!step.events.empty() || !step.arm.empty() || step.terminated)) {
            Fail(); // an ended session says nothing more and arms nothing
        }
        for (const InviteTimer timer : step.stop) {
            armed_.erase(std::remove_if(armed_.begin(), armed_.end(), [timer](const auto& a) { return a.second == timer; }),
                         armed_.end());
        }
        for (const auto& [timer, at] : step.arm) {
            const InviteTimer which = timer;
            armed_.erase(std::remove_if(armed_.begin(), armed_.end(), [which](const auto& a) { return a.second == which; }),
                         armed_.end());
            armed_.emplace_back(at, timer);
        }
        std::sort(armed_.begin(), armed_.end());
        for (const InviteSend& send : step.send) {
            Execute(send);
        }
        if (step.terminated) {
            terminated_ = true;
        }
        for (const InviteEvent event : step.events) {
            if (event != InviteEvent::Terminated && core_.IsTerminated() && !step.terminated) {
                break; // the application ended the session inside an earlier call: the rest is moot
            }
            switch (event) {
            case InviteEvent::NewSession:
                if (newSessionReported_) {
                    Fail();
                }
                newSessionReported_ = true;
                break;
            case InviteEvent::Terminated:
                if (!newSessionReported_ || ++terminatedEvents_ > 1 || !step.terminated) {
                    Fail();
                }
                break;
            case InviteEvent::Offer:
                if (autoAnswer_) {
                    // What a handler does in onOffer: answer at once.
                    App([&] { return core_.ProvideAnswer(now_); }, true);
                }
                break;
            case InviteEvent::OfferRequired:
                if (autoOffer_) {
                    App([&] { return core_.ProvideOffer(now_); }, true);
                }
                break;
            case InviteEvent::AckNotReceived:
            case InviteEvent::IllegalNegotiation:
            case InviteEvent::StaleCallTimeout:
            case InviteEvent::StaleReInviteTimeout:
                // The handler's defaults.
                App([&] { return core_.End(); }, true);
                break;
            case InviteEvent::Refer:
                // The default handler refuses it; the session answers.
                Answer("REFER", 603);
                break;
            case InviteEvent::Provisional:
            case InviteEvent::EarlyMedia:
            case InviteEvent::Answer:
            case InviteEvent::Connected:
            case InviteEvent::AckReceived:
            case InviteEvent::Failure:
            case InviteEvent::Redirected:
            case InviteEvent::OfferRejected:
            case InviteEvent::Info:
            case InviteEvent::Message:
            case InviteEvent::InfoSuccess:
            case InviteEvent::InfoFailure:
            case InviteEvent::MessageSuccess:
            case InviteEvent::MessageFailure:
            case InviteEvent::ConnectedConfirmed:
            case InviteEvent::RemoteAnswerChanged:
            case InviteEvent::OfferRequestRejected:
            case InviteEvent::ReferAccepted:
            case InviteEvent::ReferRejected:
            case InviteEvent::Prack:
                break;
            }
        }
        if (autoAccept_ && !uac_ && core_.GetState() == State::Proceeding && core_.HasLocalBodyForAccept()) {
            App([&] { return core_.Accept(200, now_); }, true);
        }
    }

    /// A final response to the peer's request `method`: there must be one to answer.
    void Answer(std::string_view method, int code) {
        if (code < 200) {
            return;
        }
        if (current_ && current_->method == method && !current_->answered) {
            current_->answered = true;
            return;
        }
        if (remoteOpen_ && *remoteOpen_ == method) {
            remoteOpen_.reset();
            return;
        }
        if (method == "INVITE" && initialOpen_) {
            initialOpen_ = false;
            return;
        }
        Fail(); // answered twice, or never asked
    }

    void Execute(const InviteSend& send) {
        switch (send.kind) {
        case Kind::Response:
            Answer(send.method, send.code);
            if (!uac_ && send.method == "INVITE" && send.code >= 200 && send.code < 300 && dialog_) {
                dialog_->Confirm();
            }
            return;
        case Kind::Ack:
        case Kind::RetransmitAck:
        case Kind::Retransmit2xx:
            return;
        case Kind::Cancel:
            if (++cancels_ > 1) {
                Fail(); // one CANCEL per INVITE
            }
            return; // the INVITE's final response (487) or its failure follows
        case Kind::Bye:
            if (++byes_ > 1) {
                Fail(); // a session ends once
            }
            SendInDialog("BYE");
            return;
        case Kind::ReInvite:
            SendInDialog("INVITE");
            return;
        case Kind::Update:
            SendInDialog("UPDATE");
            return;
        case Kind::Prack:
            SendInDialog("PRACK");
            return;
        }
    }

    void SendInDialog(std::string_view method) {
        if (!dialog_) {
            return; // as the session: no dialog, nothing to send it in
        }
        Dialog::OutgoingRequest outgoing = dialog_->MakeRequest(method);
        const std::uint32_t cseq = dialog_->LocalCSeq().value_or(0);
        if (!inFlight_.emplace(std::make_pair(dialog_->Id().remoteTag, cseq), std::string(method)).second) {
            Fail(); // a CSeq used twice in the dialog (RFC 3261 section 12.2.1.1)
        }
    }

    void FireNext(bool last) {
        if (armed_.empty()) {
            return;
        }
        const auto it = last ? std::prev(armed_.end()) : armed_.begin();
        const Clock::time_point at = it->first;
        const InviteTimer timer = it->second;
        armed_.erase(it);
        now_ = std::max(now_, at);
        Peer([&] { return core_.OnTimer(timer, now_); });
    }

    /// A response of the peer to our INVITE (UAC), through the dialog set as the session routes it.
    void ResponseToInvite(std::uint8_t arg, unsigned bodySelector, std::string_view text) {
        if (!uac_ || !set_) {
            return;
        }
        const int code = kCodes[arg % kCodes.size()];
        const unsigned fork = arg / kCodes.size(); // 0: no To tag, else forks f1..f9
        const SipMessage& request = *set_->Request();
        std::string message = "SIP/2.0 " + std::to_string(code) + " Fuzz\r\n";
        for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::CallId, HeaderType::CSeq}) {
            message += std::string(HeaderName(type)) + ": " + request.ValueText(type) + "\r\n";
        }
        message += "To: <sip:bob@example.com>" + (fork == 0 ? std::string() : ";tag=f" + std::to_string(fork)) + "\r\n";
        message += "Contact: <sip:bob@192.0.2.2>\r\n";
        message += BodyLines(bodySelector, bodySelector >> 2, text);
        SipMessage response;
        if (!SipMessage::TryParse(std::move(message), response)) {
            return;
        }
        if (code >= 300) {
            inviteOpen_ = false; // the INVITE transaction is over
        }
        const DialogSet::ResponseResult result = set_->OnResponse(response);
        if (dialog_ != nullptr && set_->FindByRemoteTag(followedTag_) == nullptr) {
            dialog_ = nullptr; // a final failure ended the early dialog we followed
        }
        switch (result.effect) {
        case DialogSet::ResponseEffect::Ignored:
            if (code >= 200 || code <= 100) {
                return;
            }
            break;
        case DialogSet::ResponseEffect::EarlyDialog:
            if (dialog_ == nullptr) {
                dialog_ = result.dialog;
                followedTag_ = result.dialog->Id().remoteTag;
            }
            if (result.dialog->Id().remoteTag != followedTag_) {
                return;
            }
            break;
        case DialogSet::ResponseEffect::FirstSuccess:
            inviteOpen_ = false;
            if (core_.GetState() == State::Connected || core_.GetState() == State::Ending) {
                Peer([&] { return core_.On2xxRetransmission(); });
                return;
            }
            dialog_ = result.dialog;
            followedTag_ = result.dialog->Id().remoteTag;
            break;
        case DialogSet::ResponseEffect::AdditionalSuccess:
            if (result.dialog != nullptr) {
                const std::string tag = result.dialog->Id().remoteTag;
                set_->RemoveDialog(tag);
            }
            return;
        case DialogSet::ResponseEffect::Failure:
            inviteOpen_ = false;
            break;
        }
        // A 1xx with RSeq stands for a reliable one the session took in order (RFC 3262).
        const bool reliable = code > 100 && code < 200 && response.Has(HeaderType::RSeq);
        Peer([&] { return core_.OnInviteResponse(code, HasSdp(response), reliable, now_); });
    }

    /// A final response of the peer to one of our requests in the dialog.
    void ResponseInDialog(std::uint8_t arg, unsigned bodySelector, std::string_view text) {
        if (inFlight_.empty() || !dialog_ || core_.IsTerminated()) {
            // An ended session drops what still comes for it.
            return;
        }
        const auto it = std::next(inFlight_.begin(), static_cast<long>(arg % inFlight_.size()));
        const std::string tag = it->first.first;
        const std::uint32_t cseq = it->first.second;
        const std::string method = it->second;
        const int code = kCodes[(arg >> 3) % kCodes.size()];
        std::string message = "SIP/2.0 " + std::to_string(code) + " Fuzz\r\n"
                              "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKin\r\n";
        message += "From: " + dialog_->LocalUri().ToString() + ";tag=" + dialog_->Id().localTag + "\r\n";
        message += "To: " + dialog_->RemoteUri().ToString() + ";tag=" + tag + "\r\n";
        message += "Call-ID: " + dialog_->Id().callId + "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n";
        message += "Contact: <sip:bob@192.0.2.3>\r\n";
        message += BodyLines(bodySelector, bodySelector >> 2, text);
        SipMessage response;
        if (!SipMessage::TryParse(std::move(message), response)) {
            return;
        }
        if (code < 200) {
            return; // provisionals do not reach the core
        }
        inFlight_.erase(it);
        dialog_->OnResponse(response);
        Peer([&] { return core_.OnInDialogResponse(method, code, HasSdp(response), now_); });
    }

    /// A request of the peer in the dialog; `shift` moves its CSeq (old, repeated, far ahead) and
    /// bit 3 of it puts a wrong From tag on it.
    void RequestInDialog(std::string_view method, unsigned shift, unsigned bodySelector, std::string_view text) {
        const bool wrongTag = shift & 8;
        std::uint32_t cseq = peerCSeq_ + 1;
        switch (shift & 7) {
        case 0:
        case 1:
        case 2:
            break;
        case 3:
            cseq = peerCSeq_; // a repeat
            break;
        case 4:
            cseq = peerCSeq_ > 0 ? peerCSeq_ - 1 : 0;
            break;
        case 5:
            cseq = peerCSeq_ + 1000;
            break;
        case 6:
            cseq = 0x7fffffff;
            break;
        case 7:
            cseq = 1;
            break;
        }
        const std::string remoteTag = dialog_ ? dialog_->Id().remoteTag : std::string(uac_ ? "f1" : "peer");
        const std::string localTag = uac_ ? "local" : "uas";
        std::string message = std::string(method) + " sip:alice@192.0.2.1 SIP/2.0\r\n"
                              "Via: SIP/2.0/UDP 192.0.2.2;branch=z9hG4bKr" + std::to_string(++branch_) + "\r\n";
        message += "From: <sip:bob@example.com>;tag=" + (wrongTag ? std::string("other") : remoteTag) + "\r\n";
        message += "To: <sip:alice@example.com>;tag=" + localTag + "\r\n";
        message += std::string("Call-ID: ") + (uac_ ? "call-1" : "call-2") + "\r\n";
        message += "CSeq: " + std::to_string(cseq) + " " + std::string(method) + "\r\n";
        message += "Contact: <sip:bob@192.0.2.4>\r\nMax-Forwards: 70\r\n";
        message += BodyLines(bodySelector, bodySelector >> 2, text);
        SipMessage request;
        if (!SipMessage::TryParse(std::move(message), request)) {
            if (kTrace) {
                std::fprintf(stderr, "  (the request does not parse)\n");
            }
            return;
        }
        if (kTrace) {
            std::fprintf(stderr, "  %s request, dialog %d, verdict %d\n", std::string(method).c_str(), dialog_ != nullptr,
                         dialog_ != nullptr ? static_cast<int>(Dialog(*dialog_).OnRequest(request)) : -1);
        }
        // As the session: no dialog or another dialog's tag -> 481; then the dialog's checks.
        if (!dialog_ || wrongTag || core_.IsTerminated()) {
            return; // answered 481 outside the core
        }
        if (dialog_->OnRequest(request) != Dialog::RequestVerdict::Accepted) {
            return; // answered 500 / 400 outside the core
        }
        peerCSeq_ = std::max(peerCSeq_, cseq);
        current_ = Current{std::string(method), false};
        Peer([&] { return core_.OnRequest(method, HasSdp(request), now_); });
        const Current done = *current_;
        current_.reset();
        if (!done.answered) {
            if ((method == "INVITE" || method == "UPDATE") && core_.RemoteRequestPending() && !remoteOpen_) {
                remoteOpen_ = std::string(method); // waits for the application
            } else if (!core_.IsTerminated() || method != "REFER") {
                Fail(); // a request nobody will answer
            }
        }
    }

    /// The peer's ACK for a 2xx of ours.
    void Ack(unsigned bodySelector, std::string_view text) {
        if (uac_ || !dialog_) {
            return;
        }
        std::string message = "ACK sip:alice@192.0.2.1 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.2;branch=z9hG4bKack\r\n"
                              "From: <sip:bob@example.com>;tag=peer\r\nTo: <sip:alice@example.com>;tag=uas\r\n"
                              "Call-ID: call-2\r\nCSeq: " + std::to_string(peerCSeq_) + " ACK\r\nMax-Forwards: 70\r\n";
        message += BodyLines(bodySelector, bodySelector >> 2, text);
        SipMessage ack;
        if (!SipMessage::TryParse(std::move(message), ack)) {
            return;
        }
        if (core_.IsTerminated()) {
            return;
        }
        Peer([&] { return core_.OnAck(HasSdp(ack)); });
    }

    bool uac_;
    bool autoAnswer_;
    bool autoOffer_;
    bool autoAccept_;
    InviteSessionCore core_;
    Clock::time_point now_{};
    std::optional<DialogSet> set_;
    std::optional<Dialog> ownDialog_; // UAS: the dialog of the peer's INVITE
    Dialog* dialog_ = nullptr;        // the dialog the session follows (UAC: in set_)
    std::string followedTag_;
    std::vector<std::pair<Clock::time_point, InviteTimer>> armed_;
    // Our requests in flight, by dialog (remote tag) and CSeq: a 2xx of another fork may move the
    // session to another dialog while requests sent in the early one are still under way.
    std::map<std::pair<std::string, std::uint32_t>, std::string> inFlight_;
    std::optional<Current> current_;                // the peer's request being handled
    std::optional<std::string> remoteOpen_;         // the peer's re-INVITE / UPDATE waiting for us
    std::uint32_t peerCSeq_ = 0;
    unsigned branch_ = 0;
    bool initialOpen_ = false; // UAS: the peer's INVITE has no final response yet
    bool inviteOpen_ = false;  // UAC: our INVITE has no final response yet
    bool terminated_ = false;
    bool newSessionReported_ = false;
    int terminatedEvents_ = 0;
    int byes_ = 0;
    int cancels_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::vector<std::string_view> steps = Steps(input);
    Harness harness(mode & 1, mode >> 1);
    harness.Start(data[1], steps.front());
    for (std::string_view step : steps) {
        if (step.size() < 2) {
            continue;
        }
        harness.Step(static_cast<std::uint8_t>(step[0]), static_cast<std::uint8_t>(step[1]), step.substr(2));
    }
    harness.Drain();
    return 0;
}

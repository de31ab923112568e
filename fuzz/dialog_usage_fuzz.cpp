// libFuzzer target: sequences of what peers send around one client registration (its core and its
// digest authentication) and one INVITE dialog set (forks, in-dialog requests). Each input is a
// list of steps separated by a line holding only "%%"; the first byte of a step picks what to do
// and the rest is header lines (or a whole message) written into the response or request.
//
// Checked: nothing a peer sends makes a core throw, and no usage is left stuck: whatever happened,
// ending the registration and then losing every answer brings it to an end state, and a dialog
// set never holds more than its bound of early dialogs.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stack/dum/DialogSet.h"
#include "stack/dum/RegistrationCore.h"
#include "stack/dum/auth/ClientAuth.h"

namespace {

using namespace zel::sip::stack;
using Clock = std::chrono::steady_clock;

std::vector<std::string_view> Steps(std::string_view input) {
    std::vector<std::string_view> steps;
    while (steps.size() < 64) {
        const std::size_t cut = input.find("\n%%\n");
        steps.push_back(input.substr(0, cut));
        if (cut == std::string_view::npos) {
            break;
        }
        input.remove_prefix(cut + 4);
    }
    return steps;
}

/// A response to `request` with `status`, the request's dialog headers, and the fuzzer's lines.
std::string ResponseText(const SipMessage& request, int status, std::string_view extra, std::string_view toTag) {
    std::string text = "SIP/2.0 " + std::to_string(status) + " Fuzz\r\n";
    for (HeaderType type : {HeaderType::Via, HeaderType::From, HeaderType::CallId, HeaderType::CSeq}) {
        for (std::size_t i = 0; i < request.Count(type); ++i) {
            text += std::string(HeaderName(type)) + ": " + request.ValueText(type, i) + "\r\n";
        }
    }
    text += "To: " + request.ValueText(HeaderType::To) + (toTag.empty() ? "" : ";tag=" + std::string(toTag)) + "\r\n";
    text += extra;
    text += "\r\nContent-Length: 0\r\n\r\n";
    return text;
}

bool IsEnd(RegistrationCore::State state) {
    return state == RegistrationCore::State::Removed || state == RegistrationCore::State::Failed;
}

/// The status a step asks for: two bytes, 100 to 699, then the rest of the step.
int StatusOf(std::string_view& rest, int fallback) {
    if (rest.size() < 2) {
        rest = {};
        return fallback;
    }
    const int value = (static_cast<std::uint8_t>(rest[0]) << 8 | static_cast<std::uint8_t>(rest[1])) % 600;
    rest.remove_prefix(2);
    return 100 + value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Clock::time_point now{};

    RegistrationSettings settings;
    settings.registrationTime = std::chrono::seconds(600);
    settings.outbound = true;
    settings.instanceId = "<urn:uuid:00000000-0000-4000-8000-000000000001>";
    RegistrationCore registration(NameAddr::Parse("<sip:alice@example.com>"),
                                  NameAddr::Parse("<sip:alice@192.0.2.1:5060>"), settings, "call-1", "tag-1");
    ClientAuth auth([] { return std::string("0123456789abcdef"); });
    const std::vector<DigestCredential> credentials{{"example.com", "alice", "secret"}};
    std::optional<SipMessage> pending = registration.Start(now).send;
    bool retryAsked = false;

    DialogSet dialogs(SipMessage::Parse("INVITE sip:bob@example.com SIP/2.0\r\n"
                                        "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKfuzz\r\n"
                                        "From: <sip:alice@example.com>;tag=local\r\n"
                                        "To: <sip:bob@example.com>\r\nCall-ID: invite-1\r\nCSeq: 1 INVITE\r\n"
                                        "Contact: <sip:alice@192.0.2.1>\r\nMax-Forwards: 70\r\n"
                                        "Content-Length: 0\r\n\r\n"));

    auto apply = [&](RegistrationStep step) {
        if (step.send) {
            pending = std::move(step.send);
            auth.Authorize(*pending);
        }
        retryAsked = step.event == RegistrationStep::Event::RetryQuery;
    };

    for (std::string_view step : Steps(input)) {
        if (step.empty()) {
            continue;
        }
        const auto op = static_cast<std::uint8_t>(step.front());
        const std::string_view rest = step.substr(1);
        now += std::chrono::milliseconds(op * 97);
        switch (op % 8) {
        case 0: // a response to the REGISTER in progress
        case 1: {
            if (!pending) {
                break;
            }
            std::string_view extra = rest;
            const int status = StatusOf(extra, 200);
            SipMessage response;
            if (!SipMessage::TryParse(ResponseText(*pending, status, extra, "reg"), response)) {
                break;
            }
            const RegistrationCore::State state = registration.GetState();
            const bool inProgress = state == RegistrationCore::State::Registering ||
                                    state == RegistrationCore::State::Refreshing ||
                                    state == RegistrationCore::State::Removing;
            if ((status == 401 || status == 407) && inProgress &&
                auth.HandleChallenge(*pending, response, credentials)) {
                pending = registration.Resend();
                auth.Authorize(*pending);
                break;
            }
            apply(registration.OnResponse(response, now));
            break;
        }
        case 2:
            apply(registration.OnTimer(now + std::chrono::hours(1)));
            break;
        case 3:
            apply(registration.OnTransactionFailure(op & 0x10, now));
            break;
        case 4:
            if (retryAsked) {
                std::optional<std::chrono::seconds> after;
                if (op & 0x20) {
                    after = std::chrono::seconds(op & 0x0f);
                }
                apply(registration.OnRetryAnswer(after, now));
            } else {
                apply(registration.OnFlowFailed(now));
            }
            break;
        case 5: { // a response to the INVITE, from a fork named by the first byte
            std::string_view extra = rest;
            const int status = StatusOf(extra, 180);
            std::string tag;
            if (!extra.empty()) {
                tag = "f" + std::to_string(static_cast<std::uint8_t>(extra.front()));
                extra.remove_prefix(1);
            }
            SipMessage response;
            if (SipMessage::TryParse(ResponseText(*dialogs.Request(), status, extra, tag), response)) {
                (void)dialogs.OnResponse(response);
            }
            break;
        }
        case 6: { // a whole request from the peer inside one of the dialogs
            SipMessage request;
            if (SipMessage::TryParse(std::string(rest), request) && request.IsRequest()) {
                for (const Dialog& dialog : dialogs.Dialogs()) {
                    (void)const_cast<Dialog&>(dialog).OnRequest(request);
                }
            }
            break;
        }
        case 7: // a request of ours inside each dialog (what we would send next)
            for (const Dialog& dialog : dialogs.Dialogs()) {
                (void)const_cast<Dialog&>(dialog).MakeRequest((op & 0x10) ? "BYE" : "INFO");
            }
            break;
        }
        if (dialogs.Size() > DialogSet::kMaxDialogs + 64) {
            __builtin_trap(); // early dialogs are bounded; 2xx forks are few in any input here
        }
    }

    // No usage left stuck: end it, answer nothing, and let every timer fire.
    if (retryAsked) {
        apply(registration.OnRetryAnswer(std::nullopt, now));
    }
    apply(registration.End(now));
    for (int i = 0; i < 4 && !IsEnd(registration.GetState()); ++i) {
        apply(registration.OnTransactionFailure(true, now));
        if (retryAsked) {
            apply(registration.OnRetryAnswer(std::nullopt, now));
        }
        now += std::chrono::hours(2);
        apply(registration.OnTimer(now));
    }
    if (!IsEnd(registration.GetState())) {
        __builtin_trap();
    }
    return 0;
}

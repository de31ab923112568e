#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "TestMessages.h"
#include "stack/dum/RegistrationCore.h"
#include "stack/message/CSeq.h"

namespace zel::sip::stack {
namespace {

using namespace std::chrono_literals;
using Event = RegistrationStep::Event;
using State = RegistrationCore::State;
using test::LoadCaptured;
using test::ParseLf;

constexpr const char* kInstance = "urn:uuid:00000000-0000-1000-8000-000a95a0e128";

const RegistrationCore::TimePoint kT0{std::chrono::hours(1000)};

RegistrationCore MakeCore(RegistrationSettings settings = {}, const char* contact = "<sip:alice@192.0.2.10:5060>") {
    return RegistrationCore(NameAddr::Parse("\"Alice\" <sip:alice@example.com>"), NameAddr::Parse(contact),
                            std::move(settings), "reg-call-1@192.0.2.10", "reg-tag-1");
}

RegistrationSettings Outbound() {
    RegistrationSettings settings;
    settings.outbound = true;
    settings.instanceId = kInstance;
    settings.regId = 1;
    return settings;
}

/// A response to `request` with `extra` header lines (LF-terminated).
SipMessage Reply(const SipMessage& request, int status, const std::string& extra = "") {
    return ParseLf("SIP/2.0 " + std::to_string(status) + " Reason\n"
                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-r\n"
                   "From: " + request.ValueText(HeaderType::From) + "\n"
                   "To: " + request.ValueText(HeaderType::To) + ";tag=registrar\n"
                   "Call-ID: " + request.ValueText(HeaderType::CallId) + "\n"
                   "CSeq: " + request.ValueText(HeaderType::CSeq) + "\n" + extra + "Content-Length: 0\n\n");
}

std::uint32_t CSeqOf(const SipMessage& request) { return request.Get<CSeq>(HeaderType::CSeq).Sequence(); }

// ---- the REGISTER it builds -----------------------------------------------------------------

TEST(RegistrationCoreTest, RegisterCarriesAorContactTimeAndCapabilities) {
    RegistrationSettings settings;
    settings.registrationTime = 7200s;
    settings.maximumRegistrationTime = 3600s;
    settings.capabilities = {Parameter{"audio", "", false, false}, Parameter{"+sip.video", "", false, false}};
    settings.supported = {"gruu"};
    RegistrationCore core = MakeCore(settings);
    RegistrationStep step = core.Start(kT0);
    ASSERT_TRUE(step.send.has_value());
    const SipMessage& reg = *step.send;
    EXPECT_EQ(reg.Method(), "REGISTER");
    EXPECT_EQ(reg.RawRequestUri(), "sip:example.com") << "the domain, without userinfo";
    EXPECT_EQ(reg.ValueText(HeaderType::To), "\"Alice\" <sip:alice@example.com>");
    EXPECT_EQ(reg.ValueText(HeaderType::From), "\"Alice\" <sip:alice@example.com>;tag=reg-tag-1");
    EXPECT_EQ(reg.ValueText(HeaderType::CallId), "reg-call-1@192.0.2.10");
    EXPECT_EQ(reg.ValueText(HeaderType::CSeq), "1 REGISTER");
    EXPECT_EQ(reg.ValueText(HeaderType::Contact), "<sip:alice@192.0.2.10:5060>;expires=3600;audio;+sip.video")
        << "the maximum caps the time asked";
    EXPECT_EQ(reg.ValueText(HeaderType::Expires), "3600");
    EXPECT_EQ(reg.Count(HeaderType::Supported), 1u);
    EXPECT_EQ(core.GetState(), State::Registering);
    EXPECT_THROW(core.Start(kT0), std::logic_error);
}

TEST(RegistrationCoreTest, OutboundPutsInstanceRegIdAndObOnTheContact) {
    RegistrationSettings settings = Outbound();
    settings.supported = {"Path", "timer"};
    RegistrationCore core = MakeCore(settings, "<sip:alice@192.0.2.10:5060;transport=tcp>");
    const SipMessage reg = *core.Start(kT0).send;
    const NameAddr& contact = reg.Get<NameAddr>(HeaderType::Contact);
    EXPECT_TRUE(contact.GetUri().Params().Has("ob"));
    ASSERT_NE(contact.Params().Find("+sip.instance"), nullptr);
    EXPECT_EQ(reg.ValueText(HeaderType::Contact),
              "<sip:alice@192.0.2.10:5060;transport=tcp;ob>;expires=3600;"
              "+sip.instance=\"<urn:uuid:00000000-0000-1000-8000-000a95a0e128>\";reg-id=1");
    std::vector<std::string> supported;
    for (std::size_t i = 0; i < reg.Count(HeaderType::Supported); ++i) {
        supported.push_back(reg.ValueText(HeaderType::Supported, i));
    }
    EXPECT_EQ(supported, (std::vector<std::string>{"outbound", "path", "timer"}));

    EXPECT_FALSE(core.ContactForDialogs().Params().Has("ob")) << "not before the registrar confirms outbound";
    RegistrationStep ok = core.OnResponse(Reply(reg, 200, "Require: outbound\n"), kT0);
    EXPECT_EQ(ok.event, Event::Registered);
    EXPECT_TRUE(ok.outboundInEffect);
    EXPECT_FALSE(ok.outboundRefused);
    EXPECT_EQ(core.ContactForDialogs().ToString(), "sip:alice@192.0.2.10:5060;transport=tcp;ob");

    RegistrationSettings noInstance;
    noInstance.outbound = true;
    EXPECT_THROW(RegistrationCore(NameAddr::Parse("<sip:a@b>"), NameAddr::Parse("<sip:a@c>"), noInstance, "c", "t"),
                 std::invalid_argument)
        << "outbound without an instance id";
}

// ---- what a 2xx grants ----------------------------------------------------------------------

TEST(RegistrationCoreTest, ExpiryComesFromOurContactAmongSeveralThenExpiresHeaderThenTheAskedTime) {
    {
        RegistrationCore core = MakeCore();
        core.Start(kT0);
        RegistrationStep step = core.OnResponse(LoadCaptured("register_200_several_contacts.txt"), kT0);
        EXPECT_EQ(step.event, Event::Registered);
        EXPECT_TRUE(step.contactListed);
        EXPECT_EQ(step.expires, 1800s) << "our binding's expires, not another's nor the Expires header";
        EXPECT_EQ(step.wakeAt, kT0 + 1768s);
        EXPECT_EQ(core.BindingExpiry(), kT0 + 1800s);
    }
    {
        // Ours listed without expires (and with the URI the registrar echoed): the Expires header.
        RegistrationCore core = MakeCore();
        core.Start(kT0);
        RegistrationStep step = core.OnResponse(LoadCaptured("register_200_expires_header.txt"), kT0);
        EXPECT_EQ(step.event, Event::Registered);
        EXPECT_EQ(step.expires, 900s);
    }
    {
        // A registrar that rewrote our address to what it saw: the instance id still finds us.
        RegistrationSettings settings;
        settings.instanceId = kInstance;
        RegistrationCore core = MakeCore(settings, "<sip:alice@10.0.0.5:5060>");
        const SipMessage reg = *core.Start(kT0).send;
        RegistrationStep step = core.OnResponse(
            Reply(reg, 200,
                  "Contact: <sip:alice@203.0.113.9:4000>;expires=120;+sip.instance=\"<" + std::string(kInstance) +
                      ">\"\nContact: <sip:alice@10.0.0.5:5999>;expires=7\n"),
            kT0);
        EXPECT_TRUE(step.contactListed);
        EXPECT_EQ(step.expires, 120s);
    }
    {
        // An exact match beats an earlier binding that differs in a URI parameter; without an
        // exact one, the same scheme, user, host and port still identify ours.
        RegistrationCore core = MakeCore();
        const SipMessage reg = *core.Start(kT0).send;
        EXPECT_EQ(core.OnResponse(Reply(reg, 200,
                                        "Contact: <sip:alice@192.0.2.10:5060;transport=tcp>;expires=30\n"
                                        "Contact: <sip:alice@192.0.2.10:5060>;expires=90\n"),
                                  kT0)
                      .expires,
                  90s);
        RegistrationCore loose = MakeCore();
        const SipMessage reg2 = *loose.Start(kT0).send;
        RegistrationStep step = loose.OnResponse(
            Reply(reg2, 200, "Contact: <sip:alice@192.0.2.10:5061>;expires=20, <sip:alice@192.0.2.10:5060;transport=udp>;expires=30\n"),
            kT0);
        EXPECT_TRUE(step.contactListed);
        EXPECT_EQ(step.expires, 30s);
    }
    {
        // Nothing at all: the time asked. A 2xx listing only others is still a success (we
        // cannot tell a rewritten Contact from a lost one), flagged for the host.
        RegistrationCore core = MakeCore();
        const SipMessage reg = *core.Start(kT0).send;
        RegistrationStep step = core.OnResponse(Reply(reg, 200, "Contact: <sip:bob@192.0.2.77>;expires=50\n"), kT0);
        EXPECT_EQ(step.event, Event::Registered);
        EXPECT_FALSE(step.contactListed);
        EXPECT_EQ(step.expires, 3600s);
    }
    {
        RegistrationCore core = MakeCore();
        const SipMessage reg = *core.Start(kT0).send;
        RegistrationStep step =
            core.OnResponse(Reply(reg, 200, "Contact: <sip:alice@192.0.2.10:5060>;expires=0\n"), kT0);
        EXPECT_EQ(step.event, Event::Failed) << "a binding granted no time is no registration";
        EXPECT_EQ(step.failure, RegistrationFailure::NoTimeGranted);
    }
}

TEST(RegistrationCoreTest, RefreshIsPlannedBeforeExpiryAndDrivenByTheClock) {
    EXPECT_EQ(RegistrationCore::RefreshDelay(3600s), 3568s);
    EXPECT_EQ(RegistrationCore::RefreshDelay(60s), 30s);
    EXPECT_EQ(RegistrationCore::RefreshDelay(20s), 10s);
    EXPECT_EQ(RegistrationCore::RefreshDelay(4s), 5s) << "never sooner than the floor";

    RegistrationCore core = MakeCore();
    const SipMessage first = *core.Start(kT0).send;
    RegistrationStep ok = core.OnResponse(Reply(first, 200, "Expires: 600\n"), kT0);
    ASSERT_EQ(ok.wakeAt, kT0 + 568s);
    EXPECT_FALSE(core.OnTimer(kT0 + 567s).send) << "an early wake-up sends nothing";
    RegistrationStep refresh = core.OnTimer(kT0 + 568s);
    ASSERT_TRUE(refresh.send.has_value());
    EXPECT_EQ(core.GetState(), State::Refreshing);
    EXPECT_EQ(CSeqOf(*refresh.send), 2u);
    EXPECT_EQ(refresh.send->ValueText(HeaderType::CallId), "reg-call-1@192.0.2.10");
    EXPECT_FALSE(core.OnTimer(kT0 + 570s).send) << "a stale timer while refreshing";
    EXPECT_EQ(core.OnResponse(Reply(first, 200), kT0 + 569s).event, Event::None) << "the old CSeq";
    RegistrationStep refreshed = core.OnResponse(Reply(*refresh.send, 200, "Expires: 600\n"), kT0 + 569s);
    EXPECT_EQ(refreshed.event, Event::Refreshed);
    EXPECT_EQ(refreshed.wakeAt, kT0 + 569s + 568s);
}

// ---- failures and retries -------------------------------------------------------------------

TEST(RegistrationCoreTest, IntervalTooBriefIsRetriedOnceWithMinExpires) {
    RegistrationCore core = MakeCore();
    core.Start(kT0);
    RegistrationStep retry = core.OnResponse(LoadCaptured("register_423.txt"), kT0);
    ASSERT_TRUE(retry.send.has_value());
    EXPECT_EQ(retry.event, Event::None);
    EXPECT_EQ(CSeqOf(*retry.send), 2u);
    EXPECT_EQ(retry.send->ValueText(HeaderType::Expires), "7200");
    EXPECT_EQ(retry.send->Get<NameAddr>(HeaderType::Contact).Params().GetUInt32("expires"), 7200u);
    RegistrationStep ok = core.OnResponse(Reply(*retry.send, 200, "Expires: 7200\n"), kT0);
    EXPECT_EQ(ok.event, Event::Registered);
    // Refreshes keep asking for the raised time rather than run into 423 each time.
    EXPECT_EQ(core.OnTimer(*ok.wakeAt).send->ValueText(HeaderType::Expires), "7200");

    RegistrationCore twice = MakeCore();
    const SipMessage reg = *twice.Start(kT0).send;
    const SipMessage second = *twice.OnResponse(Reply(reg, 423, "Min-Expires: 4000\n"), kT0).send;
    RegistrationStep failed = twice.OnResponse(Reply(second, 423, "Min-Expires: 8000\n"), kT0);
    EXPECT_EQ(failed.event, Event::Failed);
    EXPECT_EQ(failed.failure, RegistrationFailure::IntervalTooBrief);

    RegistrationCore useless = MakeCore();
    const SipMessage reg2 = *useless.Start(kT0).send;
    EXPECT_EQ(useless.OnResponse(Reply(reg2, 423, "Min-Expires: 3600\n"), kT0).failure,
              RegistrationFailure::IntervalTooBrief)
        << "a Min-Expires not above what we asked cannot help";
}

TEST(RegistrationCoreTest, OutboundNotConfirmedOrRefusedByTheFirstHop) {
    RegistrationCore core = MakeCore(Outbound(), "<sip:alice@192.0.2.10:5060;transport=tcp>");
    core.Start(kT0);
    RegistrationStep step = core.OnResponse(LoadCaptured("register_200_outbound_not_required.txt"), kT0);
    EXPECT_EQ(step.event, Event::Registered);
    EXPECT_TRUE(step.outboundRefused);
    EXPECT_FALSE(step.outboundInEffect);
    EXPECT_EQ(step.expires, 600s);
    EXPECT_FALSE(core.ContactForDialogs().Params().Has("ob"));
    EXPECT_FALSE(core.OnFlowFailed(kT0).send) << "no flow recovery without outbound";

    RegistrationCore refused = MakeCore(Outbound());
    const SipMessage reg = *refused.Start(kT0).send;
    RegistrationStep failed = refused.OnResponse(Reply(reg, 439), kT0);
    EXPECT_EQ(failed.event, Event::Failed);
    EXPECT_EQ(failed.failure, RegistrationFailure::OutboundUnsupported);
}

TEST(RegistrationCoreTest, FlowFailureRegistersAgainOnTheSameCallId) {
    RegistrationCore core = MakeCore(Outbound());
    const SipMessage reg = *core.Start(kT0).send;
    core.OnResponse(Reply(reg, 200, "Require: outbound\nExpires: 600\n"), kT0);
    RegistrationStep again = core.OnFlowFailed(kT0 + 10s);
    ASSERT_TRUE(again.send.has_value());
    EXPECT_TRUE(again.stopTimer) << "the refresh timer of the dead flow goes";
    EXPECT_EQ(CSeqOf(*again.send), 2u);
    EXPECT_EQ(again.send->ValueText(HeaderType::CallId), reg.ValueText(HeaderType::CallId));
    EXPECT_EQ(core.OnResponse(Reply(*again.send, 200, "Require: outbound\n"), kT0 + 11s).event, Event::Registered);
}

TEST(RegistrationCoreTest, RetryableFailuresAskTheCallerOthersFail) {
    RegistrationSettings settings;
    settings.retryTime = 45s;
    RegistrationCore core = MakeCore(settings);
    const SipMessage reg = *core.Start(kT0).send;
    RegistrationStep query = core.OnResponse(Reply(reg, 503, "Retry-After: 30\n"), kT0);
    EXPECT_EQ(query.event, Event::RetryQuery);
    EXPECT_EQ(query.retryAfter, 30s);
    EXPECT_EQ(core.GetState(), State::RetryPending);
    RegistrationStep wait = core.OnRetryAnswer(20s, kT0);
    EXPECT_EQ(wait.wakeAt, kT0 + 20s);
    RegistrationStep retry = core.OnTimer(kT0 + 20s);
    ASSERT_TRUE(retry.send.has_value());
    EXPECT_EQ(CSeqOf(*retry.send), 2u);

    RegistrationStep timeout = core.OnTransactionFailure(true, kT0 + 52s);
    EXPECT_EQ(timeout.event, Event::RetryQuery);
    EXPECT_EQ(timeout.failure, RegistrationFailure::Timeout);
    EXPECT_EQ(timeout.retryAfter, 45s) << "no Retry-After: the settings' retry time";
    RegistrationStep declined = core.OnRetryAnswer(std::nullopt, kT0 + 52s);
    EXPECT_EQ(declined.event, Event::Failed);
    EXPECT_EQ(declined.failure, RegistrationFailure::RetryDeclined);
    EXPECT_THROW(core.OnRetryAnswer(1s, kT0), std::logic_error);

    for (int status : {403, 404, 401, 600}) {
        RegistrationCore other = MakeCore();
        const SipMessage r = *other.Start(kT0).send;
        RegistrationStep step = other.OnResponse(Reply(r, status, "Retry-After: 30\n"), kT0);
        EXPECT_EQ(step.event, Event::Failed) << status;
        EXPECT_EQ(step.statusCode, status);
    }
}

TEST(RegistrationCoreTest, ResendAfterChallengeTakesTheNextCSeqAndIgnoresTheOldOne) {
    RegistrationCore core = MakeCore();
    const SipMessage first = *core.Start(kT0).send;
    SipMessage again = core.Resend();
    EXPECT_EQ(CSeqOf(again), 2u);
    EXPECT_EQ(again.ValueText(HeaderType::Contact), first.ValueText(HeaderType::Contact));
    EXPECT_EQ(core.OnResponse(Reply(first, 401), kT0).event, Event::None) << "the challenge already answered";
    EXPECT_EQ(core.OnResponse(Reply(again, 200), kT0).event, Event::Registered);
    EXPECT_THROW(core.Resend(), std::logic_error) << "nothing in progress";
}

/// `request` encoded with its CSeq line taken out: what must stay the same when only the CSeq moves.
std::string WithoutCSeq(const SipMessage& request) {
    std::string text = request.Encode();
    const std::size_t start = text.find("CSeq: ");
    return start == std::string::npos ? text : text.erase(start, text.find("\r\n", start) + 2 - start);
}

// The core keeps no REGISTER between inputs: a retry with credentials, a refresh and a removal are
// built again from its state, and must come out as the request in progress, only the CSeq moved.
TEST(RegistrationCoreTest, RequestsBuiltAgainMatchTheRequestInProgress) {
    RegistrationSettings settings = Outbound();
    settings.capabilities = {Parameter{"audio", "", false, false}};
    settings.supported = {"gruu"};
    RegistrationCore core = MakeCore(settings);
    EXPECT_FALSE(core.LastRequest().has_value()) << "nothing sent yet";
    const SipMessage first = *core.Start(kT0).send;
    const SipMessage retry = core.Resend();
    EXPECT_EQ(CSeqOf(retry), 2u);
    EXPECT_EQ(WithoutCSeq(retry), WithoutCSeq(first));
    ASSERT_TRUE(core.LastRequest().has_value());
    EXPECT_EQ(core.LastRequest()->Encode(), retry.Encode());

    // The Contact the transport really used goes into every later request, its retries included.
    core.SetContactUri(Uri::Parse("sip:alice@198.51.100.7:5070;transport=tcp"));
    core.OnResponse(Reply(retry, 200, "Require: outbound\nExpires: 600\n"), kT0);
    const SipMessage refresh = *core.OnTimer(kT0 + 568s).send;
    EXPECT_EQ(refresh.ValueText(HeaderType::CallId), first.ValueText(HeaderType::CallId));
    EXPECT_EQ(refresh.ValueText(HeaderType::From), first.ValueText(HeaderType::From)) << "the same From tag";
    EXPECT_EQ(CSeqOf(refresh), 3u);
    EXPECT_EQ(refresh.Get<NameAddr>(HeaderType::Contact).GetUri().Host(), "198.51.100.7");
    const SipMessage refreshRetry = core.Resend();
    EXPECT_EQ(WithoutCSeq(refreshRetry), WithoutCSeq(refresh));

    core.OnResponse(Reply(refreshRetry, 200, "Require: outbound\nExpires: 600\n"), kT0 + 569s);
    const SipMessage removal = *core.End(kT0 + 600s).send;
    EXPECT_EQ(removal.ValueText(HeaderType::Expires), "0");
    const SipMessage removalRetry = core.Resend();
    EXPECT_EQ(CSeqOf(removalRetry), CSeqOf(removal) + 1);
    EXPECT_EQ(WithoutCSeq(removalRetry), WithoutCSeq(removal)) << "a challenged removal still removes";
    EXPECT_EQ(removalRetry.Get<NameAddr>(HeaderType::Contact).Params().GetUInt32("expires"), 0u);
}

// ---- removal --------------------------------------------------------------------------------

TEST(RegistrationCoreTest, EndRemovesOnlyOurContact) {
    RegistrationCore core = MakeCore(Outbound());
    const SipMessage reg = *core.Start(kT0).send;
    core.OnResponse(Reply(reg, 200, "Require: outbound\n"), kT0);
    RegistrationStep end = core.End(kT0 + 5s);
    ASSERT_TRUE(end.send.has_value());
    EXPECT_TRUE(end.stopTimer);
    const SipMessage& removal = *end.send;
    EXPECT_EQ(removal.ValueText(HeaderType::Expires), "0");
    ASSERT_EQ(removal.Count(HeaderType::Contact), 1u);
    const NameAddr& contact = removal.Get<NameAddr>(HeaderType::Contact);
    EXPECT_FALSE(contact.IsWildcard());
    EXPECT_EQ(contact.GetUri().ToString(), "sip:alice@192.0.2.10:5060;ob");
    EXPECT_EQ(contact.Params().GetUInt32("expires"), 0u);
    EXPECT_EQ(contact.Params().GetUInt32("reg-id"), 1u) << "the registrar finds the binding by instance and reg-id";
    EXPECT_EQ(CSeqOf(removal), 2u);
    RegistrationStep removed = core.OnResponse(Reply(removal, 200), kT0 + 6s);
    EXPECT_EQ(removed.event, Event::Removed);
    EXPECT_EQ(removed.failure, RegistrationFailure::None);
    EXPECT_EQ(core.GetState(), State::Removed);
    EXPECT_FALSE(core.IsOutboundInEffect());
}

TEST(RegistrationCoreTest, EndWhileRegisteringWaitsForTheAnswer) {
    RegistrationCore core = MakeCore();
    const SipMessage reg = *core.Start(kT0).send;
    RegistrationStep nothing = core.End(kT0);
    EXPECT_FALSE(nothing.send) << "one REGISTER at a time";
    RegistrationStep after = core.OnResponse(Reply(reg, 200), kT0 + 1s);
    EXPECT_EQ(after.event, Event::Registered);
    ASSERT_TRUE(after.send.has_value());
    EXPECT_EQ(after.send->ValueText(HeaderType::Expires), "0");
    EXPECT_FALSE(after.wakeAt.has_value()) << "no refresh for a binding being removed";
    EXPECT_EQ(core.GetState(), State::Removing);
    RegistrationStep refused = core.OnResponse(Reply(*after.send, 500), kT0 + 2s);
    EXPECT_EQ(refused.event, Event::Removed) << "a refused removal still ends; the binding lapses";
    EXPECT_EQ(refused.failure, RegistrationFailure::Rejected);

    RegistrationCore failing = MakeCore();
    const SipMessage r = *failing.Start(kT0).send;
    failing.End(kT0);
    EXPECT_EQ(failing.OnResponse(Reply(r, 403), kT0).event, Event::Removed) << "nothing was bound";
    EXPECT_EQ(failing.GetState(), State::Removed);

    // A refresh that fails while ending was asked for removes the live binding; no retry is asked.
    RegistrationCore refreshing = MakeCore();
    const SipMessage first = *refreshing.Start(kT0).send;
    refreshing.OnResponse(Reply(first, 200), kT0);
    const auto due = kT0 + RegistrationCore::RefreshDelay(refreshing.GrantedExpires());
    ASSERT_TRUE(refreshing.OnTimer(due).send.has_value());
    refreshing.End(due);
    RegistrationStep timedOut = refreshing.OnTransactionFailure(true, due + 1s);
    EXPECT_EQ(timedOut.event, Event::None);
    ASSERT_TRUE(timedOut.send.has_value());
    EXPECT_EQ(timedOut.send->ValueText(HeaderType::Expires), "0");
    EXPECT_EQ(refreshing.GetState(), State::Removing);
}

} // namespace
} // namespace zel::sip::stack

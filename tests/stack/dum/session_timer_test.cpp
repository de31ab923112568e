#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "TestMessages.h"
#include "stack/dum/SessionTimer.h"
#include "stack/message/Number.h"

namespace zel::sip::stack {
namespace {

using namespace std::chrono_literals;
using TimerEvent = SessionTimerStep::Event;
using State = SessionTimer::State;
using test::Lists;
using test::ParseLf;

const SessionTimer::TimePoint kT0{std::chrono::hours(1000)};

const std::string kDialog = "From: <sip:alice@example.com>;tag=a1\n"
                            "To: <sip:bob@example.com>;tag=b1\n"
                            "Call-ID: call-timer@192.0.2.10\n";

/// A request from the peer (`method`, CSeq 7) with `extra` header lines.
SipMessage Request(const std::string& method, const std::string& extra = "") {
    return ParseLf(method + " sip:bob@192.0.2.20 SIP/2.0\n"
                            "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-st1\n"
                            "Max-Forwards: 70\n" +
                   kDialog + "CSeq: 7 " + method + "\nContact: <sip:alice@192.0.2.10>\n" + extra +
                   "Content-Length: 0\n\n");
}

/// A final response to our `method` with `extra` header lines.
SipMessage Response(int status, const std::string& extra = "", const std::string& method = "INVITE") {
    return ParseLf("SIP/2.0 " + std::to_string(status) + " Reason\n"
                   "Via: SIP/2.0/UDP 192.0.2.20:5060;branch=z9hG4bK-st2\n" +
                   kDialog + "CSeq: 1 " + method + "\n" + extra + "Content-Length: 0\n\n");
}

/// A request of ours as the session builds it, before the core adds its headers.
SipMessage Ours(const std::string& method) {
    return SipMessage::MakeRequest(method, Uri::Parse("sip:bob@192.0.2.20"));
}

SessionTimerSettings Settings(std::optional<SessionRefresher> refresher = std::nullopt) {
    SessionTimerSettings settings;
    settings.requestRefresher = refresher;
    return settings;
}

// ---- as UAC: what the requests carry and what a 422 does ---------------------------------------

TEST(SessionTimerUacTest, RequestsCarryTimerHeadersAsTheStateSays) {
    SessionTimer timer(Settings());
    SipMessage invite = Ours("INVITE");
    timer.AddToRequest(invite);
    EXPECT_TRUE(Lists(invite, HeaderType::Supported, "timer"));
    EXPECT_EQ(invite.ValueText(HeaderType::SessionExpires), "1800") << "no refresher: the UAS chooses";
    EXPECT_EQ(invite.ValueText(HeaderType::MinSE), "90");

    SipMessage bye = Ours("BYE");
    timer.AddToRequest(bye);
    EXPECT_TRUE(Lists(bye, HeaderType::Supported, "timer"));
    EXPECT_FALSE(bye.Has(HeaderType::SessionExpires));
    SipMessage ack = Ours("ACK");
    timer.AddToRequest(ack);
    EXPECT_FALSE(ack.Has(HeaderType::Supported));

    SessionTimer insisting(Settings(SessionRefresher::Uac));
    SipMessage asking = Ours("INVITE");
    asking.Add(HeaderType::Supported, "100rel, timer");
    insisting.AddToRequest(asking);
    EXPECT_EQ(asking.ValueText(HeaderType::SessionExpires), "1800;refresher=uac");
    EXPECT_EQ(asking.Count(HeaderType::Supported), 2u) << "timer is not listed twice";

    SessionTimerSettings off;
    off.enabled = false;
    SessionTimer disabled(off);
    SipMessage plain = Ours("INVITE");
    disabled.AddToRequest(plain);
    EXPECT_FALSE(plain.Has(HeaderType::Supported));
    EXPECT_FALSE(plain.Has(HeaderType::SessionExpires));
    EXPECT_EQ(disabled.OnResponse(Response(200, "Session-Expires: 90;refresher=uac\n"), kT0).event, TimerEvent::None);
    EXPECT_EQ(disabled.OnRequest(Request("INVITE", "Session-Expires: 1\nSupported: timer\n"), "t", kT0).event,
              TimerEvent::None);
}

TEST(SessionTimerUacTest, Interval422LoopIsBounded) {
    SessionTimer timer(Settings());
    const SessionTimerStep retry = timer.OnResponse(Response(422, "Min-SE: 3600\n"), kT0);
    EXPECT_EQ(retry.event, TimerEvent::Retry);
    SipMessage again = Ours("INVITE");
    timer.AddToRequest(again);
    EXPECT_EQ(again.ValueText(HeaderType::SessionExpires), "3600") << "raised to the peer's Min-SE";
    EXPECT_EQ(again.ValueText(HeaderType::MinSE), "3600");

    struct Case {
        const char* headers;
        TimerEvent event;
    };
    const std::vector<Case> cases = {
        {"Min-SE: 3600\n", TimerEvent::Failed},    // not larger than ours now: it would loop
        {"Min-SE: 1000\n", TimerEvent::Failed},    // smaller
        {"", TimerEvent::Failed},                  // none
        {"Min-SE: soon\n", TimerEvent::Failed},    // unreadable
        {"Min-SE: 3601\n", TimerEvent::Retry},     // larger: one more try
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        const SessionTimerStep step = timer.OnResponse(Response(422, c.headers), kT0);
        EXPECT_EQ(step.event, c.event);
        if (c.event == TimerEvent::Failed) {
            EXPECT_FALSE(step.reason.empty());
        }
    }
    EXPECT_EQ(timer.OnResponse(Response(422, "Min-SE: 4000\n"), kT0).event, TimerEvent::Retry);
    EXPECT_EQ(timer.OnResponse(Response(422, "Min-SE: 5000\n"), kT0).event, TimerEvent::Failed)
        << "a peer that keeps raising Min-SE is given " << SessionTimer::kMaxRetries << " retries";
    EXPECT_EQ(timer.MinSE(), 4000s);
}

// ---- as UAC: the 2xx decides ---------------------------------------------------------------------

TEST(SessionTimerUacTest, SuccessChoosesIntervalAndRefresher) {
    struct Case {
        const char* headers;
        std::optional<SessionRefresher> asked;
        TimerEvent event;
        std::chrono::seconds interval;
        bool weRefresh;
        bool ignored;
    };
    const std::vector<Case> cases = {
        {"Session-Expires: 1800;refresher=uac\n", std::nullopt, TimerEvent::Started, 1800s, true, false},
        {"Session-Expires: 600;refresher=uas\n", std::nullopt, TimerEvent::Started, 600s, false, false},
        {"x: 600;refresher=UAS\n", std::nullopt, TimerEvent::Started, 600s, false, false}, // compact form, any case
        {"Session-Expires: 600\n", std::nullopt, TimerEvent::Started, 600s, true, false}, // no refresher: we do it
        {"Session-Expires: 30;refresher=uas\n", std::nullopt, TimerEvent::Started, 90s, false, true}, // below Min-SE
        {"Session-Expires: 4294967295;refresher=uas\n", std::nullopt, TimerEvent::Started, 1800s, false, true}, // above ours
        {"", std::nullopt, TimerEvent::None, 0s, false, false},                // no timer at all
        {"", SessionRefresher::Uac, TimerEvent::Started, 1800s, true, false},  // we insisted: alone
        {"Session-Expires: 1800;;\n", std::nullopt, TimerEvent::None, 0s, false, true}, // unreadable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        SessionTimer timer(Settings(c.asked));
        const SessionTimerStep step = timer.OnResponse(Response(200, c.headers), kT0);
        EXPECT_EQ(step.event, c.event);
        EXPECT_EQ(step.peerValueIgnored, c.ignored);
        EXPECT_EQ(timer.Interval(), c.interval);
        if (c.event == TimerEvent::Started) {
            EXPECT_EQ(step.weRefresh, c.weRefresh);
            ASSERT_TRUE(step.wakeAt.has_value());
            const auto expected = c.weRefresh ? c.interval / 2 : c.interval - std::min<std::chrono::seconds>(32s, c.interval / 3);
            EXPECT_EQ(*step.wakeAt - kT0, expected);
        } else {
            EXPECT_EQ(timer.GetState(), State::Inactive);
        }
    }
}

TEST(SessionTimerUacTest, RefresherRefreshesByUpdateWhenAllowedAndExpiresWithoutAnswer) {
    SessionTimer timer(Settings());
    SessionTimerStep step =
        timer.OnResponse(Response(200, "Session-Expires: 1800;refresher=uac\nAllow: INVITE, ACK, BYE, UPDATE\n"), kT0);
    ASSERT_EQ(step.event, TimerEvent::Started);
    EXPECT_EQ(timer.OnTimer(kT0 + 899s).event, TimerEvent::None);
    step = timer.OnTimer(kT0 + 900s);
    EXPECT_EQ(step.event, TimerEvent::Refresh);
    EXPECT_EQ(step.method, RefreshMethod::Update);
    ASSERT_TRUE(step.wakeAt.has_value());
    EXPECT_EQ(*step.wakeAt, kT0 + 1768s) << "the deadline: interval less min(32 s, interval/3)";
    EXPECT_EQ(timer.GetState(), State::RefreshDue);

    SipMessage update = Ours("UPDATE");
    timer.AddToRequest(update);
    EXPECT_EQ(update.ValueText(HeaderType::SessionExpires), "1800;refresher=uac") << "the refresher stays";

    // A failed refresh changes nothing; the deadline still holds.
    EXPECT_EQ(timer.OnResponse(Response(500, "", "UPDATE"), kT0 + 901s).event, TimerEvent::None);
    step = timer.OnTimer(kT0 + 1768s);
    EXPECT_EQ(step.event, TimerEvent::Expired);
    EXPECT_EQ(timer.GetState(), State::Expired);
}

TEST(SessionTimerUacTest, RefreshSuccessRestartsAndReInviteIsUsedWithoutUpdate) {
    SessionTimer timer(Settings());
    ASSERT_EQ(timer.OnResponse(Response(200, "Session-Expires: 120;refresher=uac\nAllow: INVITE, BYE\n"), kT0).event,
              TimerEvent::Started);
    SessionTimerStep step = timer.OnTimer(kT0 + 60s);
    ASSERT_EQ(step.event, TimerEvent::Refresh);
    EXPECT_EQ(step.method, RefreshMethod::Invite);
    // The refresh's 2xx hands the refreshing over to the peer and shortens the interval.
    step = timer.OnResponse(Response(200, "Session-Expires: 100;refresher=uas\n"), kT0 + 61s);
    ASSERT_EQ(step.event, TimerEvent::Started);
    EXPECT_FALSE(step.weRefresh);
    EXPECT_EQ(timer.GetState(), State::Watching);
    EXPECT_EQ(*step.wakeAt, kT0 + 61s + 100s - 32s);
    SipMessage reinvite = Ours("INVITE");
    timer.AddToRequest(reinvite);
    EXPECT_EQ(reinvite.ValueText(HeaderType::SessionExpires), "100;refresher=uas") << "the interval in effect";
    // A 2xx that drops the timer stops it.
    step = timer.OnResponse(Response(200), kT0 + 100s);
    EXPECT_EQ(step.event, TimerEvent::Stopped);
    EXPECT_TRUE(step.stopTimer);
    EXPECT_FALSE(timer.Deadline().has_value());
}

// ---- as UAS --------------------------------------------------------------------------------------

TEST(SessionTimerUasTest, RequestsAreCheckedAndAnsweredAsSection9Says) {
    struct Case {
        const char* headers;
        int reject;               // 0: accepted
        const char* expires;      // the 2xx's Session-Expires
        bool requireTimer;
        bool weRefresh;
    };
    const std::vector<Case> cases = {
        {"Supported: timer\nSession-Expires: 60\n", 422, "", false, false},
        {"Session-Expires: 60\n", 0, "90;refresher=uas", false, true}, // a proxy added it: raised
        {"Supported: timer\nSession-Expires: soon\n", 400, "", false, false},
        {"Supported: timer\nSession-Expires: 1800\nMin-SE: -1\n", 400, "", false, false},
        {"Supported: timer\nSession-Expires: 1800;refresher=uac\n", 0, "1800;refresher=uac", true, false},
        {"Supported: timer\nSession-Expires: 1800;refresher=uas\n", 0, "1800;refresher=uas", true, true},
        {"Supported: timer\nSession-Expires: 1800\n", 0, "1800;refresher=uac", true, false}, // it asked
        {"Supported: timer\n", 0, "1800;refresher=uas", true, true},   // we want it: we refresh
        {"", 0, "1800;refresher=uas", false, true},                    // no Require towards it
        {"Supported: timer\nSession-Expires: 7200\n", 0, "1800;refresher=uac", true, false}, // shortened
        {"Supported: timer\nSession-Expires: 7200\nMin-SE: 3600\n", 0, "3600;refresher=uac", true, false},
        {"Session-Expires: 1800;refresher=uac\n", 0, "1800;refresher=uas", false, true}, // it cannot refresh
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        SessionTimer timer(Settings());
        SessionTimerStep step = timer.OnRequest(Request("INVITE", c.headers), "b1", kT0);
        if (c.reject != 0) {
            EXPECT_EQ(step.event, TimerEvent::Reject);
            ASSERT_TRUE(step.response.has_value());
            EXPECT_EQ(step.response->StatusCode(), c.reject);
            EXPECT_EQ(step.response->Has(HeaderType::MinSE), c.reject == 422);
            if (c.reject == 422) {
                EXPECT_EQ(step.response->ValueText(HeaderType::MinSE), "90");
            }
            SipMessage ok = Response(200);
            EXPECT_EQ(timer.AddToSuccess(ok, kT0).event, TimerEvent::None) << "nothing was negotiated";
            EXPECT_FALSE(ok.Has(HeaderType::SessionExpires));
            continue;
        }
        EXPECT_EQ(step.event, TimerEvent::None);
        SipMessage ok = Response(200);
        step = timer.AddToSuccess(ok, kT0);
        EXPECT_EQ(step.event, TimerEvent::Started);
        EXPECT_EQ(ok.ValueText(HeaderType::SessionExpires), c.expires);
        EXPECT_EQ(Lists(ok, HeaderType::Require, "timer"), c.requireTimer);
        EXPECT_TRUE(Lists(ok, HeaderType::Supported, "timer"));
        EXPECT_EQ(timer.WeRefresh(), c.weRefresh);
    }
}

TEST(SessionTimerUasTest, PeerRefreshesMoveTheDeadlineAndSilenceExpiresTheSession) {
    SessionTimer timer(Settings());
    ASSERT_EQ(timer.OnRequest(Request("INVITE", "Supported: timer\nSession-Expires: 90;refresher=uac\n"), "b1", kT0)
                  .event,
              TimerEvent::None);
    SipMessage ok = Response(200);
    SessionTimerStep step = timer.AddToSuccess(ok, kT0);
    ASSERT_EQ(step.event, TimerEvent::Started);
    EXPECT_EQ(*step.wakeAt, kT0 + 60s) << "90 s less a third of it";

    // The peer's UPDATE at 50 s refreshes; the old wake-up is then stale.
    ASSERT_EQ(timer.OnRequest(Request("UPDATE", "Supported: timer\nSession-Expires: 90;refresher=uac\n"), "", kT0 + 50s)
                  .event,
              TimerEvent::None);
    SipMessage updated = Response(200, "", "UPDATE");
    step = timer.AddToSuccess(updated, kT0 + 50s);
    EXPECT_EQ(*step.wakeAt, kT0 + 110s);
    EXPECT_EQ(timer.OnTimer(kT0 + 60s).event, TimerEvent::None);
    // A refused re-INVITE (the session answered it 488, never calling AddToSuccess) refreshes nothing.
    ASSERT_EQ(timer.OnRequest(Request("INVITE", "Supported: timer\nSession-Expires: 90\n"), "", kT0 + 100s).event,
              TimerEvent::None);
    step = timer.OnTimer(kT0 + 110s);
    EXPECT_EQ(step.event, TimerEvent::Expired);
    EXPECT_FALSE(step.reason.empty());
    EXPECT_EQ(timer.Stop().event, TimerEvent::None) << "an expired timer has nothing left to stop";
}

TEST(SessionTimerTest, SettingsBelowTheFloorAreRefusedAndProfilesMapOntoSettings) {
    SessionTimerSettings low;
    low.minSE = 89s;
    EXPECT_THROW(SessionTimer{low}, std::invalid_argument);
    SessionTimerSettings inverted;
    inverted.minSE = 600s;
    inverted.sessionExpires = 300s;
    EXPECT_THROW(SessionTimer{inverted}, std::invalid_argument);

    ProfileSettings profile;
    EXPECT_FALSE(MakeSessionTimerSettings(profile).enabled);
    EXPECT_FALSE(profile.IsOptionTagSupported("timer"));
    profile.sessionTimerSupported = true;
    profile.defaultMinSE = 600;
    profile.defaultSessionExpires = 300;
    const SessionTimerSettings mapped = MakeSessionTimerSettings(profile);
    EXPECT_TRUE(mapped.enabled);
    EXPECT_EQ(mapped.sessionExpires, 600s) << "raised to Min-SE so the core accepts the pair";
    EXPECT_NO_THROW(SessionTimer{mapped});
    EXPECT_TRUE(profile.IsOptionTagSupported("TIMER"));
    const std::vector<std::string> tags = profile.AdvertisedOptionTags();
    EXPECT_EQ(std::count(tags.begin(), tags.end(), "timer"), 1);

    UserProfile user;
    EXPECT_THROW(user.SetDefaultMinSE(89), std::invalid_argument);
    EXPECT_THROW(user.SetDefaultSessionExpires(0), std::invalid_argument);
    EXPECT_EQ(user.UacReliableProvisionalMode(), ReliableProvisionalMode::Supported);
}

TEST(SessionTimerTest, OptionTagAndRefresherPreferenceReachTheNegotiation) {
    // The product turns session timers on by listing "timer" among the supported option tags.
    ProfileSettings profile;
    profile.optionTags = {"timer"};
    EXPECT_TRUE(MakeSessionTimerSettings(profile).enabled);
    EXPECT_FALSE(MakeSessionTimerSettings(profile).requestRefresher.has_value());

    struct Case {
        SessionRefresherPreference preference;
        const char* inInvite;       // our INVITE's Session-Expires
        const char* peerInvite;     // the peer's INVITE headers
        const char* inOurSuccess;   // our 2xx's Session-Expires
    };
    const std::vector<Case> cases = {
        {SessionRefresherPreference::Unspecified, "1800", "Supported: timer\nSession-Expires: 1800\n", "1800;refresher=uac"},
        {SessionRefresherPreference::Local, "1800;refresher=uac", "Supported: timer\nSession-Expires: 1800\n",
         "1800;refresher=uas"},
        {SessionRefresherPreference::Remote, "1800;refresher=uas", "Supported: timer\nSession-Expires: 1800\n",
         "1800;refresher=uac"},
        {SessionRefresherPreference::Remote, "1800;refresher=uas", "Supported: timer\n", "1800;refresher=uac"},
        // A refresher the peer names is kept, and a UAC without "timer" cannot refresh.
        {SessionRefresherPreference::Local, "1800;refresher=uac", "Supported: timer\nSession-Expires: 1800;refresher=uac\n",
         "1800;refresher=uac"},
        {SessionRefresherPreference::Remote, "1800;refresher=uas", "Session-Expires: 1800\n", "1800;refresher=uas"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.peerInvite) + " preference " + std::to_string(static_cast<int>(c.preference)));
        profile.sessionRefresher = c.preference;
        SessionTimer ours(MakeSessionTimerSettings(profile));
        SipMessage invite = Ours("INVITE");
        ours.AddToRequest(invite);
        EXPECT_EQ(invite.ValueText(HeaderType::SessionExpires), c.inInvite);

        SessionTimer answering(MakeSessionTimerSettings(profile));
        ASSERT_EQ(answering.OnRequest(Request("INVITE", c.peerInvite), "b1", kT0).event, TimerEvent::None);
        SipMessage ok = Response(200);
        ASSERT_EQ(answering.AddToSuccess(ok, kT0).event, TimerEvent::Started);
        EXPECT_EQ(ok.ValueText(HeaderType::SessionExpires), c.inOurSuccess);
    }
    UserProfile user;
    EXPECT_THROW(user.SetSessionTimerSpeedupForTests(0), std::invalid_argument);
    user.SetSessionRefresher(SessionRefresherPreference::Local);
    EXPECT_EQ(user.Snapshot().sessionRefresher, SessionRefresherPreference::Local);
}

} // namespace
} // namespace zel::sip::stack

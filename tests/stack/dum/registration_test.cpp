// Client registrations through the whole dialog layer: our manager on a real stack over loopback,
// against a registrar scripted from the test. The registration rules themselves are in
// registration_core_test.cpp; outbound and removal at shutdown against kamailio in
// registration_peer_test.cpp.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "stack/dum/DumTestSupport.h"

namespace zel::sip::stack::test {
namespace {

NameAddr Aor(const ScriptedPeer& peer, const std::string& user = "alice") {
    return NameAddr::Parse("<sip:" + user + "@127.0.0.1:" + std::to_string(peer.Udp().port) + ">");
}

void Register(DumUnderTest& ua, const NameAddr& aor, std::shared_ptr<UserProfile> profile = nullptr,
              std::optional<std::uint32_t> expires = std::nullopt) {
    if (profile == nullptr) {
        profile = std::make_shared<UserProfile>(*ua.Profile());
    }
    ua.Manager().SendCommand(ua.Manager().MakeRegistration(aor, std::move(profile), expires));
}

std::string Header(const SipMessage& message, HeaderType type, std::size_t index = 0) {
    return message.ValueText(type, index);
}

TEST(Registration, ChallengedRegisterIsAnsweredRefreshedAndRemoved) {
    ScriptedPeer registrar;
    DumUnderTest ua;
    auto profile = std::make_shared<UserProfile>(*ua.Profile());
    profile->AddDigestCredential(DigestCredential{"test.realm", "alice", "secret"});
    Register(ua, Aor(registrar), profile, 30);

    auto first = registrar.NextRequest();
    ASSERT_TRUE(first);
    const SipMessage& request = *first->message;
    EXPECT_EQ(request.Method(), "REGISTER");
    EXPECT_EQ(std::string(request.RawRequestUri()), "sip:127.0.0.1:" + std::to_string(registrar.Udp().port));
    EXPECT_EQ(Header(request, HeaderType::UserAgent), "zel-test");
    // The stack filled our Contact with the address the request left from.
    const NameAddr* contact = request.Peek<NameAddr>(HeaderType::Contact);
    ASSERT_NE(contact, nullptr);
    EXPECT_EQ(contact->GetUri().Host(), "127.0.0.1");
    EXPECT_EQ(contact->GetUri().Port(), ua.Udp().port);
    EXPECT_FALSE(request.Has(HeaderType::Authorization));
    registrar.Answer(*first, 401, "Unauthorized", [](SipMessage& response) {
        response.Add(HeaderType::WwwAuthenticate, "Digest realm=\"test.realm\", nonce=\"abc123\", qop=\"auth\", algorithm=MD5");
    });

    auto second = registrar.NextRequest();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->message->Peek<CSeq>(HeaderType::CSeq)->Sequence(),
              request.Peek<CSeq>(HeaderType::CSeq)->Sequence() + 1);
    EXPECT_EQ(Header(*second->message, HeaderType::CallId), Header(request, HeaderType::CallId));
    const std::string authorization = Header(*second->message, HeaderType::Authorization);
    EXPECT_NE(authorization.find("username=\"alice\""), std::string::npos) << authorization;
    EXPECT_NE(authorization.find("nc=00000001"), std::string::npos) << authorization;
    registrar.AcceptRegister(*second, 6);
    ASSERT_TRUE(ua.Handler().WaitFor("success"));

    // The granted 6 s are refreshed no sooner than the 5 s floor, carrying the credentials again.
    auto refresh = registrar.NextRequest(10s);
    ASSERT_TRUE(refresh);
    EXPECT_NE(Header(*refresh->message, HeaderType::Authorization).find("nc=00000002"), std::string::npos);
    EXPECT_EQ(Header(*refresh->message, HeaderType::CallId), Header(request, HeaderType::CallId));
    EXPECT_EQ(Header(*refresh->message, HeaderType::From), Header(request, HeaderType::From));
    EXPECT_EQ(Header(*refresh->message, HeaderType::Contact), Header(*second->message, HeaderType::Contact));
    const std::uint32_t refreshCSeq = refresh->message->Peek<CSeq>(HeaderType::CSeq)->Sequence();
    EXPECT_EQ(refreshCSeq, second->message->Peek<CSeq>(HeaderType::CSeq)->Sequence() + 1);
    registrar.AcceptRegister(*refresh, 60, [](SipMessage& response) {
        // Another binding of the address of record, with a comma inside its quoted display name.
        response.Add(HeaderType::Contact, std::string_view("\"Bob, at home\" <sip:bob@192.0.2.7:5070>;expires=30"));
    });
    ASSERT_TRUE(ua.Handler().WaitFor("success", 2));
    const ClientRegistrationHandle handle = ua.Handler().LastHandle();
    std::vector<NameAddr> bindings;
    ua.OnDialogThread([&] { bindings = handle->AllContacts(); });
    ASSERT_EQ(bindings.size(), 2u) << "every binding the registrar listed";
    EXPECT_EQ(bindings[0].GetUri().Port(), ua.Udp().port);
    EXPECT_EQ(bindings[0].Params().GetUInt32("expires"), 60u);
    EXPECT_EQ(bindings[1].DisplayName(), "Bob, at home");
    EXPECT_EQ(bindings[1].GetUri().Host(), "192.0.2.7");

    // Ending removes only our own Contact, and the handle stops resolving once onRemoved returned.
    ua.OnDialogThread([&] { handle->End(); });
    auto removal = registrar.NextRequest();
    ASSERT_TRUE(removal);
    const NameAddr* removed = removal->message->Peek<NameAddr>(HeaderType::Contact);
    ASSERT_NE(removed, nullptr);
    EXPECT_FALSE(removed->IsWildcard());
    EXPECT_EQ(removed->Params().GetUInt32("expires"), 0u);
    EXPECT_EQ(Header(*removal->message, HeaderType::CallId), Header(request, HeaderType::CallId));
    EXPECT_EQ(removal->message->Peek<CSeq>(HeaderType::CSeq)->Sequence(), refreshCSeq + 1);
    EXPECT_NE(Header(*removal->message, HeaderType::Authorization).find("nc=00000003"), std::string::npos)
        << "the removal carries the credentials too";
    registrar.AcceptRegister(*removal, 0);
    ASSERT_TRUE(ua.Handler().WaitFor("removed"));
    bool valid = true;
    ua.OnDialogThread([&] { valid = handle.IsValid(); });
    EXPECT_FALSE(valid);
    EXPECT_THROW(handle.Get(), HandleError);
}

TEST(Registration, RegistrationsShareSettingsOnlyWhenTheyAskForTheSame) {
    // Registrations asking for the same settings share them; one asking for another time must
    // keep its own, made before or after the others.
    ScriptedPeer registrar;
    DumUnderTest ua;
    const std::map<std::string, std::string> asked = {{"bob", "120"}, {"carol", "300"}, {"dave", "120"}};
    for (const auto& [user, expires] : asked) {
        Register(ua, Aor(registrar, user), nullptr, static_cast<std::uint32_t>(std::stoul(expires)));
    }
    std::map<std::string, std::string> seen;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        auto request = registrar.NextRequest();
        ASSERT_TRUE(request);
        const std::string user = request->message->Get<NameAddr>(HeaderType::From).GetUri().User();
        seen[user] = Header(*request->message, HeaderType::Expires);
    }
    EXPECT_EQ(seen, asked);
}

TEST(Registration, RefusalIsAFailureAndEndsTheUsage) {
    ScriptedPeer registrar;
    DumUnderTest ua;
    Register(ua, Aor(registrar));
    auto first = registrar.NextRequest();
    ASSERT_TRUE(first);
    registrar.Answer(*first, 403, "Forbidden");
    ASSERT_TRUE(ua.Handler().WaitFor("failure"));
    EXPECT_EQ(ua.Handler().Events().back().status, 403);
    std::size_t count = 1;
    ua.OnDialogThread([&] { count = ua.Manager().RegistrationCount(); });
    EXPECT_EQ(count, 0u);
}

TEST(Registration, WrongCredentialsEndInFailureNotALoop) {
    ScriptedPeer registrar;
    DumUnderTest ua;
    auto profile = std::make_shared<UserProfile>(*ua.Profile());
    profile->AddDigestCredential(DigestCredential{"test.realm", "alice", "wrong"});
    Register(ua, Aor(registrar), profile);
    const auto challenge = [](SipMessage& r) {
        r.Add(HeaderType::WwwAuthenticate, "Digest realm=\"test.realm\", nonce=\"n1\", algorithm=MD5");
    };
    auto first = registrar.NextRequest();
    ASSERT_TRUE(first);
    registrar.Answer(*first, 401, "Unauthorized", challenge);
    auto second = registrar.NextRequest();
    ASSERT_TRUE(second);
    registrar.Answer(*second, 401, "Unauthorized", challenge);
    ASSERT_TRUE(ua.Handler().WaitFor("failure"));
    EXPECT_EQ(ua.Handler().Events().back().status, 401);
    EXPECT_FALSE(registrar.NextRequest(300ms)) << "a refused credential must not be sent again";
}

TEST(Registration, RetryAfterAsksTheHandlerAndRegistersAgain) {
    ScriptedPeer registrar;
    DumUnderTest ua;
    ua.Handler().retryAnswer = 0;
    Register(ua, Aor(registrar));
    auto first = registrar.NextRequest();
    ASSERT_TRUE(first);
    registrar.Answer(*first, 503, "Service Unavailable", [](SipMessage& r) { r.Set(HeaderType::RetryAfter, "7"); });
    ASSERT_TRUE(ua.Handler().WaitFor("retry"));
    auto again = registrar.NextRequest();
    ASSERT_TRUE(again);
    registrar.AcceptRegister(*again, 600);
    EXPECT_TRUE(ua.Handler().WaitFor("success"));
}

TEST(Registration, SilentRegistrarFailsWithATimeoutAndShutdownIsBounded) {
    ScriptedPeer registrar;
    DumOptions options;
    options.shutdownTimeout = 1500ms;
    DumUnderTest ua(FastStackOptions(), options);
    Register(ua, Aor(registrar));
    ASSERT_TRUE(registrar.NextRequest());
    // Never answered: with T1 = 50 ms the transaction times out after 64 * T1.
    ASSERT_TRUE(ua.Handler().WaitFor("failure", 1, 10s));
    EXPECT_EQ(ua.Handler().Events().back().status, 408);

    // A registered binding and a registrar that then goes silent: shutdown still completes.
    Register(ua, Aor(registrar, "bob"));
    auto request = registrar.NextRequest();
    ASSERT_TRUE(request);
    registrar.AcceptRegister(*request, 600);
    ASSERT_TRUE(ua.Handler().WaitFor("success"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(ua.Stop(20s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
}

// The user agent's teardown order: the dialog thread and the stack stop before the manager is
// destroyed, with a registration still alive and its flow kept alive. Its clean-up must not raise.
TEST(Registration, ManagerDestroyedAfterTheStackStopped) {
    ScriptedPeer proxy;
    auto stack = std::make_unique<SipStack>(FastStackOptions());
    stack->AddTransport(TransportType::TCP, IpVersion::V4, "127.0.0.1", 0);
    DumThread thread;
    RecordingRegistrationHandler handler;
    auto manager = std::make_unique<DialogUsageManager>(*stack, thread);
    manager->SetClientRegistrationHandler(&handler);
    thread.Start();
    auto profile = std::make_shared<UserProfile>(*manager->GetMasterProfile());
    profile->SetOutboundProxy(Uri::Parse(proxy.TcpUri()));
    profile->SetKeepAliveTimeForStream(60);
    profile->SetInstanceId("<urn:uuid:00000000-0000-4000-8000-000000000002>");
    profile->SetRegId(1);
    profile->SetClientOutboundEnabled(true);
    manager->SendCommand(manager->MakeRegistration(NameAddr::Parse("<sip:dave@example.invalid>"), profile, 600));
    auto request = proxy.NextRequest();
    ASSERT_TRUE(request);
    proxy.AcceptRegister(*request, 600, [](SipMessage& r) { r.Set(HeaderType::Require, "outbound"); });
    ASSERT_TRUE(handler.WaitFor("success"));

    thread.Stop();
    thread.Join();
    stack->Shutdown();
    manager.reset(); // the registration's destructor lets go of its flow and target
    stack.reset();
}

// What a host thread hands over wrongly is refused at once, with nothing sent.
TEST(Registration, BadRequestsAreRefusedWhenMade) {
    DumUnderTest ua;
    auto profile = std::make_shared<UserProfile>(*ua.Profile());
    EXPECT_THROW(ua.Manager().MakeRegistration(NameAddr::Parse("<tel:+15551234>"), profile), std::invalid_argument);
    EXPECT_THROW(ua.Manager().MakeRegistration(NameAddr::Parse("<sip:alice@example.com>"), profile, 0),
                 std::invalid_argument);
    EXPECT_THROW(ua.Manager().SendCommand(nullptr), std::invalid_argument);
    EXPECT_THROW(ua.Manager().Post({}), std::invalid_argument);
    std::size_t count = 1;
    ua.OnDialogThread([&] { count = ua.Manager().RegistrationCount(); });
    EXPECT_EQ(count, 0u);
}

} // namespace
} // namespace zel::sip::stack::test

#include "stack/dum/Profile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace zel::sip::stack::test {
namespace {

TEST(Profile, UserProfileCopiedFromMasterIsASnapshot) {
    auto master = std::make_shared<MasterProfile>();
    master->SetUserAgent("Zelmor/1");
    master->AddSupportedOptionTag("timer");
    master->SetOutboundProxy(Uri::Parse("sip:proxy.example.com;lr"));
    master->AddDigestCredential({"example.com", "alice", "secret"});

    master->SetDefaultFrom(NameAddr::Parse("\"Alice Q.\" <sip:alice@example.com;transport=tcp>;x-line=2"));

    auto user = std::make_shared<UserProfile>(*master);
    // The identity is kept as text: what comes back is the value set, parameters included.
    EXPECT_EQ(user->DefaultFrom().ToString(), "\"Alice Q.\" <sip:alice@example.com;transport=tcp>;x-line=2");
    EXPECT_EQ(user->Snapshot().defaultFrom.GetUri().Params().Find("transport")->value, "tcp");
    EXPECT_EQ(UserProfile().DefaultFrom().ToString(), NameAddr().ToString()) << "no From set";
    master->SetUserAgent("Zelmor/2");
    master->AddSupportedOptionTag("path");
    master->SetOutboundProxy(std::nullopt);
    master->ClearDigestCredentials();
    EXPECT_EQ(user->UserAgent(), "Zelmor/1");
    EXPECT_EQ(user->SupportedOptionTags(), std::vector<std::string>{"timer"});
    ASSERT_TRUE(user->OutboundProxy().has_value());
    EXPECT_EQ(user->OutboundProxy()->ToString(), "sip:proxy.example.com;lr");
    EXPECT_EQ(user->DigestCredentials().size(), 1U);

    // And the other way: the user profile's changes stay its own.
    user->SetRegId(2);
    user->SetUasReliableProvisionalMode(ReliableProvisionalMode::Required);
    EXPECT_EQ(master->RegId(), 0);
    EXPECT_EQ(master->UasReliableProvisionalMode(), ReliableProvisionalMode::Never);

    // Assignment replaces every setting.
    UserProfile other;
    other = *user;
    EXPECT_EQ(other.RegId(), 2);
    EXPECT_EQ(other.UserAgent(), "Zelmor/1");
}

TEST(Profile, DigestCredentialForAKnownRealmReplacesIt) {
    UserProfile profile;
    profile.AddDigestCredential({"a.example.com", "alice", "one"});
    profile.AddDigestCredential({"b.example.com", "bob", "two"});
    profile.AddDigestCredential({"a.example.com", "alice2", "three"});
    const std::vector<DigestCredential> expected{{"a.example.com", "alice2", "three"}, {"b.example.com", "bob", "two"}};
    EXPECT_EQ(profile.DigestCredentials(), expected);
    EXPECT_EQ(profile.FindDigestCredential("b.example.com")->user, "bob");
    // Realms are compared exactly (RFC 7616 section 3.3).
    EXPECT_FALSE(profile.FindDigestCredential("A.example.com").has_value());
    EXPECT_EQ(profile.Snapshot().FindDigestCredential("a.example.com")->password, "three");
}

TEST(Profile, CapabilityListsAndTheirComparisons) {
    UserProfile profile;
    // Defaults: a user agent with invite sessions, no registrar.
    EXPECT_TRUE(profile.IsMethodSupported("PRACK"));
    EXPECT_FALSE(profile.IsMethodSupported("REGISTER"));
    EXPECT_FALSE(profile.IsMethodSupported("invite")); // methods are case-sensitive
    EXPECT_TRUE(profile.IsSchemeSupported("SIPS"));
    EXPECT_FALSE(profile.IsSchemeSupported("tel"));
    EXPECT_TRUE(profile.IsMimeTypeSupported("INVITE", Mime("Application", "SDP")));
    EXPECT_FALSE(profile.IsMimeTypeSupported("BYE", Mime("application", "sdp")));

    // Option tags: in the order added, no duplicates without regard to case.
    profile.AddSupportedOptionTag("timer");
    profile.AddSupportedOptionTag("replaces");
    profile.AddSupportedOptionTag("TIMER");
    EXPECT_EQ(profile.SupportedOptionTags(), (std::vector<std::string>{"timer", "replaces"}));
    EXPECT_TRUE(profile.IsOptionTagSupported("Replaces"));

    // 100rel is what a UAS reliable-provisional mode other than Never means.
    EXPECT_FALSE(profile.IsOptionTagSupported("100rel"));
    profile.SetUasReliableProvisionalMode(ReliableProvisionalMode::SupportedEssential);
    EXPECT_TRUE(profile.IsOptionTagSupported("100rel"));
    EXPECT_EQ(profile.Snapshot().AdvertisedOptionTags(), (std::vector<std::string>{"timer", "replaces", "100rel"}));

    // Body types per method; a listed wildcard subtype accepts the whole type.
    profile.AddSupportedMimeType("MESSAGE", Mime("text", "*"));
    profile.AddSupportedMimeType("MESSAGE", Mime("text", "*"));
    EXPECT_EQ(profile.SupportedMimeTypes("MESSAGE").size(), 1U);
    EXPECT_TRUE(profile.IsMimeTypeSupported("MESSAGE", Mime("text", "plain")));
    EXPECT_FALSE(profile.IsMimeTypeSupported("MESSAGE", Mime("application", "sdp")));
    profile.ClearSupportedMimeTypes("INVITE");
    EXPECT_TRUE(profile.SupportedMimeTypes("INVITE").empty());

    profile.ClearSupportedUriSchemes();
    profile.AddSupportedUriScheme("TEL");
    profile.AddSupportedUriScheme("tel");
    EXPECT_EQ(profile.SupportedUriSchemes(), std::vector<std::string>{"tel"});

    // Text that would break a header is refused.
    EXPECT_THROW(profile.AddSupportedMethod("IN VITE"), std::invalid_argument);
    EXPECT_THROW(profile.AddSupportedOptionTag(""), std::invalid_argument);
    EXPECT_THROW(profile.AddSupportedMimeType("INVITE", Mime("application", "sdp\r\nX: y")), std::invalid_argument);
    EXPECT_THROW(profile.SetUserAgent("Zelmor\r\nVia: evil"), std::invalid_argument);
    EXPECT_THROW(profile.SetInstanceId("<urn:uuid:1>\n"), std::invalid_argument);
    EXPECT_THROW(profile.SetRegId(-1), std::invalid_argument);
}

TEST(Profile, SnapshotsNeverMixTwoVersionsWhileAnotherThreadWrites) {
    // Two complete versions; the writer swaps the profile between them with assignments while the
    // reader takes snapshots and copies. Every snapshot must be one version or the other.
    UserProfile first;
    first.SetUserAgent("first");
    first.SetRegId(1);
    first.AddSupportedOptionTag("one");
    first.AddDigestCredential({"realm", "user1", "pw1"});
    UserProfile second;
    second.SetUserAgent("second");
    second.SetRegId(2);
    second.AddSupportedOptionTag("two");
    second.AddDigestCredential({"realm", "user2", "pw2"});

    UserProfile shared(first);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            shared = (i % 2 == 0) ? second : first;
            shared.SetDefaultRegistrationTime(static_cast<std::uint32_t>(i));
        }
        done = true;
    });
    int mixed = 0;
    int reads = 0;
    while (!done || reads < 100) {
        const ProfileSettings snapshot = reads % 2 == 0 ? shared.Snapshot() : UserProfile(shared).Snapshot();
        const std::string expected = snapshot.regId == 1 ? "first" : "second";
        const std::string tag = snapshot.regId == 1 ? "one" : "two";
        const std::string user = snapshot.regId == 1 ? "user1" : "user2";
        if (snapshot.userAgent != expected || snapshot.optionTags != std::vector<std::string>{tag} ||
            snapshot.digestCredentials.at(0).user != user) {
            ++mixed;
        }
        // Getters read concurrently with the writer too.
        (void)shared.IsOptionTagSupported("one");
        ++reads;
    }
    writer.join();
    EXPECT_EQ(mixed, 0);
}

} // namespace
} // namespace zel::sip::stack::test

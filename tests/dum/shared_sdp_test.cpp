// The local SDP is read by host threads (the published snapshot) and held by the dialog layer's
// session as the body it sent, without locks or copies: what has been shared must never change,
// and edits must still reach the next share.

#include "dum/SharedSdp.h"

#include <gtest/gtest.h>

namespace zel::sip::test {
namespace {

stack::SdpBody WithVersion(std::uint64_t version) {
    stack::SdpBody body;
    body.Session().Origin().sessionVersion = version;
    return body;
}

std::uint64_t VersionOf(const stack::SdpBody* body) { return body->Session().Origin().sessionVersion; }

TEST(SharedSdp, AnEditAfterAShareGoesToACopyAndTheNextShareSeesIt) {
    SharedSdp sdp;
    EXPECT_EQ(sdp.Edit(), nullptr);
    EXPECT_EQ(sdp.Share(), nullptr);

    sdp.Assign(WithVersion(1));
    stack::SdpBody* first = sdp.Edit();
    ++first->Session().Origin().sessionVersion;
    // Nothing shared yet: edits go to the same object, without a copy.
    EXPECT_EQ(sdp.Edit(), first);

    const auto sent = sdp.Share();
    ASSERT_EQ(VersionOf(sent.get()), 2U);
    stack::SdpBody* next = sdp.Edit();
    ASSERT_NE(next, sent.get());
    ++next->Session().Origin().sessionVersion;
    EXPECT_EQ(VersionOf(sent.get()), 2U) << "a shared body was changed";
    EXPECT_EQ(VersionOf(sdp.Get()), 3U);
    EXPECT_EQ(VersionOf(sdp.Share().get()), 3U);
}

TEST(SharedSdp, AnAdoptedBodyIsNeverEditedInPlace) {
    const auto theirs = std::make_shared<const stack::SdpBody>(WithVersion(7));
    SharedSdp sdp;
    sdp.Adopt(theirs);
    EXPECT_EQ(sdp.Get(), theirs.get()); // one object for both holders
    ++sdp.Edit()->Session().Origin().sessionVersion;
    EXPECT_EQ(VersionOf(theirs.get()), 7U);
    EXPECT_EQ(VersionOf(sdp.Get()), 8U);

    // Assign takes a copy: the caller's object stays its own.
    stack::SdpBody mine = WithVersion(1);
    sdp.Assign(mine);
    ++sdp.Edit()->Session().Origin().sessionVersion;
    EXPECT_EQ(VersionOf(&mine), 1U);
}

} // namespace
} // namespace zel::sip::test

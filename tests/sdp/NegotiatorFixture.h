#pragma once

#include "SdpTestSupport.h"

#include "sdp/LocalSDPFactory.h"
#include "sdp/MediaNegotiator.h"

#include <stdexcept>

namespace zel::sip::test {

/// A media negotiator over deterministic services and a fake host, rebuilt by Build() after the
/// test has changed the configuration.
class NegotiatorFixture : public ::testing::Test {
protected:
    MediaNegotiator& Build() {
        negotiator_ = std::make_unique<MediaNegotiator>(random_, localSDPFactory_, config_);
        host_.Attach(*negotiator_);
        return *negotiator_;
    }

    const stack::sdp::Medium& AnswerMedium(std::size_t i) const { return session_.Local().Media().at(i); }
    const stack::sdp::Medium& RemoteMedium(std::size_t i) const { return session_.Remote().Media().at(i); }

    /// The text of the error that `action` raises, or "" when it raises none.
    template <class Error, class Action>
    static std::string ErrorOf(Action&& action) {
        try {
            action();
        } catch (const Error& e) {
            return e.what();
        }
        return "";
    }

    Config config_ = TypicalConfig();
    CountingRandom random_;
    FixedHostName hostName_;
    LocalSDPFactory localSDPFactory_{hostName_, random_};
    FakeHost host_;
    FakeSession session_;
    std::unique_ptr<MediaNegotiator> negotiator_;
};

} // namespace zel::sip::test

#include "stack/dum/Handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>

namespace zel::sip::stack::test {
namespace {

class Session : public Usage {
public:
    Session(HandleManager& manager, int value) : Usage(manager), value_(value) {}
    int Value() const { return value_; }

private:
    int value_;
};

class ServerSession final : public Session {
public:
    using Session::Session;
};

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const HandleError& error) {
        return error.what();
    }
    return "no error";
}

TEST(Handle, ResolvesWhileAliveAndRaisesTheExactTextsAfter) {
    HandleManager manager;
    Handle<Session> handle;
    EXPECT_FALSE(handle.IsValid());
    EXPECT_EQ(handle.Id(), 0U);
    EXPECT_EQ(MessageOf([&] { (void)handle.Get(); }), "Reference to unitialized handle.");

    std::optional<Session> session;
    session.emplace(manager, 7);
    handle = Handle<Session>(*session);
    const Handle<Session> copy = handle;
    EXPECT_TRUE(copy.IsValid());
    EXPECT_EQ(copy->Value(), 7);
    EXPECT_EQ(&*copy, &*session);
    EXPECT_EQ(manager.Count(), 1U);

    const Usage::Id id = session->GetId();
    session.reset();
    EXPECT_FALSE(copy.IsValid());
    EXPECT_FALSE(manager.IsLive(id));
    EXPECT_EQ(MessageOf([&] { (void)copy->Value(); }),
              "Reference to a usage that has ended (id " + std::to_string(id) + ").");

    // A new usage never takes over an ended usage's id, so the old handle stays ended.
    Session next(manager, 8);
    EXPECT_NE(next.GetId(), id);
    EXPECT_THROW((void)copy.Get(), HandleError);
}

TEST(Handle, OrderedAndComparedByIdAndConvertibleToABase) {
    HandleManager manager;
    ServerSession a(manager, 1);
    Session b(manager, 2);
    ServerSession c(manager, 3);
    const Handle<ServerSession> ha(a);
    const Handle<Session> hb(b);
    const Handle<ServerSession> hc(c);

    std::set<Handle<Session>> ordered{hc, hb, ha, Handle<Session>(ha)};
    ASSERT_EQ(ordered.size(), 3U);
    std::vector<int> values;
    for (const Handle<Session>& h : ordered) {
        values.push_back(h->Value());
    }
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Handle<Session>(ha), ha);
    EXPECT_LT(Handle<Session>(ha), hb);
    EXPECT_NE(Handle<Session>(hc), hb);

    std::map<Handle<Session>, std::string> names{{hb, "b"}};
    EXPECT_EQ(names.at(Handle<Session>(b)), "b");
}

TEST(Handle, OutlivesItsManagerWithoutDangling) {
    Handle<Session> handle;
    {
        auto manager = std::make_unique<HandleManager>();
        Session session(*manager, 1);
        handle = Handle<Session>(session);
    }
    // The registry the handle shares is still there: resolution reports the end, it reads no
    // freed memory (the sanitizer build would see it).
    EXPECT_FALSE(handle.IsValid());
    EXPECT_THROW((void)handle.Get(), HandleError);
}

TEST(Handle, IsValidFromAnotherThreadWhileUsagesComeAndGo) {
    HandleManager manager;
    std::optional<Session> session;
    session.emplace(manager, 0);
    std::atomic<Usage::Id> latest{session->GetId()};
    Handle<Session> first(*session);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        int valid = 0;
        while (!done) {
            // The handle is copied per read: handles are shared between threads by value.
            Handle<Session> copy = first;
            valid += copy.IsValid() ? 1 : 0;
            valid += manager.IsLive(latest.load()) ? 1 : 0;
        }
        EXPECT_GE(valid, 0);
    });
    for (int i = 0; i < 2000; ++i) {
        session.emplace(manager, i);
        latest = session->GetId();
    }
    done = true;
    reader.join();
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(manager.Count(), 1U);
    session.reset();
}

} // namespace
} // namespace zel::sip::stack::test

// Two stacks on the loopback; one hands everything to a transaction user on that user's own event
// loop (its thread), which answers from there.

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <future>
#include <thread>

#include "StackTestSupport.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TransactionUserMessage::Kind;

/// A transaction user on its own io_context thread: answers every request 200 from that thread
/// and records what it got and on which thread.
class LoopUser final : public TransactionUserSink {
public:
    explicit LoopUser(SipStack& stack) : stack_(stack), guard_(io_.get_executor()), thread_([this] { io_.run(); }) {}
    ~LoopUser() override { StopLoop(); }

    boost::asio::any_io_executor Executor() { return io_.get_executor(); }
    void StopLoop() {
        guard_.reset();
        io_.stop();
        if (thread_.joinable())
            thread_.join();
    }

    void OnTransactionUserMessage(TransactionUserMessage message) override {
        onLoopThread = onLoopThread && std::this_thread::get_id() == thread_.get_id();
        if (message.kind == Kind::Request && message.message->Method() != "ACK")
            stack_.SendResponse(message.transaction, AnswerTo(*message.message, 200, "OK", "loop"));
        ++calls;
    }

    std::atomic<int> calls{0};
    std::atomic<bool> onLoopThread{true};

private:
    SipStack& stack_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::thread thread_;
};

std::optional<TransactionUserMessage> Next(SipStack& stack, TransactionId id, Kind kind) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline)
        if (auto entry = stack.Queue().Pop(milliseconds(20)); entry && entry->transaction == id && entry->kind == kind)
            return entry;
    return std::nullopt;
}

TEST(TransactionUser, EventsReachTheUsersOwnLoopWhichAnswersFromThere) {
    SipStack server(ShortTimers());
    LoopUser user(server);
    server.AttachTransactionUser(user.Executor(), user);
    EXPECT_THROW(server.AttachTransactionUser(user.Executor(), user), std::logic_error);
    const Tuple where = server.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);

    SipStack client(ShortTimers());
    client.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    for (int i = 0; i < 5; ++i) {
        const TransactionId id = client.SendRequest(Request("OPTIONS", where.port, "loop-" + std::to_string(i)), where);
        auto response = Next(client, id, Kind::Response);
        ASSERT_TRUE(response) << i;
        EXPECT_EQ(response->message->StatusCode(), 200);
        EXPECT_EQ(response->source.port, where.port); // the flow it came on
    }
    EXPECT_TRUE(user.onLoopThread);
    EXPECT_GE(user.calls.load(), 5);
    EXPECT_EQ(server.Queue().Size(), 0u); // nothing left for polling
    // The user's io_context dies before the stack: stop the stack first, or a late
    // retransmission would be posted into a loop being destroyed.
    server.Shutdown();
}

TEST(TransactionUser, TheUsersLoopMayEndFirstAndNothingIsCalledAfterShutdown) {
    SipStack client(ShortTimers());
    client.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    auto server = std::make_unique<SipStack>(ShortTimers());
    auto user = std::make_unique<LoopUser>(*server);
    server->AttachTransactionUser(user->Executor(), *user);
    const Tuple where = server->AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);

    // The user's loop stops and its thread is joined while the stack still receives.
    user->StopLoop();
    const TransactionId id = client.SendRequest(Request("OPTIONS", where.port, "after-loop"), where);
    ASSERT_TRUE(Next(client, id, Kind::Timeout)); // nobody answers now
    const int calls = user->calls.load();
    server->Shutdown();
    user.reset(); // the sink goes first; tasks left in its io_context went with it
    server.reset();
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace zel::sip::stack::test

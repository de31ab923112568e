// The stack facade: adding transports, sending through its event thread, timeouts reaching the
// queue, and shutdown from every kind of thread.

#include <gtest/gtest.h>

#include <boost/asio/ip/udp.hpp>

#include "StackTestSupport.h"

namespace zel::sip::stack::test {
namespace {

using Kind = TransactionUserMessage::Kind;

/// The events of `id` until its Terminated (or the limit).
std::vector<TransactionUserMessage> EventsUntilTerminated(TransactionUserQueue& queue, TransactionId id,
                                                          milliseconds limit = std::chrono::seconds(10)) {
    std::vector<TransactionUserMessage> events;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto entry = queue.Pop(milliseconds(20));
        if (entry && entry->transaction == id) {
            events.push_back(*entry);
            if (entry->kind == Kind::Terminated)
                break;
        }
    }
    return events;
}

TEST(SipStack, AddTransportReturnsTheBoundTupleOrRaisesAClearError) {
    SipStack stack;
    const Tuple udp = stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    EXPECT_EQ(udp.address.to_string(), "127.0.0.1");
    EXPECT_NE(udp.port, 0);
    EXPECT_EQ(udp.transport, TransportType::UDP);
    const Tuple tcp = stack.AddTransport(TransportType::TCP, IpVersion::V4, "", 0);
    EXPECT_TRUE(tcp.address.is_unspecified());

    try {
        stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", udp.port);
        ADD_FAILURE() << "bound the same port twice";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find(std::to_string(udp.port)), std::string::npos) << error.what();
    }
    EXPECT_THROW(stack.AddTransport(TransportType::UDP, IpVersion::V4, "not an address", 0), std::invalid_argument);
    EXPECT_THROW(stack.AddTransport(TransportType::UDP, IpVersion::V4, "::1", 0), std::invalid_argument);
    EXPECT_THROW(stack.AddTransport(TransportType::TLS, IpVersion::V4, "127.0.0.1", 0), std::invalid_argument);
}

// Timers F and B with T1 = 10 ms: a peer that never answers is reported within 64*T1.
TEST(SipStack, APeerThatNeverAnswersIsReportedAsATimeout) {
    SipStack stack(ShortTimers());
    stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    boost::asio::io_context io;
    boost::asio::ip::udp::socket silent(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    const Tuple target{silent.local_endpoint().address(), silent.local_endpoint().port(), TransportType::UDP, 0};

    for (const char* method : {"OPTIONS", "INVITE"}) {
        const auto started = std::chrono::steady_clock::now();
        const TransactionId id = stack.SendRequest(Request(method, target.port), target);
        const auto events = EventsUntilTerminated(stack.Queue(), id);
        ASSERT_EQ(events.size(), 2u) << method;
        EXPECT_EQ(events[0].kind, Kind::Timeout) << method;
        EXPECT_EQ(events[1].kind, Kind::Terminated) << method;
        EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(640)) << method;
    }
}

TEST(SipStack, ARequestToAUriIsLocatedThenSent) {
    SipStack stack(ShortTimers());
    stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    boost::asio::io_context io;
    boost::asio::ip::udp::socket peer(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    const std::uint16_t port = peer.local_endpoint().port();
    const TransactionId id = stack.SendRequest(
        Request("OPTIONS", port), Uri::Parse("sip:peer@127.0.0.1:" + std::to_string(port) + ";transport=udp"));
    std::array<char, 4096> buffer{};
    const std::size_t size = peer.receive(boost::asio::buffer(buffer)); // numeric host: no DNS question
    const SipMessage received = SipMessage::Parse(std::string(buffer.data(), size));
    peer.send_to(boost::asio::buffer(AnswerTo(received, 200, "OK", "peer").Encode()),
                 boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                received.Get<Via>(HeaderType::Via).Port()));
    const auto events = EventsUntilTerminated(stack.Queue(), id);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::Response);
    EXPECT_EQ(events[0].message->StatusCode(), 200);
}

/// Calls Shutdown from the event thread (the logging hook runs there) and records what happened.
class ShutdownFromLogger final : public MessageLoggingHandler {
public:
    void outboundMessage(const Tuple&, const Tuple&, std::string_view) override {
        try {
            stack->Shutdown();
            outcome = "returned";
        } catch (const std::logic_error&) {
            outcome = "refused";
        }
    }
    void inboundMessage(const Tuple&, const Tuple&, std::string_view) override {}

    SipStack* stack = nullptr;
    std::atomic<const char*> outcome{nullptr};
};

TEST(SipStack, ShutdownIsIdempotentRefusesTheEventThreadAndLeavesNoThread) {
    const std::size_t threadsBefore = ThreadCount();
    auto logger = std::make_shared<ShutdownFromLogger>();
    StackOptions options = ShortTimers();
    options.messageLogger = logger;
    auto stack = std::make_unique<SipStack>(options);
    logger->stack = stack.get();
    stack->AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    EXPECT_GT(ThreadCount(), threadsBefore);

    const Tuple nowhere{boost::asio::ip::make_address("127.0.0.1"), 9, TransportType::UDP, 0};
    stack->SendRequest(Request("OPTIONS", 9), nowhere);
    ASSERT_TRUE(WaitUntil([&] { return logger->outcome.load() != nullptr; }, std::chrono::seconds(10)));
    EXPECT_STREQ(logger->outcome.load(), "refused");

    // From another thread, twice at once, then again from this one.
    std::thread other([&] { stack->Shutdown(); });
    stack->Shutdown();
    other.join();
    stack->Shutdown();
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_TRUE(stack->Queue().IsClosed());
    EXPECT_THROW(stack->SendRequest(Request("OPTIONS", 9), nowhere), std::logic_error);
    EXPECT_THROW(stack->SendResponse(1, SipMessage::MakeResponse(200, "OK")), std::logic_error);
    EXPECT_THROW(stack->AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0), std::logic_error);
    stack.reset();
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

} // namespace
} // namespace zel::sip::stack::test

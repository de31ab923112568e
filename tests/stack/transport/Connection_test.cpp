// The stream connection's bookkeeping against a peer that pings, trickles and never reads: a
// connection over a scripted stream (no socket), whose writes never complete.

#include "stack/transport/detail/FramedConnection.h"

#include "TransportTestSupport.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <cstring>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

class RecordingOwner : public detail::ConnectionOwner {
public:
    virtual ~RecordingOwner() = default;
    void OnConnectionMessage(detail::Connection&, std::string_view message) override {
        messages.emplace_back(message);
    }
    void OnConnectionPong(detail::Connection&) override { ++pongs; }
    void OnConnectionWriting(detail::Connection&, const detail::OutboundMessage&) override {}
    void OnConnectionClosed(detail::Connection&, const std::error_code&, bool, std::deque<detail::OutboundMessage>) override {
        closed = true;
    }
    std::vector<std::string> messages;
    int pongs = 0;
    bool closed = false;
};

/// The peer's bytes are handed in by `Feed`; what we write is kept and completes only on `CompleteWrite`.
class ScriptedConnection final : public detail::FramedConnection {
public:
    ScriptedConnection(detail::ConnectionOwner& owner, const TransportLimits& limits, boost::asio::io_context& io)
        : FramedConnection(owner, TransportType::TCP, limits, false, {}), io_(io), socket_(io) {}

    /// The peer sends `bytes`; returns once the connection has read them all.
    void Feed(std::string_view bytes) {
        inbox_ += bytes;
        if (pendingWait_)
            std::exchange(pendingWait_, nullptr)({});
        io_.restart();
        io_.poll();
    }
    /// Lets the write under way finish; false when there is none.
    bool CompleteWrite() {
        if (!pendingWrite_)
            return false;
        std::exchange(pendingWrite_, nullptr)({});
        return true;
    }
    /// Closes, and drops the pending operations (each holds the connection) as a socket's close would.
    void Shutdown() {
        Close();
        pendingWait_ = nullptr;
        pendingWrite_ = nullptr;
    }
    std::vector<std::string> written;

protected:
    tcp::socket& Socket() override { return socket_; }
    void Handshake(Completion done) override { done({}); }
    std::size_t ReadAvailable(boost::asio::mutable_buffer buffer, boost::system::error_code& error) override {
        if (inbox_.empty()) {
            error = boost::asio::error::would_block;
            return 0;
        }
        const std::size_t size = std::min(buffer.size(), inbox_.size());
        std::memcpy(buffer.data(), inbox_.data(), size);
        inbox_.erase(0, size);
        return size;
    }
    void WaitReadable(Completion done) override { pendingWait_ = std::move(done); }
    void Write(std::string_view bytes, Completion done) override {
        written.emplace_back(bytes);
        pendingWrite_ = std::move(done);
    }

private:
    boost::asio::io_context& io_;
    tcp::socket socket_;
    std::string inbox_;
    Completion pendingWait_;
    Completion pendingWrite_;
};

struct ConnectionTest : ::testing::Test {
    std::shared_ptr<ScriptedConnection> Open(const TransportLimits& limits = {}) {
        auto connection = std::make_shared<ScriptedConnection>(owner, limits, io);
        connection->StartAccepted(tcp::endpoint(make_address("127.0.0.1"), 40000));
        return connection;
    }
    boost::asio::io_context io;
    RecordingOwner owner;
};

TEST_F(ConnectionTest, PingsWithoutReadingQueueOnePongAtATime) {
    auto connection = Open();
    std::string pings;
    for (int i = 0; i < 1000; ++i)
        pings += "\r\n\r\n";
    connection->Feed(pings);
    ASSERT_EQ(connection->written.size(), 1u) << "the first pong is being written";
    EXPECT_EQ(connection->written[0], "\r\n");
    EXPECT_EQ(connection->QueuedBytes(), 2 + detail::kQueueEntryOverhead) << "one pong pending, no backlog";

    // Once the peer reads it, its next ping is answered again.
    ASSERT_TRUE(connection->CompleteWrite());
    EXPECT_EQ(connection->QueuedBytes(), 0u);
    connection->Feed("\r\n\r\n");
    EXPECT_EQ(connection->written.size(), 2u);
    EXPECT_FALSE(owner.closed);
    connection->Shutdown();
}

TEST_F(ConnectionTest, EveryQueuedEntryCountsItsOverheadAgainstTheLimit) {
    TransportLimits limits;
    limits.maxPendingOutboundBytes = 1000;
    auto connection = Open(limits);
    std::size_t accepted = 0;
    for (int i = 0; i < 1000; ++i)
        accepted += connection->Send(detail::OutboundMessage{"x", false, false, false}) ? 1 : 0;
    EXPECT_EQ(accepted, 1000 / (1 + detail::kQueueEntryOverhead));
    EXPECT_LE(connection->QueuedBytes(), limits.maxPendingOutboundBytes);
    connection->Shutdown();
}

TEST_F(ConnectionTest, OnlyWholeMessagesAreActivityAndAStartedMessageIsTimed) {
    auto connection = Open();
    const auto opened = connection->LastActivity();
    EXPECT_FALSE(connection->MessageStarted());

    // A peer's pings, lone CRLFs and the first bytes of a message are not activity.
    const std::string request = test::MakeRequest("OPTIONS", "trickle");
    connection->Feed("\r\n\r\n\r\n\n");
    EXPECT_FALSE(connection->MessageStarted()) << "keep-alives start no message";
    connection->Feed(std::string_view(request).substr(0, 20));
    const auto started = connection->MessageStarted();
    ASSERT_TRUE(started);
    connection->Feed(std::string_view(request).substr(20, 20));
    EXPECT_EQ(connection->MessageStarted(), started) << "more bytes do not move the deadline";
    connection->CompleteWrite();
    EXPECT_EQ(connection->LastActivity(), opened);

    // The whole message is; its end stops the clock, and the next message's first bytes restart it.
    connection->Feed(request.substr(40) + request.substr(0, 5));
    ASSERT_EQ(owner.messages.size(), 1u);
    EXPECT_EQ(owner.messages[0], request);
    EXPECT_GE(connection->LastActivity(), *started);
    ASSERT_TRUE(connection->MessageStarted());
    EXPECT_GE(*connection->MessageStarted(), *started);
    connection->Feed(request.substr(5));
    EXPECT_EQ(owner.messages.size(), 2u);
    EXPECT_FALSE(connection->MessageStarted());
    connection->Shutdown();
}

} // namespace
} // namespace zel::sip::stack

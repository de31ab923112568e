#include "TransportTestSupport.h"

#include <boost/asio/ip/udp.hpp>

#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using test::RecordingLogger;
using test::HasIpv6Loopback;
using test::RecordingReceiver;
using test::RunUntil;

TransportOptions Options(const char* address, IpVersion version, RecordingReceiver& receiver) {
    auto options = test::Options(receiver, address);
    options.ipVersion = version;
    return options;
}

class UdpTransportTest : public ::testing::TestWithParam<const char*> {};

TEST_P(UdpTransportTest, TwoTransportsExchangeMessagesAndLogBothEnds) {
    const std::string loopback = GetParam();
    const auto version = make_address(loopback).is_v6() ? IpVersion::V6 : IpVersion::V4;
    if (version == IpVersion::V6 && !HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    boost::asio::io_context io;
    RecordingReceiver aReceiver, bReceiver;
    auto logger = std::make_shared<RecordingLogger>();
    auto a = MakeUdpTransport(io, test::Options(aReceiver, loopback, logger));
    auto b = MakeUdpTransport(io, Options(loopback.c_str(), version, bReceiver));
    ASSERT_NE(a->LocalTuple().port, 0);
    EXPECT_EQ(a->LocalTuple().address, make_address(loopback));
    EXPECT_EQ(a->Version(), version);

    const std::string request = test::MakeRequest("OPTIONS", "udp1");
    a->Send(b->LocalTuple(), request);
    ASSERT_TRUE(RunUntil(io, [&] { return bReceiver.received.size() == 1; }));
    EXPECT_EQ(bReceiver.received[0].message, request);
    EXPECT_EQ(bReceiver.received[0].source, a->LocalTuple());
    EXPECT_EQ(bReceiver.received[0].local, b->LocalTuple());

    // The answer goes back to the source of the request; the retransmission is logged as such.
    const std::string& response = test::kOk;
    b->Send(bReceiver.received[0].source, response);
    b->Send(bReceiver.received[0].source, response, SendOptions{.retransmission = true, .serverName = {}});
    ASSERT_TRUE(RunUntil(io, [&] { return aReceiver.received.size() == 2; }));
    EXPECT_EQ(aReceiver.received[0].message, response);

    ASSERT_EQ(logger->logged.size(), 3u);
    EXPECT_EQ(logger->logged[0].kind, test::LoggedMessage::Kind::Outbound);
    EXPECT_EQ(logger->logged[0].source, a->LocalTuple());
    EXPECT_EQ(logger->logged[0].destination, b->LocalTuple());
    EXPECT_EQ(logger->logged[0].wire, request);
    for (int i : {1, 2}) {
        EXPECT_EQ(logger->logged[i].kind, test::LoggedMessage::Kind::Inbound);
        EXPECT_EQ(logger->logged[i].source, b->LocalTuple());
        EXPECT_EQ(logger->logged[i].destination, a->LocalTuple());
        EXPECT_EQ(logger->logged[i].wire, response);
    }
    test::CloseAll(io, {a, b});
}

INSTANTIATE_TEST_SUITE_P(Loopback, UdpTransportTest, ::testing::Values("127.0.0.1", "::1"));

TEST(UdpTransport, DropsOversizedAndKeepAliveDatagramsAndKeepsReceiving) {
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto options = Options("127.0.0.1", IpVersion::V4, receiver);
    options.limits.maxMessageBytes = 1000;
    auto transport = MakeUdpTransport(io, options);

    udp::socket peer(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const udp::endpoint target(transport->LocalTuple().address, transport->LocalTuple().port);
    peer.send_to(boost::asio::buffer(std::string(1001, 'x')), target);
    peer.send_to(boost::asio::buffer(std::string("\r\n\r\n")), target);
    peer.send_to(boost::asio::buffer(std::string("\x01\x02 not SIP at all \xff")), target);
    peer.send_to(boost::asio::buffer(std::string(1000, 'y')), target);

    ASSERT_TRUE(RunUntil(io, [&] { return receiver.received.size() == 2; }));
    // Garbage is passed up as it came (the parser above refuses it); the size limit is exact.
    EXPECT_EQ(receiver.received[0].message, "\x01\x02 not SIP at all \xff");
    EXPECT_EQ(receiver.received[1].message.size(), 1000u);
    EXPECT_EQ(transport->Statistics().messagesDropped, 1u);
    test::CloseAll(io, {transport});
}

TEST(UdpTransport, RefusesWhatItCannotSend) {
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto options = Options("127.0.0.1", IpVersion::V4, receiver);
    options.limits.maxMessageBytes = 100;
    auto transport = MakeUdpTransport(io, options);
    const Tuple v6{make_address("::1"), 5060, TransportType::UDP};
    transport->Send(transport->LocalTuple(), std::string(101, 'x'));
    transport->Send(v6, "x");
    ASSERT_TRUE(RunUntil(io, [&] { return receiver.failures.size() == 2; }));
    EXPECT_EQ(receiver.failures[0].second, std::errc::message_size);
    EXPECT_EQ(receiver.failures[1].second, std::errc::address_family_not_supported);
    transport->Close();
    transport->Send(transport->LocalTuple(), "x");
    test::Drain(io);
    EXPECT_EQ(receiver.failures.size(), 2u) << "nothing reported after Close";
}

TEST(UdpTransport, BindFailuresNameTheAddress) {
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto first = MakeUdpTransport(io, Options("127.0.0.1", IpVersion::V4, receiver));
    auto taken = Options("127.0.0.1", IpVersion::V4, receiver);
    taken.port = first->LocalTuple().port;
    try {
        MakeUdpTransport(io, taken);
        FAIL() << "bound a port in use";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::address_in_use);
        EXPECT_NE(std::string(error.what()).find("127.0.0.1:" + std::to_string(taken.port)), std::string::npos)
            << error.what();
    }
    EXPECT_THROW(MakeUdpTransport(io, Options("localhost", IpVersion::V4, receiver)), std::invalid_argument);
    EXPECT_THROW(MakeUdpTransport(io, Options("::1", IpVersion::V4, receiver)), std::invalid_argument);
    EXPECT_THROW(MakeUdpTransport(io, Options("127.0.0.1", IpVersion::V6, receiver)), std::invalid_argument);
    test::CloseAll(io, {first});
}

TEST(UdpTransport, WildcardV6SocketTakesNoIpv4Traffic) {
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    boost::asio::io_context io;
    RecordingReceiver receiver;
    auto v6 = MakeUdpTransport(io, Options("", IpVersion::V6, receiver));
    EXPECT_TRUE(v6->LocalTuple().address.is_unspecified());
    // The same port is still free for IPv4 because the IPv6 socket is IPV6_V6ONLY.
    auto v4options = Options("", IpVersion::V4, receiver);
    v4options.port = v6->LocalTuple().port;
    auto v4 = MakeUdpTransport(io, v4options);
    EXPECT_EQ(v4->LocalTuple().port, v6->LocalTuple().port);
    test::CloseAll(io, {v6, v4});
}

} // namespace
} // namespace zel::sip::stack

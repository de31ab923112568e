// What Register puts on the wire, read by a plain UDP socket that plays the registrar and refuses
// every REGISTER: RFC 5626 outbound settings only with an outbound proxy, reg-ids 1, 2, ... in the
// order the registrations were made, also when host threads register at the same time.
#include "UserAgentTestSupport.h"
#include "support/Process.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zel::sip::test::LastError;
using zel::sip::test::LoopbackUdpSocket;

/// The header lines of `request` whose name is `name` (full form, as we send them).
std::vector<std::string> HeaderLines(const std::string& request, const std::string& name) {
    std::vector<std::string> lines;
    std::istringstream input(request);
    for (std::string line; std::getline(input, line) && line != "\r";) {
        if (line.rfind(name + ":", 0) == 0) {
            lines.push_back(line.substr(0, line.size() - (line.ends_with('\r') ? 1 : 0)));
        }
    }
    return lines;
}

std::string Header(const std::string& request, const std::string& name) {
    const auto lines = HeaderLines(request, name);
    return lines.empty() ? std::string() : lines.front();
}

/// A 403 for `request`, so that the registration ends at once.
std::string Refusal(const std::string& request) {
    std::string response = "SIP/2.0 403 Forbidden\r\n";
    for (const auto& via : HeaderLines(request, "Via")) {
        response += via + "\r\n";
    }
    response += Header(request, "From") + "\r\n" + Header(request, "To") + ";tag=refused\r\n" +
                Header(request, "Call-ID") + "\r\n" + Header(request, "CSeq") + "\r\nContent-Length: 0\r\n\r\n";
    return response;
}

/// Receives REGISTERs on `socket`, refuses each, and returns the first copy of each of `count`
/// registrations (by Call-ID); fewer when they do not come within the bound.
std::map<std::string, std::string> RefuseRegistrations(const LoopbackUdpSocket& socket, std::size_t count) {
    std::map<std::string, std::string> byCallId;
    for (int waits = 0; byCallId.size() < count && waits < 200; ++waits) {
        pollfd readable{socket.Fd(), POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) {
            continue;
        }
        std::string datagram(65536, '\0');
        sockaddr_in peer{};
        socklen_t peerLength = sizeof(peer);
        const ssize_t size = ::recvfrom(socket.Fd(), datagram.data(), datagram.size(), 0,
                                        reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (size <= 0) {
            continue;
        }
        datagram.resize(static_cast<std::size_t>(size));
        if (datagram.rfind("REGISTER ", 0) != 0) {
            continue;
        }
        const std::string response = Refusal(datagram);
        (void)::sendto(socket.Fd(), response.data(), response.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                       peerLength);
        byCallId.emplace(Header(datagram, "Call-ID"), datagram);
    }
    return byCallId;
}

TEST(UserAgentRegister, OutboundSettingsAndRegIdsOnlyWithAProxyAlsoFromOverlappingThreads) {
    LoopbackUdpSocket registrar;
    SIPUserAgent* userAgent = CreateSIPUserAgent(R"({"Address": "127.0.0.1", "UDPPort": 0, "TCPAllowed": false,
        "TLSAllowed": false, "DTLSAllowed": false, "UserAgent": "register test",
        "Capabilities": ["video", "+sip.app=\"chat\""]})");
    ASSERT_NE(userAgent, nullptr) << LastError();

    constexpr int kThreads = 4;
    constexpr int kOutboundPerThread = 3;
    const std::string proxy = "sip:" + registrar.Address();
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < kThreads; ++thread) {
        hosts.emplace_back([&, thread] {
            for (int i = 0; i < kOutboundPerThread; ++i) {
                const std::string aor = "<sip:user" + std::to_string(thread) + "-" + std::to_string(i) + "@" +
                                        registrar.Address() + ">";
                EXPECT_EQ(SIPUserAgentRegister(userAgent, aor.c_str(), nullptr, proxy.c_str(), nullptr, nullptr), 0);
                // Without a proxy no reg-id is used up.
                const std::string direct = "<sip:direct" + std::to_string(thread) + "-" + std::to_string(i) + "@" +
                                           registrar.Address() + ">";
                EXPECT_EQ(SIPUserAgentRegister(userAgent, direct.c_str(), nullptr, nullptr, nullptr, nullptr), 0);
                // A proxy that is no URI fails before anything is sent and uses up no number either.
                EXPECT_EQ(SIPUserAgentRegister(userAgent, aor.c_str(), nullptr, "no uri at all", nullptr, nullptr), -1);
            }
        });
    }
    for (auto& host : hosts) {
        host.join();
    }

    const auto registrations = RefuseRegistrations(registrar, 2 * kThreads * kOutboundPerThread);
    ASSERT_EQ(registrations.size(), 2u * kThreads * kOutboundPerThread);
    const std::regex regId("reg-id=([0-9]+)");
    const std::regex instance(R"re(\+sip\.instance="<urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}>")re");
    std::set<int> regIds;
    std::set<std::string> instances;
    for (const auto& [callId, request] : registrations) {
        const std::string contact = Header(request, "Contact");
        const bool outbound = Header(request, "From").find("<sip:user") != std::string::npos;
        EXPECT_EQ(Header(request, "User-Agent"), "User-Agent: Zelmor - register test");
        // RFC 3840 feature tags as configured, a value kept as written.
        EXPECT_NE(contact.find(";video"), std::string::npos) << contact;
        EXPECT_NE(contact.find(";+sip.app=\"chat\""), std::string::npos) << contact;
        std::smatch match;
        if (outbound) {
            ASSERT_TRUE(std::regex_search(contact, match, regId)) << contact;
            regIds.insert(std::stoi(match[1]));
            ASSERT_TRUE(std::regex_search(contact, match, instance)) << contact;
            instances.insert(match[0]);
            EXPECT_NE(Header(request, "Route").find(registrar.Address()), std::string::npos) << request;
            EXPECT_NE(Header(request, "Supported").find("outbound"), std::string::npos) << request;
        } else {
            EXPECT_FALSE(std::regex_search(contact, match, regId)) << contact;
            EXPECT_EQ(contact.find("+sip.instance"), std::string::npos) << contact;
            EXPECT_EQ(Header(request, "Route"), "") << request;
        }
    }
    // Every outbound registration got its own number, 1 to N with none skipped, and all share the
    // user agent's one instance id.
    std::set<int> expected;
    for (int n = 1; n <= kThreads * kOutboundPerThread; ++n) {
        expected.insert(n);
    }
    EXPECT_EQ(regIds, expected);
    EXPECT_EQ(instances.size(), 1u);

    DestroySIPUserAgent(userAgent);
}

} // namespace

// The last error as a host sees it through the C interface.
#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

namespace {

// A configuration whose Address is not an IP address cannot make a user agent.
constexpr const char* kFailingConfiguration = R"({"Address": "not an address", "UDPPort": 0})";

std::string LastError() {
    std::array<char, 1024> buffer{};
    buffer.fill('x');
    GetSIPLastErrorMessage(buffer.data(), buffer.size());
    return std::string(buffer.data());
}

TEST(LastError, ThreadThatNeverReportedReadsEmptyText) {
    std::string seen = "untouched";
    std::thread([&] {
        std::array<char, 8> buffer;
        buffer.fill('x');
        GetSIPLastErrorMessage(buffer.data(), buffer.size());
        seen = buffer[0] == '\0' ? "" : "not terminated";
    }).join();
    EXPECT_EQ(seen, "");
}

TEST(LastError, NullBufferOrZeroSizeIsIgnored) {
    GetSIPLastErrorMessage(nullptr, 16);
    char byte = 'x';
    GetSIPLastErrorMessage(&byte, 0);
    EXPECT_EQ(byte, 'x');
}

TEST(LastError, FailureSetsMessageAndSuccessClearsIt) {
    EXPECT_EQ(CreateSIPUserAgent(kFailingConfiguration), nullptr);
    EXPECT_FALSE(LastError().empty());
    DestroySIPUserAgent(nullptr);  // a reporting function that succeeds
    EXPECT_EQ(LastError(), "");
}

TEST(LastError, IsKeptPerThread) {
    std::string failedThreadReads;
    std::string succeededThreadReads = "not read";
    std::thread failing([&] {
        EXPECT_EQ(CreateSIPUserAgent(kFailingConfiguration), nullptr);
        failedThreadReads = LastError();
    });
    failing.join();
    std::thread succeeding([&] {
        DestroySIPUserAgent(nullptr);
        succeededThreadReads = LastError();
    });
    succeeding.join();
    EXPECT_FALSE(failedThreadReads.empty());
    EXPECT_EQ(succeededThreadReads, "");
}

TEST(LastError, ReadingIsRepeatableAndCutsToTheBuffer) {
    EXPECT_EQ(CreateSIPUserAgent(kFailingConfiguration), nullptr);
    const std::string full = LastError();
    ASSERT_GT(full.size(), 4u);
    EXPECT_EQ(LastError(), full);  // reading does not consume

    std::array<char, 5> small;
    small.fill('x');
    GetSIPLastErrorMessage(small.data(), small.size());
    EXPECT_EQ(std::string(small.data()), full.substr(0, 4));
    EXPECT_EQ(small[4], '\0');

    char single = 'x';
    GetSIPLastErrorMessage(&single, 1);
    EXPECT_EQ(single, '\0');
}

} // namespace

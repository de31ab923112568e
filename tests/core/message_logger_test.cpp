// The SIP message trace: record bytes, archive names and rotation, and the failure paths that must
// lose neither messages nor archives.
#include "core/MessageLogger.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <sstream>

namespace zel::sip {
namespace {

namespace fs = std::filesystem;
using stack::TransportType;
using stack::Tuple;

Tuple Endpoint(const char* address, std::uint16_t port, TransportType transport = TransportType::UDP) {
    return Tuple{boost::asio::ip::make_address(address), port, transport};
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Gunzip(const fs::path& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    EXPECT_NE(file, nullptr);
    std::string text;
    std::vector<char> chunk(1 << 16);
    int read = 0;
    while ((read = gzread(file, chunk.data(), static_cast<unsigned>(chunk.size()))) > 0)
        text.append(chunk.data(), static_cast<std::size_t>(read));
    gzclose(file);
    return text;
}

class MessageLoggerFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        directory_ = fs::temp_directory_path() / ("zel-trace-" + std::to_string(seed()));
        fs::create_directories(directory_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(directory_, fs::perms::owner_all, ignored);
        fs::remove_all(directory_, ignored);
    }

    // Logs one sent message and runs the posted write.
    void LogOne(const fs::path& trace, std::string_view wire = "OPTIONS sip:a@b SIP/2.0\r\n\r\n") {
        boost::asio::io_context context;
        MessageLogger logger(context, trace.string());
        logger.outboundMessage(Endpoint("192.0.2.10", 5060), Endpoint("198.51.100.7", 5060), wire);
        context.run();
    }

    // Makes the trace file exactly as large as the rotation threshold.
    static void FillToThreshold(const fs::path& trace) {
        { std::ofstream touch(trace, std::ios::binary | std::ios::app); }
        fs::resize_file(trace, MessageLogger::kRotationSize);
    }

    fs::path directory_;
};

TEST(MessageLoggerFormat, RecordHeaderPutsTheLocalSideLeft) {
    using namespace std::chrono;
    // 2026-12-05 13:42:22.5 UTC
    const sys_time<microseconds> stamp = sys_days{year{2026} / December / 5} + hours{13} + minutes{42} +
                                         seconds{22} + microseconds{500000};
    EXPECT_EQ(MessageLogger::FormatRecordHeader(stamp, "----->", Endpoint("192.0.2.10", 5060),
                                                Endpoint("198.51.100.7", 5060)),
              "2026-Dec-05 13:42:22.500000Z\r\n192.0.2.10:5060 UDP -----> 198.51.100.7:5060 UDP\r\n");

    const sys_time<microseconds> whole = sys_days{year{2027} / January / 9} + hours{1} + minutes{2} + seconds{3};
    EXPECT_EQ(MessageLogger::FormatRecordHeader(whole, "<-----", Endpoint("::1", 5061, TransportType::TLS),
                                                Endpoint("2001:db8::7", 40000, TransportType::TLS)),
              "2027-Jan-09 01:02:03Z\r\n[::1]:5061 TLS <----- [2001:db8::7]:40000 TLS\r\n");
}

TEST(MessageLoggerFormat, ArchiveNamesKeepTheLastExtension) {
    EXPECT_EQ(MessageLogger::ArchivePath("trace.log", 0), fs::path("trace.0.log.gz"));
    EXPECT_EQ(MessageLogger::ArchivePath("/var/log/trace.sip.log", 9), fs::path("/var/log/trace.sip.9.log.gz"));
    EXPECT_EQ(MessageLogger::ArchivePath("logs/trace", 3), fs::path("logs/trace.3.gz"));
}

TEST_F(MessageLoggerFiles, ReceivedMessageIsRecordedWithLocalEndpointFirst) {
    const auto trace = directory_ / "trace.log";
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string());
    const std::string wire = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    logger.inboundMessage(Endpoint("2001:db8::7", 5060), Endpoint("2001:db8::1", 5080), wire);
    logger.outboundRetransmit(Endpoint("2001:db8::1", 5080), Endpoint("2001:db8::7", 5060), wire);
    EXPECT_FALSE(fs::exists(trace)) << "the transport thread must not touch the file";
    context.run();

    const std::string text = ReadFile(trace);
    const auto firstLineEnd = text.find("\r\n");
    ASSERT_NE(firstLineEnd, std::string::npos);
    EXPECT_EQ(text.substr(firstLineEnd + 2),
              "[2001:db8::1]:5080 UDP <----- [2001:db8::7]:5060 UDP\r\n" + wire + "\r\n")
        << "one record only: retransmissions are not recorded";
}

TEST_F(MessageLoggerFiles, RecordsAreAppendedInPostingOrder) {
    const auto trace = directory_ / "trace.log";
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string());
    for (int i = 0; i < 20; ++i)
        logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "M" + std::to_string(i));
    context.run();
    const std::string text = ReadFile(trace);
    std::size_t position = 0;
    for (int i = 0; i < 20; ++i) {
        const auto found = text.find("\r\nM" + std::to_string(i) + "\r\n", position);
        ASSERT_NE(found, std::string::npos) << i;
        position = found;
    }
}

TEST_F(MessageLoggerFiles, UnwritableDirectoryLosesTheRecordQuietly) {
    const auto trace = directory_ / "missing" / "trace.log";
    EXPECT_NO_THROW(LogOne(trace));
    EXPECT_FALSE(fs::exists(trace));
}

TEST_F(MessageLoggerFiles, RotationCompressesTheWholeTraceAndStartsAFreshFile) {
    const auto trace = directory_ / "trace.log";
    FillToThreshold(trace);
    std::ofstream(directory_ / "trace.old.log") << "stale";
    LogOne(trace, "INVITE");

    EXPECT_FALSE(fs::exists(trace));
    EXPECT_FALSE(fs::exists(directory_ / "trace.old.log"));
    const std::string archived = Gunzip(directory_ / "trace.0.log.gz");
    EXPECT_GT(archived.size(), MessageLogger::kRotationSize);
    EXPECT_EQ(archived.substr(archived.size() - 8), "INVITE\r\n");

    LogOne(trace, "BYE");
    EXPECT_TRUE(fs::exists(trace)) << "the next record starts a new trace file";
}

TEST_F(MessageLoggerFiles, ElevenRotationsKeepTheTenNewestArchives) {
    const auto trace = directory_ / "trace";
    for (int rotation = 0; rotation < 11; ++rotation) {
        FillToThreshold(trace);
        LogOne(trace, "rotation " + std::to_string(rotation));
    }
    for (int n = 0; n < MessageLogger::kArchiveCount; ++n) {
        const auto archive = directory_ / ("trace." + std::to_string(n) + ".gz");
        ASSERT_TRUE(fs::exists(archive)) << archive;
        const std::string text = Gunzip(archive);
        EXPECT_NE(text.find("rotation " + std::to_string(10 - n) + "\r\n"), std::string::npos) << archive;
    }
    EXPECT_FALSE(fs::exists(directory_ / "trace.10.gz"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory_))
        ++entries;
    EXPECT_EQ(entries, 10u);
}

TEST_F(MessageLoggerFiles, FailedCompressionKeepsTheTraceFileAndEveryArchive) {
    const auto trace = directory_ / "trace.log";
    std::ofstream(directory_ / "trace.0.log.gz") << "archive zero";
    std::ofstream(directory_ / "trace.9.log.gz") << "archive nine";
    // A directory where the new archive would be written makes the compression fail.
    fs::create_directories(directory_ / "trace.0.log.gz.partial" / "blocker");
    FillToThreshold(trace);
    for (int attempt = 0; attempt < 12; ++attempt)
        LogOne(trace, "kept " + std::to_string(attempt));

    EXPECT_GT(fs::file_size(trace), MessageLogger::kRotationSize);
    EXPECT_NE(ReadFile(trace).find("kept 11\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(directory_ / "trace.0.log.gz"), "archive zero");
    EXPECT_EQ(ReadFile(directory_ / "trace.9.log.gz"), "archive nine");
}

} // namespace
} // namespace zel::sip

// The SIP message trace: record bytes, archive names and rotation, and the failure paths that must
// lose neither messages nor archives.
#include "core/MessageLogger.h"

#include "stack/base/Log.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
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

    // Sends the stack log to a file of the test directory; the returned function reads it.
    fs::path CaptureStackLog() {
        const auto log = directory_ / "stack.log";
        stack::log::Settings settings;
        settings.type = stack::log::Type::File;
        settings.level = stack::log::Level::Warning;
        settings.filePath = log.string();
        stack::log::Initialize(settings);
        return log;
    }
    static std::string StackLog(const fs::path& log) {
        stack::log::Logger()->flush();
        return ReadFile(log);
    }

    static std::size_t Count(const std::string& text, std::string_view part) {
        std::size_t count = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    static void Archive(const fs::path& path, const std::string& text) {
        gzFile file = gzopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(gzwrite(file, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
        ASSERT_EQ(gzclose(file), Z_OK);
    }

    fs::path directory_;
};

class MessageLoggerFailures : public MessageLoggerFiles {
protected:
    void TearDown() override {
        stack::log::Settings quiet;
        quiet.type = stack::log::Type::Cerr;
        stack::log::Initialize(quiet);
        MessageLoggerFiles::TearDown();
    }
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

TEST_F(MessageLoggerFiles, FullBacklogDropsRecordsAndTheTraceSaysHowMany) {
    const auto trace = directory_ / "trace.log";
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string(), {.backlogBytes = 400, .backlogRecords = 3});
    const auto local = Endpoint("127.0.0.1", 5060);
    const auto remote = Endpoint("127.0.0.2", 5060);
    for (int i = 0; i < 10; ++i)
        logger.outboundMessage(local, remote, "M" + std::to_string(i));
    context.run();
    EXPECT_EQ(logger.Lost().dropped, 7u);

    // A record larger than the byte bound never fits; a smaller one behind it still does.
    context.restart();
    logger.outboundMessage(local, remote, std::string(400, 'x'));
    logger.outboundMessage(local, remote, "M10");
    context.run();
    EXPECT_EQ(logger.Lost().dropped, 8u);
    EXPECT_EQ(logger.Lost().lost, 0u);

    const std::string text = ReadFile(trace);
    const auto m2 = text.find("\r\nM2\r\n");
    const auto notice = text.find("*** 7 messages dropped: the trace backlog was full ***\r\n\r\n");
    const auto m10 = text.find("\r\nM10\r\n");
    const auto single = text.find("*** 1 message dropped: the trace backlog was full ***\r\n\r\n");
    ASSERT_NE(m2, std::string::npos);
    ASSERT_NE(notice, std::string::npos);
    ASSERT_NE(m10, std::string::npos);
    ASSERT_NE(single, std::string::npos);
    EXPECT_LT(m2, notice);
    EXPECT_LT(notice, m10);
    EXPECT_LT(m10, single);
    EXPECT_EQ(text.find("\r\nM3\r\n"), std::string::npos);
    EXPECT_EQ(text.find("xxx"), std::string::npos);
}

TEST_F(MessageLoggerFailures, WriteErrorsAreCountedAndReportedOncePerEpisode) {
    const auto log = CaptureStackLog();
    boost::asio::io_context context;
    MessageLogger logger(context, "/dev/full");
    for (int i = 0; i < 3; ++i)
        logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "lost");
    context.run();
    EXPECT_EQ(logger.Lost().lost, 3u);
    EXPECT_EQ(Count(StackLog(log), "/dev/full: cannot write"), 1u);
}

TEST_F(MessageLoggerFailures, RecordsLostWhileTheFileCannotBeOpenedAreNotedWhenWritingResumes) {
    const auto log = CaptureStackLog();
    const auto trace = directory_ / "later" / "trace.log";
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string());
    const auto local = Endpoint("127.0.0.1", 5060);
    const auto remote = Endpoint("127.0.0.2", 5060);
    logger.outboundMessage(local, remote, "first");
    logger.outboundMessage(local, remote, "second");
    context.run();
    EXPECT_EQ(logger.Lost().lost, 2u);

    fs::create_directories(trace.parent_path());
    context.restart();
    logger.outboundMessage(local, remote, "third");
    context.run();
    EXPECT_EQ(logger.Lost().lost, 2u);

    const std::string text = ReadFile(trace);
    const auto notice = text.find("*** 2 messages lost: the trace file could not be written ***\r\n\r\n");
    ASSERT_NE(notice, std::string::npos);
    EXPECT_LT(notice, text.find("\r\nthird\r\n"));
    EXPECT_EQ(text.find("first"), std::string::npos);
    const std::string stackLog = StackLog(log);
    EXPECT_EQ(Count(stackLog, "cannot open"), 1u);
    EXPECT_EQ(Count(stackLog, "writing again"), 1u);
}

TEST_F(MessageLoggerFailures, ARecordWrittenOnlyInPartIsCutOff) {
    // A file size limit makes write() stop part way, as a full disk does.
    stack::log::Settings none;
    none.type = stack::log::Type::None;
    stack::log::Initialize(none);
    const auto trace = directory_ / "trace.log";
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string());
    const auto local = Endpoint("127.0.0.1", 5060);
    const auto remote = Endpoint("127.0.0.2", 5060);
    logger.outboundMessage(local, remote, "whole");
    context.run();
    const std::string before = ReadFile(trace);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = before.size() + 100;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    context.restart();
    logger.outboundMessage(local, remote, std::string(1000, 'p'));
    context.run();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(logger.Lost().lost, 1u);
    context.restart();
    logger.outboundMessage(local, remote, "after");
    context.run();
    const std::string text = ReadFile(trace);
    EXPECT_EQ(text.substr(0, before.size()), before);
    EXPECT_EQ(text.find(std::string(10, 'p')), std::string::npos) << "no part of the failed record stays";
    EXPECT_NE(text.find("*** 1 message lost: the trace file could not be written ***\r\n\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 9), "\r\nafter\r\n");
}

TEST_F(MessageLoggerFiles, TraceAndArchivesAreReadableByTheOwnerOnly) {
    const auto trace = directory_ / "trace.log";
    const auto existing = directory_ / "existing.log";
    { std::ofstream touch(existing); }
    fs::permissions(existing, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::others_read);
    const mode_t saved = ::umask(0);
    LogOne(existing);
    FillToThreshold(trace);
    LogOne(trace);
    LogOne(trace);
    ::umask(saved);

    const auto mode = [](const fs::path& path) {
        struct stat status {};
        EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
        return status.st_mode & 0777;
    };
    EXPECT_EQ(mode(existing), 0600u);
    EXPECT_EQ(mode(directory_ / "trace.0.log.gz"), 0600u);
    EXPECT_EQ(mode(trace), 0600u);
}

TEST_F(MessageLoggerFiles, TheTraceFileStaysOpenBetweenRecords) {
    const auto trace = directory_ / "trace.log";
    const auto moved = directory_ / "moved.log";
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string());
    logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "one");
    context.run();
    fs::rename(trace, moved);
    context.restart();
    logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "two");
    context.run();
    EXPECT_FALSE(fs::exists(trace));
    EXPECT_NE(ReadFile(moved).find("\r\ntwo\r\n"), std::string::npos);
}

TEST_F(MessageLoggerFiles, RecordsKeepFlowingWhileAnArchiveIsCompressed) {
    const auto trace = directory_ / "trace.log";
    FillToThreshold(trace);
    boost::asio::io_context context;
    MessageLogger logger(context, trace.string());
    logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "rotates");
    ASSERT_EQ(context.run_one(), 1u);
    EXPECT_FALSE(fs::exists(directory_ / "trace.0.log.gz")) << "compression must not run in one go";
    logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "meanwhile");
    context.run();

    const std::string archived = Gunzip(directory_ / "trace.0.log.gz");
    EXPECT_GT(archived.size(), MessageLogger::kRotationSize);
    EXPECT_EQ(archived.substr(archived.size() - 9), "rotates\r\n");
    EXPECT_EQ(archived.find("meanwhile"), std::string::npos);
    const std::string rest = ReadFile(trace);
    EXPECT_EQ(rest.substr(rest.size() - 11), "meanwhile\r\n");
    EXPECT_EQ(rest.find("rotates"), std::string::npos);
    EXPECT_FALSE(fs::exists(directory_ / "trace.0.log.gz.partial"));
    EXPECT_FALSE(fs::exists(directory_ / "trace.log.rest"));

    // The rest file became the trace and stays the open file.
    context.restart();
    logger.outboundMessage(Endpoint("127.0.0.1", 5060), Endpoint("127.0.0.2", 5060), "next");
    context.run();
    EXPECT_EQ(ReadFile(trace).substr(0, rest.size()), rest);
    EXPECT_NE(ReadFile(trace).find("\r\nnext\r\n"), std::string::npos);
}

TEST_F(MessageLoggerFiles, ShiftFillsAGapInsteadOfRetiringTheOldestArchive) {
    const auto trace = directory_ / "trace";
    for (int n = 0; n < MessageLogger::kArchiveCount; ++n)
        if (n != 3)
            Archive(directory_ / ("trace." + std::to_string(n) + ".gz"), "archive " + std::to_string(n));
    FillToThreshold(trace);
    LogOne(trace, "new");

    EXPECT_NE(Gunzip(directory_ / "trace.0.gz").find("new\r\n"), std::string::npos);
    EXPECT_EQ(Gunzip(directory_ / "trace.1.gz"), "archive 0");
    EXPECT_EQ(Gunzip(directory_ / "trace.2.gz"), "archive 1");
    EXPECT_EQ(Gunzip(directory_ / "trace.3.gz"), "archive 2");
    for (int n = 4; n < MessageLogger::kArchiveCount; ++n)
        EXPECT_EQ(Gunzip(directory_ / ("trace." + std::to_string(n) + ".gz")), "archive " + std::to_string(n));
}

TEST_F(MessageLoggerFailures, AShiftThatFailsLosesNothingAndTheNextRotationCompletes) {
    const auto trace = directory_ / "trace";
    for (int n = 0; n + 1 < MessageLogger::kArchiveCount; ++n)
        Archive(directory_ / ("trace." + std::to_string(n) + ".gz"), "archive " + std::to_string(n));
    // The oldest slot holds a directory that cannot be removed, so retiring it fails.
    fs::create_directories(directory_ / "trace.9.gz" / "blocker");
    FillToThreshold(trace);
    const auto log = CaptureStackLog();
    LogOne(trace, "first");

    EXPECT_NE(StackLog(log).find("cannot shift the archives"), std::string::npos);
    EXPECT_GT(fs::file_size(trace), MessageLogger::kRotationSize) << "the trace file stays whole";
    for (int n = 0; n + 1 < MessageLogger::kArchiveCount; ++n)
        EXPECT_EQ(Gunzip(directory_ / ("trace." + std::to_string(n) + ".gz")), "archive " + std::to_string(n));
    EXPECT_TRUE(fs::exists(directory_ / "trace.0.gz.partial"));

    fs::remove_all(directory_ / "trace.9.gz");
    LogOne(trace, "second");
    const std::string newest = Gunzip(directory_ / "trace.0.gz");
    EXPECT_NE(newest.find("\r\nfirst\r\n"), std::string::npos);
    EXPECT_NE(newest.find("\r\nsecond\r\n"), std::string::npos);
    for (int n = 0; n + 1 < MessageLogger::kArchiveCount; ++n)
        EXPECT_EQ(Gunzip(directory_ / ("trace." + std::to_string(n + 1) + ".gz")), "archive " + std::to_string(n));
    EXPECT_FALSE(fs::exists(directory_ / "trace.0.gz.partial"));
    EXPECT_FALSE(fs::exists(trace));
}

} // namespace
} // namespace zel::sip

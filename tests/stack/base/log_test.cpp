// The stack's log facility: the texts it accepts, and a capped file log.
#include "stack/base/Log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace zel::sip::stack::log {
namespace {

namespace fs = std::filesystem;

TEST(Log, TextsAreReadWithoutRegardToCase) {
    EXPECT_EQ(ParseType("COUT"), Type::Cout);
    EXPECT_EQ(ParseType("syslog"), Type::Syslog);
    EXPECT_EQ(ParseLevel("WARNING"), Level::Warning);
    EXPECT_EQ(ParseLevel("stack"), Level::Stack);
    EXPECT_EQ(ParseSyslogFacility("LOG_DAEMON"), LOG_DAEMON);
    EXPECT_EQ(ParseSyslogFacility("log_local7"), LOG_LOCAL7);
}

TEST(Log, UnknownTextsNameTheTextAndTheChoices) {
    try {
        ParseLevel("VERBOSE");
        FAIL() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()),
                  "unknown log level 'VERBOSE' (expected one of NONE, CRIT, ERR, WARNING, INFO, DEBUG, STACK)");
    }
    EXPECT_THROW(ParseType(""), std::invalid_argument);
    EXPECT_THROW(ParseSyslogFacility("DAEMON"), std::invalid_argument);
    EXPECT_THROW(Initialize("FILE", "INFO", "app", "", "LOG_DAEMON", 0, false), std::invalid_argument);
}

class FileLog : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        directory_ = fs::temp_directory_path() / ("zel-log-" + std::to_string(seed()));
        fs::create_directories(directory_);
    }
    void TearDown() override {
        Initialize(Settings{});  // back to the quiet default for the other tests
        fs::remove_all(directory_);
    }
    fs::path directory_;
};

TEST_F(FileLog, WritesEnabledLevelsOnlyAndRollsOverAtTheCap) {
    const auto path = directory_ / "stack.log";
    Initialize("FILE", "INFO", "Zelmor.SIP", path.string(), "LOG_DAEMON", 4096, false);
    EXPECT_TRUE(Enabled(Level::Info));
    EXPECT_FALSE(Enabled(Level::Debug));
    ZEL_LOG(Debug, "hidden {}", 1);
    for (int i = 0; i < 200; ++i)
        ZEL_LOG(Info, "line {} of the stack log", i);
    Logger()->flush();

    EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(fs::exists(directory_ / "stack.1.log"));
    EXPECT_FALSE(fs::exists(directory_ / "stack.2.log")) << "only one rolled-over file without keep-all";
    EXPECT_LE(fs::file_size(path), 4096u);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("line 199 of the stack log"), std::string::npos);
    EXPECT_EQ(text.str().find("hidden"), std::string::npos);
}

TEST_F(FileLog, KeepAllFilesKeepsEveryRolledOverFile) {
    const auto path = directory_ / "stack.log";
    Initialize("FILE", "INFO", "Zelmor.SIP", path.string(), "LOG_DAEMON", 1024, true);
    for (int i = 0; i < 200; ++i)
        ZEL_LOG(Info, "line {} of the stack log", i);
    Logger()->flush();
    EXPECT_TRUE(fs::exists(directory_ / "stack.3.log"));
}

} // namespace
} // namespace zel::sip::stack::log

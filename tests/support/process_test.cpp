// The child-process helper every peer test relies on: what a test sees when the program it drives
// has quit on its own.
#include "support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

// Writing to a child that has quit reaches a pipe with no reader: that is an error the test can
// report, not a SIGPIPE that ends the whole test executable. Afterwards the signal is neither
// pending nor blocked, and writing to a live child still works.
TEST(ChildProcess, WritingToAChildThatQuitRaises) {
    TempDir dir;
    ChildProcess quitter({"true"}, dir.File("true.out"), {.stdinPipe = true});
    ASSERT_EQ(quitter.WaitForExit(10s), 0);
    EXPECT_THROW(quitter.Write("anyone there?\n"), std::runtime_error);
    EXPECT_THROW(quitter.Write("still nobody\n"), std::runtime_error);

    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    sigset_t blocked;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
    EXPECT_FALSE(sigismember(&blocked, SIGPIPE));

    ChildProcess echo({"cat"}, dir.File("cat.out"), {.stdinPipe = true});
    echo.Write("hello\n");
    EXPECT_TRUE(WaitUntil([&] { return echo.Printed({"hello"}); }, 10s));
}

} // namespace
} // namespace zel::sip::test

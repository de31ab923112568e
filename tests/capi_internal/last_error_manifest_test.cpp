// The last error store itself: copy rules and the per-thread entries' lifetime.
#include "capi/LastError.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace zel::sip {
namespace {

TEST(LastErrorManifest, CopiesAtMostSizeMinusOneBytesAndZeroFills) {
    LastErrorManifest manifest;
    manifest.SetLastErrorMessage(std::string(100, 'a'));
    std::array<char, 16> buffer;
    buffer.fill('x');
    manifest.GetLastErrorMessage(buffer.data(), buffer.size());
    EXPECT_EQ(std::string(buffer.data()), std::string(15, 'a'));

    manifest.SetLastErrorMessage("abc");
    buffer.fill('x');
    manifest.GetLastErrorMessage(buffer.data(), buffer.size());
    EXPECT_EQ(std::string(buffer.data()), "abc");
    for (std::size_t i = 3; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], '\0') << "byte " << i;
}

TEST(LastErrorManifest, EntryOfAnEndedThreadIsDropped) {
    auto& manifest = GetLastErrorManifest();
    const auto before = manifest.Size();
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; ++i)
        threads.emplace_back([&manifest, i] { manifest.SetLastErrorMessage("thread " + std::to_string(i)); });
    for (auto& thread : threads)
        thread.join();
    // Every thread left its entry behind only while it ran.
    EXPECT_EQ(manifest.Size(), before);
}

TEST(LastErrorManifest, ThreadsDoNotSeeEachOthersMessages) {
    auto& manifest = GetLastErrorManifest();
    manifest.SetLastErrorMessage("main thread");
    std::string other;
    std::thread([&] {
        std::array<char, 32> buffer;
        buffer.fill('x');
        GetLastErrorManifest().GetLastErrorMessage(buffer.data(), buffer.size());
        other = buffer.data();
    }).join();
    EXPECT_EQ(other, "");
    std::array<char, 32> mine{};
    manifest.GetLastErrorMessage(mine.data(), mine.size());
    EXPECT_EQ(std::string(mine.data()), "main thread");
}

} // namespace
} // namespace zel::sip

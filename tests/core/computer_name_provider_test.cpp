#include "core/ComputerNameProvider.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

namespace {

TEST(ComputerNameProvider, ReturnsTheSystemHostName) {
    utsname system{};
    ASSERT_EQ(::uname(&system), 0);
    const zel::sip::ComputerNameProvider provider;
    const zel::sip::IComputerNameProvider& service = provider;
    const auto name = service.GetFQDN();
    EXPECT_EQ(name, system.nodename);
    EXPECT_EQ(name.find('\0'), std::string::npos);
}

} // namespace

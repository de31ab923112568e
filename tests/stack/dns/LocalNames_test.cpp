#include "stack/dns/LocalNames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace zel::sip::stack {
namespace {

const std::string kData = ZEL_TEST_DATA_DIR "/dns/";

TEST(LocalNames, DomainFromTheHostNameOrTheSearchList) {
    EXPECT_EQ(LocalDomainName("box.site.example", kData + "resolv-search.conf"), "site.example");
    EXPECT_EQ(LocalDomainName("box", kData + "resolv-search.conf"), "corp.example.test");
    // A trailing dot is no domain.
    EXPECT_EQ(LocalDomainName("box.", kData + "resolv-search.conf"), "corp.example.test");
}

TEST(LocalNames, NoDomainAtAllRaises) {
    // c-ares falls back to the machine's own host name when the file has no search list, so this
    // only holds on a machine whose host name has no dot and without $LOCALDOMAIN.
    const std::string host = LocalHostName();
    if (host.find('.') != std::string::npos || std::getenv("LOCALDOMAIN"))
        GTEST_SKIP() << "the machine's own name gives a domain";
    EXPECT_THROW(LocalDomainName("box", kData + "resolv-nosearch.conf"), LocalNameError);
}

} // namespace
} // namespace zel::sip::stack

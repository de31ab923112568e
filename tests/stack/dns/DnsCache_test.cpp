#include "stack/dns/Blacklist.h"
#include "stack/dns/DnsCache.h"
#include "stack/dns/DnsError.h"

#include <ares.h>
#include <gtest/gtest.h>

namespace zel::sip::stack {
namespace {

using namespace std::chrono_literals;

RecordSet Addresses(const char* address) {
    RecordSet set;
    set.addresses.push_back(boost::asio::ip::make_address(address));
    return set;
}

TEST(DnsCache, KeepsAnswersUntilTheirTtlRunsOut) {
    DnsCache cache(8);
    const auto t0 = DnsCache::Clock::time_point{} + 1h;
    cache.Store(RecordType::A, "Host.Example.", Addresses("192.0.2.1"), 60s, t0);
    ASSERT_NE(cache.Find(RecordType::A, "host.example", t0 + 59s), nullptr);
    EXPECT_EQ(cache.Find(RecordType::A, "host.example", t0 + 59s)->addresses.front().to_string(), "192.0.2.1");
    EXPECT_EQ(cache.Find(RecordType::AAAA, "host.example", t0), nullptr);
    EXPECT_EQ(cache.Find(RecordType::A, "host.example", t0 + 60s), nullptr);

    RecordSet negative;
    negative.error = DnsError::NotFound;
    cache.Store(RecordType::SRV, "_sip._udp.missing", negative, 30s, t0);
    ASSERT_NE(cache.Find(RecordType::SRV, "_sip._udp.missing", t0), nullptr);
    EXPECT_EQ(cache.Find(RecordType::SRV, "_sip._udp.missing", t0)->error, make_error_code(DnsError::NotFound));

    cache.Store(RecordType::A, "zero.example", Addresses("192.0.2.9"), 0s, t0);
    EXPECT_EQ(cache.Find(RecordType::A, "zero.example", t0), nullptr);

    // A newer answer replaces the old one.
    cache.Store(RecordType::A, "host.example", Addresses("192.0.2.2"), 10s, t0 + 1s);
    EXPECT_EQ(cache.Find(RecordType::A, "host.example", t0 + 2s)->addresses.front().to_string(), "192.0.2.2");
    EXPECT_EQ(cache.Find(RecordType::A, "host.example", t0 + 12s), nullptr);
}

TEST(DnsCache, StaysWithinItsCapacity) {
    DnsCache cache(3);
    const auto t0 = DnsCache::Clock::time_point{} + 1h;
    cache.Store(RecordType::A, "a", Addresses("192.0.2.1"), 100s, t0);
    cache.Store(RecordType::A, "b", Addresses("192.0.2.2"), 10s, t0);
    cache.Store(RecordType::A, "c", Addresses("192.0.2.3"), 200s, t0);
    cache.Store(RecordType::A, "d", Addresses("192.0.2.4"), 50s, t0);
    EXPECT_EQ(cache.Size(), 3u);
    EXPECT_EQ(cache.Find(RecordType::A, "b", t0), nullptr); // closest to expiry went first
    EXPECT_NE(cache.Find(RecordType::A, "a", t0), nullptr);
    // Expired entries make room before live ones are dropped.
    cache.Store(RecordType::A, "e", Addresses("192.0.2.5"), 100s, t0 + 60s);
    EXPECT_EQ(cache.Find(RecordType::A, "d", t0), nullptr);
    EXPECT_NE(cache.Find(RecordType::A, "a", t0 + 60s), nullptr);
    EXPECT_NE(cache.Find(RecordType::A, "c", t0 + 60s), nullptr);

    DnsCache disabled(0);
    disabled.Store(RecordType::A, "a", Addresses("192.0.2.1"), 100s, t0);
    EXPECT_EQ(disabled.Size(), 0u);
}

TEST(Blacklist, ExpiresAndStaysBounded) {
    Blacklist blacklist(2);
    const auto t0 = Blacklist::Clock::time_point{} + 1h;
    const Tuple a{boost::asio::ip::make_address("192.0.2.1"), 5060, TransportType::UDP};
    const Tuple b{a.address, 5060, TransportType::TCP};
    const Tuple c{a.address, 5061, TransportType::TLS};
    blacklist.Add(a, t0 + 30s);
    blacklist.Add(a, t0 + 10s); // never shortened
    EXPECT_TRUE(blacklist.Contains(a, t0 + 29s));
    EXPECT_FALSE(blacklist.Contains(a, t0 + 30s));
    EXPECT_FALSE(blacklist.Contains(b, t0));
    blacklist.Add(b, t0 + 5s);
    blacklist.Add(c, t0 + 60s);
    EXPECT_EQ(blacklist.Size(), 2u);
    EXPECT_FALSE(blacklist.Contains(b, t0));
    blacklist.Remove(a);
    EXPECT_FALSE(blacklist.Contains(a, t0));
}

TEST(DnsError, EveryAresStatusHasAnError) {
    EXPECT_FALSE(FromAresStatus(ARES_SUCCESS));
    EXPECT_EQ(FromAresStatus(ARES_ENOTFOUND), make_error_code(DnsError::NotFound));
    EXPECT_EQ(FromAresStatus(ARES_ENODATA), make_error_code(DnsError::NoRecords));
    EXPECT_EQ(FromAresStatus(ARES_ETIMEOUT), make_error_code(DnsError::Timeout));
    EXPECT_EQ(FromAresStatus(ARES_ESERVFAIL), make_error_code(DnsError::ServerFailure));
    EXPECT_EQ(FromAresStatus(ARES_ECONNREFUSED), make_error_code(DnsError::Refused));
    EXPECT_EQ(FromAresStatus(ARES_EDESTRUCTION), make_error_code(DnsError::Cancelled));
    for (int status = 1; status <= ARES_ESERVICE + 5; ++status) {
        const auto error = FromAresStatus(status);
        EXPECT_TRUE(error) << status;
        EXPECT_FALSE(error.message().empty());
        EXPECT_EQ(error.category(), DnsCategory());
    }
    EXPECT_TRUE(IsTransient(DnsError::Timeout));
    EXPECT_FALSE(IsTransient(DnsError::NotFound));
    EXPECT_FALSE(IsTransient(std::make_error_code(std::errc::timed_out)));
}

} // namespace
} // namespace zel::sip::stack

// Cost of the SDP offer/answer work of one call with the media negotiator, per exchange:
//   MakeOffer     our initial offer (skeleton, one audio medium with two keyed crypto lines,
//                 codecs, direction, rtcp-mux, a=rtcp), encoded to text;
//   Answer        parse a typical two-codec SRTP offer from an SBC, answer it, encode the answer;
//   VerifyAnswer  parse a peer's answer to our offer and verify it.
// Counters: `us_per_exchange` (wall time) and `allocs` (heap allocations per exchange, counted by
// the replaced global operator new below). The host's endpoint slot is a trivial copy.

#include "config/Config.h"
#include "core/ComputerNameProvider.h"
#include "core/RandomNumberGenerator.h"
#include "sdp/ISessionImpl.h"
#include "sdp/LocalSDPFactory.h"
#include "sdp/MediaNegotiator.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

std::atomic<std::uint64_t> g_allocations{0};

} // namespace

// The replacements pair malloc with free; GCC, seeing both after inlining, takes free for the
// partner of operator new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace zel::sip;

class Session final : public ISessionImpl {
public:
    std::string CallId() const override { return "bench"; }
    bool IsConnected() const override { return false; }
    bool IsSupportedByPeer(std::string_view) const override { return false; }
    std::vector<std::string>& LocalConnectionAddresses() override { return addresses_; }
    const std::vector<std::string>& LocalConnectionAddresses() const override { return addresses_; }
    stack::SdpBody* GetLocalSDP() override { return local_.get(); }
    const stack::SdpBody* GetLocalSDP() const override { return local_.get(); }
    void SetLocalSDP(const stack::SdpBody& sdp) override {
        local_ = std::make_unique<stack::SdpBody>(sdp);
        addresses_.clear();
        for (const auto& medium : sdp.Session().Media()) {
            const auto connections = sdp.Session().ConnectionsOf(medium);
            addresses_.push_back(connections.empty() ? std::string() : connections.front().address);
        }
    }
    const stack::SdpBody* GetRemoteSDP() const override { return remote_.get(); }
    void SetRemoteSDP(const stack::SdpBody& sdp) override { remote_ = std::make_unique<stack::SdpBody>(sdp); }

private:
    std::vector<std::string> addresses_;
    std::unique_ptr<stack::SdpBody> local_;
    std::unique_ptr<stack::SdpBody> remote_;
};

constexpr const char* kSbcOffer = "v=0\r\n"
                                  "o=SBC 2055 1001 IN IP4 198.51.100.7\r\n"
                                  "s=SBC\r\n"
                                  "c=IN IP4 198.51.100.7\r\n"
                                  "t=0 0\r\n"
                                  "m=audio 40376 RTP/SAVP 8 0 101\r\n"
                                  "a=rtpmap:8 PCMA/8000\r\n"
                                  "a=rtpmap:0 PCMU/8000\r\n"
                                  "a=rtpmap:101 telephone-event/8000\r\n"
                                  "a=fmtp:101 0-15\r\n"
                                  "a=ptime:20\r\n"
                                  "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:PS1uQCVeeCFCanVmcjkpPywjNWhcYD0mXXtxaVBR|2^31\r\n"
                                  "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:NzB4d1BINUAvLEw6UzF3WSJ+PSdFcGdUJShpX1Zj|2^31\r\n"
                                  "a=rtcp-mux\r\n"
                                  "a=sendrecv\r\n";

constexpr const char* kPeerAnswer = "v=0\r\n"
                                    "o=peer 77 78 IN IP4 203.0.113.9\r\n"
                                    "s=-\r\n"
                                    "c=IN IP4 203.0.113.9\r\n"
                                    "t=0 0\r\n"
                                    "m=audio 30000 RTP/AVP 0 96\r\n"
                                    "a=rtpmap:0 PCMU/8000\r\n"
                                    "a=rtpmap:96 telephone-event/8000\r\n"
                                    "a=fmtp:96 0-15\r\n"
                                    "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:PS1uQCVeeCFCanVmcjkpPywjNWhcYD0mXXtxaVBR\r\n"
                                    "a=sendonly\r\n"
                                    "a=rtcp-mux\r\n";

struct Fixture {
    Fixture() {
        config.Codecs.resize(2);
        config.Codecs[0].Encoding = "PCMU";
        config.Codecs[1].Encoding = "PCMA";
        for (auto& codec : config.Codecs) {
            codec.Type = "audio";
            codec.ClockRate = 8000;
        }
        config.Cryptos.resize(2);
        config.Cryptos[0].CryptoSuite = "AES_CM_128_HMAC_SHA1_80";
        config.Cryptos[1].CryptoSuite = "AES_CM_128_HMAC_SHA1_32";
        for (auto& crypto : config.Cryptos) {
            crypto.MasterKeyLength = 30;
        }
        config.UseSRTP = UseSRTP::BestEffort;
        config.RTCPMultiplexing = RTCPMultiplexingPolicy::Supported;
        negotiator = std::make_unique<MediaNegotiator>(random, localSDPFactory, config);
        negotiator->LocalMediaEndpointRequired.connect([](unsigned long, AddressType, char* address, unsigned long,
                                                          unsigned short& port, char* info, unsigned long) {
            std::memcpy(address, "192.0.2.10", 11);
            std::memcpy(info, "audio", 6);
            port = 40000;
        });
    }

    static stack::SdpBody Parse(const char* text) { return stack::SdpBody(stack::sdp::Session::Parse(text).Value()); }

    Config config;
    RandomNumberGenerator random;
    ComputerNameProvider hostName;
    LocalSDPFactory localSDPFactory{hostName, random};
    std::unique_ptr<MediaNegotiator> negotiator;
};

template <class Exchange>
void Run(benchmark::State& state, Exchange exchange) {
    Fixture fixture;
    exchange(fixture); // warm up
    const auto before = g_allocations.load();
    for (auto _ : state) {
        exchange(fixture);
    }
    const auto allocations = g_allocations.load() - before;
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
    state.counters["us_per_exchange"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 1e-6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void MakeOffer(benchmark::State& state) {
    Run(state, [](Fixture& f) {
        const auto offer = f.negotiator->MakeOffer(stack::sdp::AddrType::IP4);
        benchmark::DoNotOptimize(offer->Encode());
    });
}

void Answer(benchmark::State& state) {
    Run(state, [](Fixture& f) {
        Session session;
        auto offer = Fixture::Parse(kSbcOffer);
        benchmark::DoNotOptimize(f.negotiator->NegotiateAnswer(session, offer).Encode());
    });
}

void VerifyAnswer(benchmark::State& state) {
    Fixture fixture;
    const auto offer = fixture.negotiator->MakeOffer(stack::sdp::AddrType::IP4);
    Run(state, [&offer](Fixture& f) {
        Session session;
        session.SetLocalSDP(*offer);
        f.negotiator->VerifyAnswer(session, Fixture::Parse(kPeerAnswer));
    });
}

} // namespace

BENCHMARK(MakeOffer);
BENCHMARK(Answer);
BENCHMARK(VerifyAnswer);
BENCHMARK_MAIN();

// User agents at the product level, through the C interface of the shared object as a host uses it:
//
// BM_CreateUserAgent / BM_DestroyUserAgent: time to create a user agent (configuration, stack,
// UDP and TCP transports on 127.0.0.1, dialog layer, threads) and to destroy an idle one (dialog
// layer shutdown, every thread joined).
// BM_IdleUserAgent: heap bytes and threads one idle user agent holds (20 of them alive at once).
// BM_HeapPerRegistration: heap bytes one active registration holds in the whole library (its
// profile copy, the dialog layer's usage and digest state, the handler's registration object and
// its signals), with 200 registrations against SIPp's registrar verifying our digest
// (tests/data/sipp/registrar_digest_uas.xml).
//
// Heap figures are glibc's mallinfo2 (bytes in use, also in mmapped chunks) before and after;
// thread stacks are not on the heap.
// Needs sipp (Debian package sip-tester) for the last one. Run: build with -DZEL_BUILD_BENCH=ON, then
// ./bench/bench_useragent --benchmark_counters_tabular=true
// Where a registration's heap goes: ZEL_BENCH_EXIT_AFTER_HEAP=1 heaptrack ./bench/bench_useragent
// --benchmark_filter=HeapPerRegistration (the process ends right after the heap is read).

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/Process.h"
#include "useragent/HostSupport.h"

namespace {

using namespace zel::sip::test;
using namespace std::chrono_literals;

// A REGISTER's client transaction over UDP stays completed for Timer K (T4, 5 s; RFC 3261
// section 17.1.2.2) with its response: the figures are taken once those have ended, so that they
// hold what a registration keeps, not the traffic that made it.
constexpr auto kTransactionsEnd = 6s;

std::size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

SIPUserAgent* MakeUserAgent(benchmark::State& state) {
    SIPUserAgent* userAgent = CreateSIPUserAgent(LoopbackConfiguration().c_str());
    if (userAgent == nullptr) {
        state.SkipWithError(("cannot create a user agent: " + LastError()).c_str());
    }
    return userAgent;
}

void BM_CreateUserAgent(benchmark::State& state) {
    for (auto _ : state) {
        SIPUserAgent* userAgent = MakeUserAgent(state);
        state.PauseTiming();
        DestroySIPUserAgent(userAgent);
        state.ResumeTiming();
        if (userAgent == nullptr) {
            break;
        }
    }
}
BENCHMARK(BM_CreateUserAgent)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DestroyUserAgent(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        SIPUserAgent* userAgent = MakeUserAgent(state);
        state.ResumeTiming();
        DestroySIPUserAgent(userAgent);
        if (userAgent == nullptr) {
            break;
        }
    }
}
BENCHMARK(BM_DestroyUserAgent)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IdleUserAgent(benchmark::State& state) {
    constexpr int kUserAgents = 20;
    for (auto _ : state) {
        DestroySIPUserAgent(MakeUserAgent(state)); // what the first one sets up for the whole process
        const std::size_t heapBefore = HeapInUse();
        const int threadsBefore = ThreadCount();
        std::vector<SIPUserAgent*> userAgents;
        for (int i = 0; i < kUserAgents; ++i) {
            if (SIPUserAgent* userAgent = MakeUserAgent(state)) {
                userAgents.push_back(userAgent);
            }
        }
        const std::size_t heapAfter = HeapInUse();
        const int threadsAfter = ThreadCount();
        for (SIPUserAgent* userAgent : userAgents) {
            DestroySIPUserAgent(userAgent);
        }
        if (userAgents.size() == kUserAgents) {
            state.counters["heap_per_ua"] = static_cast<double>(heapAfter - heapBefore) / kUserAgents;
            state.counters["threads_per_ua"] = static_cast<double>(threadsAfter - threadsBefore) / kUserAgents;
        }
    }
}
BENCHMARK(BM_IdleUserAgent)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HeapPerRegistration(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    const int registrations = static_cast<int>(state.range(0));
    for (auto _ : state) {
        TempDir dir;
        const std::uint16_t port = FreePort();
        ChildProcess sipp({"sipp", "-sf", std::string(ZEL_TEST_DATA_DIR) + "/sipp/registrar_digest_uas.xml", "-i",
                           "127.0.0.1", "-p", std::to_string(port), "-m", std::to_string(registrations), "-nostdin",
                           "-timeout", "120s"},
                          dir.File("sipp.out"));
        if (!WaitUntil([&] { return UdpPortBound(port); }, 10s)) {
            state.SkipWithError("SIPp did not start");
            return;
        }
        RegistrationEvents events;
        SIPUserAgent* userAgent = MakeUserAgent(state);
        if (userAgent == nullptr) {
            return;
        }
        events.Attach(userAgent);
        // Two events per registration ("new", "success"): the host's list is not the library's heap.
        events.Reserve(2 * static_cast<std::size_t>(registrations) + 8);
        const std::string aor = "sip:alice@127.0.0.1:" + std::to_string(port);
        // One registration first, so that what the first one sets up is not counted.
        SIPUserAgentRegister(userAgent, aor.c_str(), "secret", nullptr, nullptr, "sipp.test");
        events.WaitFor("success", 1, 20s);
        std::this_thread::sleep_for(kTransactionsEnd);
        const std::size_t heapBefore = HeapInUse();
        for (int i = 1; i < registrations; ++i) {
            SIPUserAgentRegister(userAgent, aor.c_str(), "secret", nullptr, nullptr, "sipp.test");
        }
        const bool registered = events.WaitFor("success", static_cast<std::size_t>(registrations), 60s);
        std::this_thread::sleep_for(kTransactionsEnd);
        const std::size_t heapAfter = HeapInUse();
        if (std::getenv("ZEL_BENCH_EXIT_AFTER_HEAP") != nullptr) {
            // For a heap profiler around the run (heaptrack): end here, freeing nothing, so that
            // what the registrations hold is reported as not freed, by allocation site.
            std::fprintf(stderr, "heap per registration: %.0f bytes\n",
                         static_cast<double>(heapAfter - heapBefore) / static_cast<double>(registrations - 1));
            sipp.Stop();
            std::fflush(nullptr);
            std::_Exit(0);
        }
        DestroySIPUserAgent(userAgent);
        if (!registered) {
            state.SkipWithError("not every registration succeeded");
            return;
        }
        state.counters["heap_per_registration"] =
            static_cast<double>(heapAfter - heapBefore) / static_cast<double>(registrations - 1);
        state.counters["failures"] = static_cast<double>(events.Count("failure"));
    }
}
BENCHMARK(BM_HeapPerRegistration)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

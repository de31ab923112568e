// Calls answered by a user agent driven through the shared object's C interface, as a host runs
// it, against SIPp's own answering scenario under the same load.
//
// The host: one user agent on 127.0.0.1 UDP offering PCMU; it hands out a media endpoint and
// subscribes to each new session's Connected and Terminated events. The user agent answers every
// INVITE's offer with the automatic 200 (no 180). The caller is SIPp's built-in `-sn uac`
// (INVITE with a PCMU offer, ACK, BYE).
//
// BM_CapiSustainedLoad: kRate calls/s for kWarmUp + kSeconds to our user agent, then the same load
// to SIPp's built-in `-sn uas` in the same run. CPU per call is user + system time over the last
// kSeconds: of this process without the benchmark thread (getrusage), of the SIPp server
// (/proc/<pid>/stat). `vs_sipp_uas` is ours divided by SIPp's. The warm-up lasts until the first
// calls' server transactions have ended (64 * T1): until then every call adds to what the heap
// holds, and growing the heap (fresh pages, arena growth) costs our event thread about a quarter
// of its time, a cost a service that has been up for a minute no longer pays. The figures over
// the first kSeconds are reported too (`ours_us_per_call_first`, `vs_sipp_uas_first`), with the
// heap left per ended call at that point.
// BM_CapiHighestCallRate: rising rates, a few seconds each, a fresh user agent per step; the highest
// rate where SIPp saw no failed call and the host saw every call end by the caller's BYE, then the
// same load against SIPp's own server to tell which side gave up first. 503s counted are the
// congestion manager's (queue wait over 200 ms towards the dialog thread, see MakeSipStack).
// BM_CapiHeapPerHeldCall: heap bytes one established call holds in the whole library, with SIPp
// holding kHeld calls up (a pause before BYE) once every INVITE transaction has ended.
//
// Heap figures are glibc's mallinfo2 (bytes in use, mmapped chunks included).
// Needs sipp (Debian package sip-tester). Run: build with -DZEL_BUILD_BENCH=ON, then
// ./bench/bench_capi_call --benchmark_counters_tabular=true
// Where the held heap goes, by allocation site: ZEL_BENCH_EXIT_AFTER_HEAP=1 ZEL_BENCH_HELD_RATE=200
// heaptrack ./bench/bench_capi_call --benchmark_filter=HeapPerHeldCall (see docs/BENCHMARKS.md).

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capi/SessionTestSupport.h"
#include "support/Process.h"

namespace {

using namespace zel::sip::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kRate = 500;
constexpr int kSeconds = 30;
constexpr int kWarmUp = 34;
constexpr int kHeld = 2000;

// A server INVITE transaction that sent a 2xx stays in the Accepted state for Timer L, 64 * T1
// (32 s with the default T1; RFC 6026 section 8.7): held calls are counted after it.
constexpr auto kInviteTransactionsEnd = seconds(34);

std::size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

/// ZEL_BENCH_HELD_RATE: the rate at which the held calls are placed (default kRate); a heap
/// profiler slows the user agent down enough that the default rate meets its congestion check.
int HeldCallRate() {
    const char* text = std::getenv("ZEL_BENCH_HELD_RATE");
    const int rate = text != nullptr ? std::atoi(text) : 0;
    return rate > 0 ? rate : kRate;
}

/// With ZEL_BENCH_EXIT_AFTER_HEAP set, the process ends right after the heap has been read,
/// freeing nothing, so that a heap profiler around it (heaptrack) reports what the held calls
/// kept as not freed, by allocation site. The SIPp processes are stopped first.
void ExitIfProfilingHeap(ChildProcess& held, ChildProcess& warm) {
    if (std::getenv("ZEL_BENCH_EXIT_AFTER_HEAP") == nullptr) {
        return;
    }
    held.Stop();
    warm.Stop();
    std::fflush(nullptr);
    std::_Exit(0);
}

/// A host that lets its user agent answer every call and counts what it is told.
class Host {
public:
    std::atomic<int> connected{0};
    std::atomic<int> ended{0};
    std::atomic<int> abnormal{0}; // ended other than by the caller's BYE

    Host() : port_(FreePort()) {
        userAgent_ = CreateSIPUserAgent(CallConfiguration(port_, kPcmu).c_str());
        if (userAgent_ == nullptr) {
            throw std::runtime_error("user agent: " + LastError());
        }
        SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(userAgent_, &Host::OnEndpointRequired, this);
        SIPUserAgentAddNewSessionEventHandler(userAgent_, &Host::OnNewSession, this);
    }
    ~Host() {
        DestroySIPUserAgent(userAgent_);
        SIPRemoveEventHandler(this);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    std::uint16_t Port() const noexcept { return port_; }

private:
    static void OnEndpointRequired(void*, uint64_t, AddressType, char* address, uint64_t addressSize, uint16_t* port,
                                   char*, uint64_t) {
        std::snprintf(address, addressSize, "127.0.0.1");
        *port = 40000; // no media flows in this benchmark
    }
    static void OnNewSession(void* context, SIPSession* session, const SIPMessage*) {
        SIPSessionAddConnectedEventHandler(session, &Host::OnConnected, context);
        SIPSessionAddTerminatedEventHandler(session, &Host::OnTerminated, context);
    }
    static void OnConnected(void* context) { ++static_cast<Host*>(context)->connected; }
    static void OnTerminated(void* context, TerminatedReason reason, const SIPMessage*) {
        auto* host = static_cast<Host*>(context);
        ++host->ended;
        if (reason != TerminatedReason_RemoteBye) {
            ++host->abnormal;
        }
    }

    std::uint16_t port_;
    SIPUserAgent* userAgent_ = nullptr;
};

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

/// CPU seconds of this process without the calling thread: the benchmark thread only waits for
/// SIPp to finish, which is no work of the user agent's.
double OurCpuSeconds() { return CpuSeconds(RUSAGE_SELF) - CpuSeconds(RUSAGE_THREAD); }

/// User + system seconds of another process so far (fields 14 and 15 of /proc/<pid>/stat).
std::optional<double> ChildCpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')'); // the command name may hold spaces
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

/// How often `needle` occurs in the file at `path` (0 when it does not exist).
int Occurrences(const std::string& path, const std::string& needle) {
    std::ifstream file(path);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

/// SIPp's built-in caller: `calls` calls at `rate` to 127.0.0.1:`port`, each held `holdMs`; the
/// responses it did not expect (a 503 among them) go to <name>-errors.log.
std::vector<std::string> Caller(std::uint16_t port, int rate, int calls, int holdMs, const TempDir& dir,
                                const std::string& name) {
    return {"sipp", "-sn", "uac", "-i", "127.0.0.1", "-mi", "127.0.0.1", "-p", std::to_string(FreePort()), "-r",
            std::to_string(rate), "-m", std::to_string(calls), "-l", std::to_string(std::max(calls, 1)), "-d",
            std::to_string(holdMs), "-timeout", "150s", "-nostdin", "-trace_err", "-error_file",
            dir.File(name + "-errors.log"), "127.0.0.1:" + std::to_string(port)};
}

struct LoadResult {
    bool clean = false;    // SIPp exited 0 (every call completed) and, for ours, every call ended by BYE
    double cpuPerCall = 0; // seconds; after the warm-up when there is one
    double cpuPerCallFirst = 0; // seconds, over the first kSeconds of a load with a warm-up
    int sippStatus = -1;   // the SIPp caller's exit code (-1: still running at the time limit)
    int ended = 0;         // calls the host saw end
    int abnormal = 0;      // of those, ended otherwise than by the caller's BYE
    int rejected503 = 0;   // 503s SIPp received
    double heapPerEndedCall = 0;
};

/// CPU seconds spent and calls done at the start of the steady part of a load with a warm-up.
struct Mark {
    double cpu = 0;
    int calls = 0;
};

/// The first-kSeconds figures and the steady mark of a load with a warm-up, taken while the
/// caller runs; `cpu` and `done` read the server's CPU seconds and its calls done so far.
template <typename Cpu, typename Done>
Mark WarmUp(LoadResult& result, double cpuBefore, Cpu cpu, Done done,
            const std::function<void(int)>& atFirst = {}) {
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(started + seconds(kSeconds));
    const int first = done();
    result.cpuPerCallFirst = first > 0 ? (cpu() - cpuBefore) / first : 0;
    if (atFirst) {
        atFirst(first);
    }
    std::this_thread::sleep_until(started + seconds(kWarmUp));
    return Mark{cpu(), done()};
}

/// Our user agent under `calls` calls at `rate`; with `warmUp`, CPU per call is measured after
/// kWarmUp seconds (see BM_CapiSustainedLoad), and the heap per ended call after kSeconds.
LoadResult OurLoad(int rate, int calls, const TempDir& dir, bool warmUp = false) {
    LoadResult result;
    Host host;
    const std::string name = "ours-" + std::to_string(rate);
    const std::size_t heapBefore = HeapInUse();
    const auto heapPerCall = [heapBefore](int done) {
        return done > 0 ? (static_cast<double>(HeapInUse()) - static_cast<double>(heapBefore)) / done : 0;
    };
    const double before = OurCpuSeconds();
    ChildProcess caller(Caller(host.Port(), rate, calls, 0, dir, name), dir.File(name + ".log"));
    Mark mark{before, 0};
    if (warmUp) {
        mark = WarmUp(result, before, OurCpuSeconds, [&] { return host.ended.load(); },
                      [&](int done) { result.heapPerEndedCall = heapPerCall(done); });
    }
    const std::optional<int> status = caller.WaitForExit(seconds(kWarmUp + kSeconds + 150));
    // SIPp is done once the last BYE's 200 came; the host has been told of every call's end.
    const bool allEnded = WaitUntil([&] { return host.ended >= calls; }, seconds(5));
    result.cpuPerCall = (OurCpuSeconds() - mark.cpu) / std::max(1, host.ended - mark.calls);
    if (!warmUp) {
        result.heapPerEndedCall = heapPerCall(calls);
    }
    result.sippStatus = status.value_or(-1);
    result.ended = host.ended;
    result.abnormal = host.abnormal;
    result.rejected503 = Occurrences(dir.File(name + "-errors.log"), "SIP/2.0 503");
    result.clean = status && *status == 0 && allEnded && host.abnormal == 0;
    return result;
}

/// SIPp's own server under the same load.
std::optional<LoadResult> SippLoad(int rate, int calls, const TempDir& dir, bool warmUp = false) {
    const std::uint16_t port = FreePort();
    const std::string name = "sipp-" + std::to_string(rate);
    ChildProcess server({"sipp", "-sn", "uas", "-i", "127.0.0.1", "-mi", "127.0.0.1", "-p", std::to_string(port),
                         "-nostdin"},
                        dir.File(name + "-uas.log"));
    if (!WaitUntil([&] { return UdpPortBound(port); }, seconds(10))) {
        return std::nullopt;
    }
    const std::optional<double> before = ChildCpuSeconds(server.Pid());
    if (!before) {
        return std::nullopt;
    }
    LoadResult result;
    const auto started = std::chrono::steady_clock::now();
    ChildProcess caller(Caller(port, rate, calls, 0, dir, name), dir.File(name + ".log"));
    Mark mark{*before, 0};
    if (warmUp) {
        // SIPp's calls done are not read from it: at a steady rate they follow the clock.
        const auto done = [&] {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            return std::min(calls, static_cast<int>(elapsed * rate));
        };
        mark = WarmUp(result, *before, [&] { return ChildCpuSeconds(server.Pid()).value_or(0); }, done);
    }
    const std::optional<int> status = caller.WaitForExit(seconds(kWarmUp + kSeconds + 150));
    const std::optional<double> after = ChildCpuSeconds(server.Pid());
    if (!after) {
        return std::nullopt;
    }
    result.sippStatus = status.value_or(-1);
    result.clean = status && *status == 0;
    result.cpuPerCall = (*after - mark.cpu) / std::max(1, calls - mark.calls);
    return result;
}

void BM_CapiSustainedLoad(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    constexpr int kCalls = kRate * (kWarmUp + kSeconds);
    for (auto _ : state) {
        TempDir dir;
        const LoadResult ours = OurLoad(kRate, kCalls, dir, true);
        const std::optional<LoadResult> theirs = SippLoad(kRate, kCalls, dir, true);
        if (!theirs) {
            state.SkipWithError("sipp did not start");
            return;
        }
        state.counters["calls"] = kCalls;
        state.counters["rate"] = kRate;
        state.counters["ours_us_per_call"] = ours.cpuPerCall * 1e6;
        state.counters["ours_clean"] = ours.clean ? 1 : 0;
        state.counters["ours_ended"] = ours.ended;
        state.counters["ours_503"] = ours.rejected503;
        state.counters["heap_left_per_ended_call"] = ours.heapPerEndedCall;
        state.counters["sipp_uas_us_per_call"] = theirs->cpuPerCall * 1e6;
        state.counters["sipp_clean"] = theirs->clean ? 1 : 0;
        state.counters["vs_sipp_uas"] = theirs->cpuPerCall > 0 ? ours.cpuPerCall / theirs->cpuPerCall : 0;
        state.counters["ours_us_per_call_first"] = ours.cpuPerCallFirst * 1e6;
        state.counters["sipp_uas_us_per_call_first"] = theirs->cpuPerCallFirst * 1e6;
        state.counters["vs_sipp_uas_first"] =
            theirs->cpuPerCallFirst > 0 ? ours.cpuPerCallFirst / theirs->cpuPerCallFirst : 0;
    }
}
BENCHMARK(BM_CapiSustainedLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_CapiHighestCallRate(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    for (auto _ : state) {
        TempDir dir;
        int best = 0;
        LoadResult failed;
        int failedAt = 0;
        for (const int rate : {500, 750, 1000, 1250, 1500, 2000, 2500, 3000}) {
            const int calls = 4 * rate; // about four seconds per step
            LoadResult result = OurLoad(rate, calls, dir);
            if (!result.clean) {
                failedAt = rate;
                failed = result;
                break;
            }
            best = rate;
        }
        state.counters["highest_clean_rate"] = best;
        state.counters["first_failing_rate"] = failedAt;
        if (failedAt != 0) {
            // Which side gave up: SIPp's verdict, the calls the host saw end (of 4 * rate) and the
            // congestion manager's 503s.
            state.counters["failing_sipp_status"] = failed.sippStatus;
            state.counters["failing_ended"] = failed.ended;
            state.counters["failing_abnormal"] = failed.abnormal;
            state.counters["failing_503"] = failed.rejected503;
            // The same load against SIPp's own server: whether the machine and SIPp's caller carry
            // that rate at all.
            const std::optional<LoadResult> theirs = SippLoad(failedAt, 4 * failedAt, dir);
            state.counters["sipp_uas_clean_there"] = theirs && theirs->clean ? 1 : 0;
        }
    }
}
BENCHMARK(BM_CapiHighestCallRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_CapiHeapPerHeldCall(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    for (auto _ : state) {
        TempDir dir;
        Host host;
        constexpr int kWarm = 20;
        constexpr int kHoldMs = 600000;
        // Warm up: the first calls create the transport's, the tables' and the registry's lasting
        // state; their transactions end before the first reading.
        ChildProcess warm(Caller(host.Port(), 100, kWarm, kHoldMs, dir, "warm"), dir.File("warm.log"));
        const bool warmed = WaitUntil([&] { return host.connected >= kWarm; }, seconds(20));
        std::this_thread::sleep_for(kInviteTransactionsEnd); // a fixed state lifetime, not readiness
        const std::size_t before = HeapInUse();
        ChildProcess held(Caller(host.Port(), HeldCallRate(), kHeld, kHoldMs, dir, "held"), dir.File("held.log"));
        const bool connected = WaitUntil([&] { return host.connected >= kWarm + kHeld; }, seconds(60));
        std::this_thread::sleep_for(kInviteTransactionsEnd);
        const std::size_t after = HeapInUse();
        std::fprintf(stderr, "heap per held call: %.0f bytes, %d connected\n",
                     (static_cast<double>(after) - static_cast<double>(before)) / kHeld, host.connected.load());
        ExitIfProfilingHeap(held, warm);
        const int abnormal = host.abnormal;
        held.Stop();
        warm.Stop();
        if (!warmed || !connected || abnormal != 0) {
            state.SkipWithError("not every call was answered and held");
            return;
        }
        state.counters["held_calls"] = kHeld;
        state.counters["heap_bytes_per_call"] = (static_cast<double>(after) - static_cast<double>(before)) / kHeld;
    }
}
BENCHMARK(BM_CapiHeapPerHeldCall)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

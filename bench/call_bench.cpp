// Calls answered by our dialog layer, against SIPp's own answering scenario under the same load.
//
// BM_CpuPerCall: SIPp's built-in caller (`-sn uac`: INVITE with SDP, ACK, BYE) places kCalls calls
// at kRate calls/s, first to our user agent server (a DialogUsageManager whose handler sends 180,
// answers the offer with a canned SDP and accepts with 200), then to SIPp's built-in answering
// scenario (`-sn uas`: 180, 200 with SDP). CPU per call is user + system time over the load: of
// this process but the benchmark thread for ours (getrusage; the stack's and the dialog layer's
// threads are all that work meanwhile), of the SIPp server process for SIPp's (/proc/<pid>/stat).
// `vs_sipp_uas` is ours divided by SIPp's.
// BM_HighestCallRate: the same calls at rising rates to our server, each step for a few seconds;
// the highest rate at which SIPp saw no failed call and our handler saw every call end.
// BM_HeapPerHeldCall: heap bytes one established call holds in the whole stack (session, core,
// dialog set, dialog, bodies, timers), with SIPp holding kHeld calls up without BYE and every
// transaction ended.
//
// Needs sipp (Debian package sip-tester). Run: build with -DZEL_BUILD_BENCH=ON, then
// ./bench/bench_call --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "stack/body/SdpBody.h"
#include "stack/core/SipStack.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/DumThread.h"
#include "stack/dum/InviteSession.h"
#include "stack/dum/InviteSessionHandler.h"
#include "support/Process.h"

namespace {

using namespace zel::sip::stack;
using zel::sip::test::ChildProcess;
using zel::sip::test::FreePort;
using zel::sip::test::ProgramInstalled;
using zel::sip::test::TempDir;
using zel::sip::test::UdpPortBound;
using zel::sip::test::WaitUntil;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kRate = 200;
constexpr int kCalls = 2000;
constexpr int kHeld = 1000;

std::unique_ptr<SdpBody> CannedSdp() {
    const std::string text = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                             "m=audio 50000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    auto parsed = SdpBody::Parse(ContentType("application", "sdp"), text);
    if (!parsed.Ok()) {
        throw std::runtime_error("the canned SDP does not parse");
    }
    return std::move(parsed.Value());
}

/// Rings, answers every offer with the canned SDP and accepts; counts what happens.
class AnsweringHandler final : public InviteSessionHandler {
public:
    std::atomic<int> connected{0};
    std::atomic<int> ended{0};
    std::atomic<int> abnormal{0}; // ended other than by the caller's BYE

    void onNewSession(ClientInviteSessionHandle, OfferAnswerType, const SipMessage&) override {}
    void onNewSession(ServerInviteSessionHandle session, OfferAnswerType, const SipMessage&) override {
        session->Provisional(180);
    }
    void onFailure(ClientInviteSessionHandle, const SipMessage&) override {}
    void onEarlyMedia(ClientInviteSessionHandle, const SipMessage&, const SdpBody&) override {}
    void onProvisional(ClientInviteSessionHandle, const SipMessage&) override {}
    void onConnected(ClientInviteSessionHandle, const SipMessage&) override {}
    void onConnected(InviteSessionHandle, const SipMessage&) override { ++connected; }
    void onTerminated(InviteSessionHandle, TerminatedReason reason, const SipMessage*) override {
        ++ended;
        if (reason != TerminatedReason::RemoteBye) {
            ++abnormal;
        }
    }
    void onForkDestroyed(ClientInviteSessionHandle) override {}
    void onRedirected(ClientInviteSessionHandle, const SipMessage&) override {}
    void onAnswer(InviteSessionHandle, const SipMessage&, const SdpBody&) override {}
    void onOffer(InviteSessionHandle session, const SipMessage&, const SdpBody&) override {
        session->ProvideAnswer(*answer_);
        Accept(session);
    }
    void onOfferRequired(InviteSessionHandle session, const SipMessage&) override {
        session->ProvideOffer(*answer_);
        Accept(session);
    }
    void onOfferRejected(InviteSessionHandle, const SipMessage*) override {}
    void onInfo(InviteSessionHandle, const SipMessage&) override {}
    void onInfoSuccess(InviteSessionHandle, const SipMessage&) override {}
    void onInfoFailure(InviteSessionHandle, const SipMessage&) override {}
    void onMessage(InviteSessionHandle, const SipMessage&) override {}
    void onMessageSuccess(InviteSessionHandle, const SipMessage&) override {}
    void onMessageFailure(InviteSessionHandle, const SipMessage&) override {}

private:
    static void Accept(InviteSessionHandle session) {
        if (auto* server = dynamic_cast<ServerInviteSession*>(session.Get()); server != nullptr && !server->IsAccepted()) {
            server->Accept(200);
        }
    }

    std::unique_ptr<SdpBody> answer_ = CannedSdp();
};

/// Our user agent server on UDP loopback: stack, dialog thread and manager, torn down in order.
struct Server {
    explicit Server(StackOptions options = {}) : stack(Tuned(std::move(options))) {
        udp = stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
        DumOptions dumOptions;
        dumOptions.shutdownTimeout = seconds(5);
        manager = std::make_unique<DialogUsageManager>(stack, thread, dumOptions);
        profile = std::make_shared<MasterProfile>();
        profile->SetDefaultFrom(NameAddr::Parse("<sip:service@127.0.0.1>"));
        manager->SetMasterProfile(profile);
        manager->SetInviteSessionHandler(&handler);
        thread.Start();
    }
    ~Server() {
        struct Done final : DumShutdownHandler {
            std::promise<void> promise;
            void onDumCanBeDeleted() override { promise.set_value(); }
        } done;
        manager->Shutdown(done);
        done.promise.get_future().wait_for(seconds(10));
        thread.Stop();
        thread.Join();
        manager.reset();
        stack.Shutdown();
    }
    static StackOptions Tuned(StackOptions options) {
        options.congestionTolerance = seconds(10);
        return options;
    }
    std::size_t Sessions() {
        std::promise<std::size_t> count;
        manager->Post([&] { count.set_value(manager->InviteSessionCount()); });
        return count.get_future().get();
    }

    AnsweringHandler handler;
    SipStack stack;
    DumThread thread;
    std::unique_ptr<DialogUsageManager> manager;
    std::shared_ptr<MasterProfile> profile;
    Tuple udp;
};

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

/// CPU seconds of this process without the calling thread: the benchmark thread only polls for
/// SIPp to finish, which is no work of the server's.
double ServerCpuSeconds() { return CpuSeconds(RUSAGE_SELF) - CpuSeconds(RUSAGE_THREAD); }

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

/// SIPp's built-in caller: `calls` calls at `rate` to 127.0.0.1:`port`, each held `holdMs`.
std::vector<std::string> Caller(std::uint16_t port, int rate, int calls, int holdMs, const TempDir& dir,
                                const std::string& name) {
    return {"sipp", "-sn", "uac", "-i", "127.0.0.1", "-p", std::to_string(FreePort()), "-r", std::to_string(rate),
            "-m", std::to_string(calls), "-d", std::to_string(holdMs), "-timeout", "120s", "-nostdin",
            "-trace_stat", "-stf", dir.File(name + ".csv"), "127.0.0.1:" + std::to_string(port)};
}

struct LoadResult {
    bool clean = false;    // SIPp exited 0 (every call completed) and, for ours, every call ended by BYE
    double cpuPerCall = 0; // seconds
    int sippStatus = -1;   // SIPp caller's exit code (-1: still running at the time limit)
    int ended = 0;         // calls our handler saw end
    int abnormal = 0;      // of those, ended otherwise than by the caller's BYE
};

/// Our server under `calls` calls at `rate`.
LoadResult OurLoad(int rate, int calls, const TempDir& dir) {
    LoadResult result;
    Server server;
    const double before = ServerCpuSeconds();
    ChildProcess caller(Caller(server.udp.port, rate, calls, 0, dir, "ours-" + std::to_string(rate)),
                        dir.File("uac-ours.log"));
    const std::optional<int> status = caller.WaitForExit(seconds(150));
    // The last BYE's 200 has left once SIPp is done; our handler has seen every call end.
    const bool allEnded = WaitUntil([&] { return server.handler.ended >= calls; }, seconds(5));
    result.cpuPerCall = (ServerCpuSeconds() - before) / calls;
    result.sippStatus = status.value_or(-1);
    result.ended = server.handler.ended;
    result.abnormal = server.handler.abnormal;
    result.clean = status && *status == 0 && allEnded && server.handler.abnormal == 0;
    return result;
}

/// SIPp's own server under the same load.
std::optional<LoadResult> SippLoad(int rate, int calls, const TempDir& dir) {
    const std::uint16_t port = FreePort();
    ChildProcess server({"sipp", "-sn", "uas", "-i", "127.0.0.1", "-p", std::to_string(port), "-nostdin"},
                        dir.File("uas-sipp.log"));
    if (!WaitUntil([&] { return UdpPortBound(port); }, seconds(10))) {
        return std::nullopt;
    }
    const std::optional<double> before = ChildCpuSeconds(server.Pid());
    ChildProcess caller(Caller(port, rate, calls, 0, dir, "sipp"), dir.File("uac-sipp.log"));
    const std::optional<int> status = caller.WaitForExit(seconds(150));
    const std::optional<double> after = ChildCpuSeconds(server.Pid());
    if (!before || !after) {
        return std::nullopt;
    }
    LoadResult result;
    result.clean = status && *status == 0;
    result.cpuPerCall = (*after - *before) / calls;
    return result;
}

void BM_CpuPerCall(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    for (auto _ : state) {
        TempDir dir;
        const LoadResult ours = OurLoad(kRate, kCalls, dir);
        const std::optional<LoadResult> theirs = SippLoad(kRate, kCalls, dir);
        if (!theirs) {
            state.SkipWithError("sipp did not start");
            return;
        }
        state.counters["calls"] = kCalls;
        state.counters["rate"] = kRate;
        state.counters["ours_us_per_call"] = ours.cpuPerCall * 1e6;
        state.counters["ours_clean"] = ours.clean ? 1 : 0;
        state.counters["sipp_uas_us_per_call"] = theirs->cpuPerCall * 1e6;
        state.counters["sipp_clean"] = theirs->clean ? 1 : 0;
        state.counters["vs_sipp_uas"] = theirs->cpuPerCall > 0 ? ours.cpuPerCall / theirs->cpuPerCall : 0;
    }
}
BENCHMARK(BM_CpuPerCall)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_HighestCallRate(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    for (auto _ : state) {
        TempDir dir;
        int best = 0;
        LoadResult failed;
        int failedAt = 0;
        for (const int rate : {250, 500, 750, 1000, 1250, 1500, 2000, 2500, 3000, 4000}) {
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
            // Which side gave up: SIPp's verdict, and the calls our handler saw end (of 4 * rate).
            state.counters["failing_sipp_status"] = failed.sippStatus;
            state.counters["failing_ended"] = failed.ended;
            state.counters["failing_abnormal"] = failed.abnormal;
            // The same load against SIPp's own server: whether the machine (and the SIPp caller)
            // carries that rate at all.
            const std::optional<LoadResult> theirs = SippLoad(failedAt, 4 * failedAt, dir);
            state.counters["sipp_uas_clean_there"] = theirs && theirs->clean ? 1 : 0;
        }
    }
}
BENCHMARK(BM_HighestCallRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_HeapPerHeldCall(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    for (auto _ : state) {
        TempDir dir;
        StackOptions options;
        // Short timers: the transactions of the calls must be gone (64 * T1 after the 2xx, T4
        // after the BYE-less rest) before the heap is read, so only the calls are counted.
        options.transactions.timers.t1 = milliseconds(20);
        options.transactions.timers.t4 = milliseconds(50);
        Server server(options);
        constexpr int kWarm = 20;
        constexpr int kHoldMs = 600000;
        // Warm up: the first calls create the transport's and the tables' lasting state.
        ChildProcess warm(Caller(server.udp.port, 100, kWarm, kHoldMs, dir, "warm"), dir.File("uac-warm.log"));
        WaitUntil([&] { return server.handler.connected >= kWarm; }, seconds(20));
        std::this_thread::sleep_for(milliseconds(2000)); // their transactions end
        const std::size_t before = mallinfo2().uordblks;
        ChildProcess held(Caller(server.udp.port, kRate, kHeld, kHoldMs, dir, "held"), dir.File("uac-held.log"));
        const bool connected = WaitUntil([&] { return server.handler.connected >= kWarm + kHeld; }, seconds(60));
        std::this_thread::sleep_for(milliseconds(2000)); // their transactions end
        const std::size_t after = mallinfo2().uordblks;
        const std::size_t sessions = server.Sessions();
        held.Stop();
        warm.Stop();
        if (!connected) {
            state.SkipWithError("not every call was answered");
            return;
        }
        state.counters["held_calls"] = kHeld;
        state.counters["sessions"] = static_cast<double>(sessions);
        state.counters["heap_bytes_per_call"] = static_cast<double>(after - before) / kHeld;
    }
}
BENCHMARK(BM_HeapPerHeldCall)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

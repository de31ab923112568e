// Non-INVITE transactions per second answered on UDP: SIPp sends OPTIONS (options_uac.xml) at a
// high rate to a transaction user on our stack, and, in the same run and under the same load, to
// three ceilings: SIPp's own UAS (options_uas.xml), kamailio answering statelessly (sl_send_reply)
// and kamailio answering from a server transaction (t_newtran, t_reply). `vs_sipp_uas` is our rate
// divided by SIPp's; `vs_clean_ceiling` is our rate divided by the fastest ceiling that completed
// every transaction (`clean_ceiling` names it: 1 SIPp's UAS, 2 kamailio stateless, 3 kamailio
// stateful, 0 none). A ceiling that did not run reports -1 failed transactions.
// BM_HeapPerPendingTransaction reports the heap bytes one received, unanswered request holds
// (its server transaction, its queue entry and the message).
//
// Needs sipp (Debian package sip-tester); kamailio for its ceilings. Run: build with -DZEL_BUILD_BENCH=ON, then
// ./bench/bench_transaction --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "stack/core/SipStack.h"
#include "stack/transaction/TransactionLayer.h"
#include "stack/transport/Transports.h"
#include "support/Kamailio.h"
#include "support/Process.h"

namespace {

using namespace zel::sip::stack;
using std::chrono::milliseconds;
using zel::sip::test::ChildProcess;
using zel::sip::test::FreePort;
using zel::sip::test::Kamailio;
using zel::sip::test::KamailioOptions;
using zel::sip::test::KamailioRole;
using zel::sip::test::ProgramInstalled;
using zel::sip::test::UdpPortBound;
using zel::sip::test::WaitUntil;

constexpr int kTransactions = 5000;
// Not derived from __FILE__: that path is relative to the build folder and breaks elsewhere.
const std::string kDataDir = ZEL_TEST_DATA_DIR;

struct LoadResult {
    double transactionsPerSecond = 0; // successful ones
    double failed = -1;               // -1: the load did not run to its end

    bool Clean() const noexcept { return failed == 0 && transactionsPerSecond > 0; }
};

/// The cumulative value of the statistics line `name` ("Successful call") in SIPp's last screen.
double LastCounter(const std::string& screens, const std::string& name) {
    const std::size_t line = screens.rfind(name);
    if (line == std::string::npos) {
        return -1;
    }
    const std::size_t end = screens.find('\n', line);
    const std::string text = screens.substr(line, end - line);
    const std::size_t bar = text.rfind('|');
    return bar == std::string::npos ? -1 : std::atof(text.c_str() + bar + 1);
}

/// Runs the OPTIONS client against 127.0.0.1:`port` as fast as 200 transactions in flight allow;
/// nullopt when SIPp did not run to its end.
std::optional<LoadResult> RunOptionsLoad(std::uint16_t port) {
    const std::string screens = "/tmp/zel-transaction-bench-sipp.log";
    const auto started = std::chrono::steady_clock::now();
    std::optional<int> status;
    try {
        ChildProcess client({"sipp", "-sf", kDataDir + "/sipp/options_uac.xml", "-t", "u1", "-i", "127.0.0.1", "-p",
                             std::to_string(FreePort()), "-m", std::to_string(kTransactions), "-r", "20000", "-l",
                             "200", "-timeout", "60s", "-nostdin", "127.0.0.1:" + std::to_string(port)},
                            screens);
        status = client.WaitForExit(milliseconds(90'000));
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!status || (*status != 0 && *status != 1)) { // 1: some transactions failed
        return std::nullopt;
    }
    std::ifstream file(screens);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return LoadResult{LastCounter(text, "Successful call") / seconds, LastCounter(text, "Failed call")};
}

/// Answers every request 200 from its own thread.
class Answerer {
public:
    explicit Answerer(SipStack& stack) : stack_(stack), thread_([this] { Run(); }) {}
    ~Answerer() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run() {
        while (!stop_) {
            auto entry = stack_.Queue().Pop(milliseconds(5));
            if (!entry || entry->kind != TransactionUserMessage::Kind::Request || entry->message->Method() == "ACK") {
                continue;
            }
            const SipMessage& request = *entry->message;
            SipMessage ok = SipMessage::MakeResponse(200, "OK");
            for (HeaderType type :
                 {HeaderType::Via, HeaderType::From, HeaderType::To, HeaderType::CallId, HeaderType::CSeq}) {
                for (std::size_t i = 0; i < request.Count(type); ++i) {
                    ok.Add(type, request.ValueText(type, i));
                }
            }
            if (NameAddr* to = ok.Edit<NameAddr>(HeaderType::To)) {
                to->Params().Set("tag", "bench");
            }
            stack_.SendResponse(entry->transaction, std::move(ok));
        }
    }

    SipStack& stack_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/// The OPTIONS load against kamailio in `role`; a result with failed -1 when it could not be
/// started or SIPp did not finish.
LoadResult RunAgainstKamailio(KamailioRole role) {
    if (!Kamailio::Installed(role)) {
        return {};
    }
    KamailioOptions options;
    options.role = role;
    // One worker per core: the configuration kamailio would be given on this machine.
    options.children = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    try {
        Kamailio kamailio(options);
        return RunOptionsLoad(kamailio.Port()).value_or(LoadResult{});
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "kamailio ceiling not measured: %s\n", error.what());
        return {};
    }
}

void BM_OptionsPerSecond(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    LoadResult ours;
    LoadResult theirs;
    LoadResult stateless;
    LoadResult stateful;
    for (auto _ : state) {
        {
            // Throughput, not overload policy: the congestion manager must not answer 503 while SIPp
            // pushes as hard as it can.
            StackOptions options;
            options.congestionTolerance = std::chrono::seconds(10);
            SipStack stack(options);
            const Tuple local = stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
            Answerer answerer(stack);
            const auto result = RunOptionsLoad(local.port);
            if (!result) {
                state.SkipWithError("sipp did not finish against our stack");
                return;
            }
            ours = *result;
        }
        {
            const std::uint16_t port = FreePort();
            ChildProcess server({"sipp", "-sf", kDataDir + "/sipp/options_uas.xml", "-t", "u1", "-i", "127.0.0.1",
                                 "-p", std::to_string(port), "-nostdin"},
                                "/tmp/zel-transaction-bench-sipp-uas.log");
            if (!WaitUntil([port] { return UdpPortBound(port); }, std::chrono::seconds(10))) {
                state.SkipWithError("sipp's UAS did not bind its port, see /tmp/zel-transaction-bench-sipp-uas.log");
                return;
            }
            // Its UAS cannot absorb a retransmitted request: it may lose transactions, which the
            // failed count shows; a run that did not finish is not a reason to drop the others.
            theirs = RunOptionsLoad(port).value_or(LoadResult{});
        }
        stateless = RunAgainstKamailio(KamailioRole::OptionsStateless);
        stateful = RunAgainstKamailio(KamailioRole::OptionsStateful);
    }
    state.counters["ours_tps"] = ours.transactionsPerSecond;
    state.counters["ours_failed"] = ours.failed;
    state.counters["sipp_uas_tps"] = theirs.transactionsPerSecond;
    state.counters["sipp_uas_failed"] = theirs.failed;
    state.counters["vs_sipp_uas"] =
        theirs.transactionsPerSecond > 0 ? ours.transactionsPerSecond / theirs.transactionsPerSecond : 0;
    state.counters["kam_sl_tps"] = stateless.transactionsPerSecond;
    state.counters["kam_sl_failed"] = stateless.failed;
    state.counters["kam_tm_tps"] = stateful.transactionsPerSecond;
    state.counters["kam_tm_failed"] = stateful.failed;
    int ceiling = 0;
    double ceilingRate = 0;
    const LoadResult* ceilings[] = {&theirs, &stateless, &stateful};
    for (int i = 0; i < 3; ++i) {
        if (ceilings[i]->Clean() && ceilings[i]->transactionsPerSecond > ceilingRate) {
            ceiling = i + 1;
            ceilingRate = ceilings[i]->transactionsPerSecond;
        }
    }
    state.counters["clean_ceiling"] = ceiling;
    state.counters["clean_ceiling_tps"] = ceilingRate;
    state.counters["vs_clean_ceiling"] = ceilingRate > 0 ? ours.transactionsPerSecond / ceilingRate : 0;
}
BENCHMARK(BM_OptionsPerSecond)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_HeapPerPendingTransaction(benchmark::State& state) {
    constexpr int kPending = 2000;
    for (auto _ : state) {
        boost::asio::io_context io;
        SteadyTransactionClock clock;
        TransactionUserQueue queue(clock, {kPending + 10, kPending + 10});
        CongestionManager congestion(std::chrono::hours(1));
        TransactionLayerOptions options;
        options.maxServerTransactions = kPending + 10;
        TransactionLayer layer(io, options, queue, congestion, clock, nullptr);
        TransportOptions transportOptions;
        transportOptions.bindAddress = "127.0.0.1";
        transportOptions.receiver = &layer;
        auto transport = MakeUdpTransport(io, transportOptions);
        layer.AddTransport(transport);
        const Tuple local = transport->LocalTuple();
        boost::asio::ip::udp::socket peer(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        const boost::asio::ip::udp::endpoint to(local.address, local.port);
        io.poll();

        const std::size_t before = mallinfo2().uordblks;
        for (int i = 0; i < kPending; ++i) {
            const std::string request = "OPTIONS sip:bench@127.0.0.1 SIP/2.0\r\n"
                                        "Via: SIP/2.0/UDP 127.0.0.1:" +
                                        std::to_string(peer.local_endpoint().port()) + ";branch=z9hG4bK" +
                                        std::to_string(i) +
                                        ";rport\r\n"
                                        "Max-Forwards: 70\r\n"
                                        "To: <sip:bench@127.0.0.1>\r\n"
                                        "From: <sip:peer@127.0.0.1>;tag=p\r\n"
                                        "Call-ID: heap-" +
                                        std::to_string(i) +
                                        "\r\n"
                                        "CSeq: 1 OPTIONS\r\n"
                                        "Content-Length: 0\r\n\r\n";
            peer.send_to(boost::asio::buffer(request), to);
            if (i % 64 == 63) {
                io.poll();
            }
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (queue.Size() < static_cast<std::size_t>(kPending) && std::chrono::steady_clock::now() < deadline) {
            io.run_one_for(milliseconds(10));
        }
        const std::size_t after = mallinfo2().uordblks;
        state.counters["pending"] = static_cast<double>(layer.ServerTransactionCount());
        state.counters["heap_bytes_per_transaction"] =
            static_cast<double>(after - before) / static_cast<double>(std::max<std::size_t>(1, layer.ServerTransactionCount()));
        layer.Shutdown();
    }
}
BENCHMARK(BM_HeapPerPendingTransaction)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

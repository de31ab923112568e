// Client registrations: heap held per active registration, and registrations per second with digest
// against SIPp's registrar, measured in the same run against SIPp's own client under the same load.
//
// BM_RegistrationsPerSecond: each registration is REGISTER, 401, REGISTER with credentials, 200,
// then the removal with credentials and its 200 (three transactions). SIPp plays the registrar
// (tests/data/sipp/registrar_digest_uas.xml, which verifies every digest); the client is our dialog
// layer, then SIPp's own client (registrar_digest_uac.xml). `vs_sipp_uac` is our rate divided by
// SIPp's.
// BM_HeapPerRegistration: heap bytes one registered binding holds in the whole stack (usage,
// core, authentication state, timers, flow bookkeeping), after its transactions have ended.
//
// Needs sipp (Debian package sip-tester). Run: build with -DZEL_BUILD_BENCH=ON, then
// ./bench/bench_registration --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "stack/core/SipStack.h"
#include "stack/dum/ClientRegistration.h"
#include "stack/dum/DialogSet.h"
#include "stack/dum/DialogUsageManager.h"
#include "stack/dum/DumThread.h"
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

// Not derived from __FILE__: with ccache's base folder that path is relative to the build folder,
// SIPp then finds no scenario and every run was skipped.
const std::string kDataDir = ZEL_TEST_DATA_DIR;
constexpr int kRegistrations = 2000;
constexpr int kInFlight = 100;

/// Ends each registration as soon as it succeeds, and counts removals; starts new ones while
/// fewer than kInFlight are under way.
class ChurningHandler final : public ClientRegistrationHandler {
public:
    std::atomic<int> removed{0};
    std::atomic<int> failed{0};
    std::function<void()> next;

    void onSuccess(ClientRegistrationHandle registration, const SipMessage&) override { registration->End(); }
    void onRemoved(ClientRegistrationHandle, const SipMessage&) override {
        ++removed;
        if (next) {
            next();
        }
    }
    int onRequestRetry(ClientRegistrationHandle, int, const SipMessage&) override { return -1; }
    void onFailure(ClientRegistrationHandle, const SipMessage&) override {
        ++failed;
        if (next) {
            next();
        }
    }
};

/// A dialog layer on its own stack, torn down in order.
struct Client {
    explicit Client(ClientRegistrationHandler& handler, StackOptions options = {}) : stack(options) {
        stack.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
        manager = std::make_unique<DialogUsageManager>(stack, thread);
        profile = std::make_shared<MasterProfile>();
        profile->AddDigestCredential(DigestCredential{"sipp.test", "alice", "secret"});
        manager->SetMasterProfile(profile);
        manager->SetClientRegistrationHandler(&handler);
        thread.Start();
    }
    ~Client() {
        struct Done final : DumShutdownHandler {
            std::promise<void> promise;
            void onDumCanBeDeleted() override { promise.set_value(); }
        } done;
        manager->Shutdown(done);
        done.promise.get_future().wait_for(std::chrono::seconds(40));
        thread.Stop();
        thread.Join();
        manager.reset();
        stack.Shutdown();
    }

    SipStack stack;
    DumThread thread;
    std::unique_ptr<DialogUsageManager> manager;
    std::shared_ptr<MasterProfile> profile;
};

/// Registrations per second of SIPp's own client against a fresh SIPp registrar; nullopt when
/// SIPp did not finish cleanly.
std::optional<double> SippClientRate(const TempDir& dir) {
    const std::uint16_t port = FreePort();
    ChildProcess server({"sipp", "-sf", kDataDir + "/sipp/registrar_digest_uas.xml", "-i", "127.0.0.1", "-p",
                         std::to_string(port), "-nostdin", "-m", std::to_string(kRegistrations)},
                        dir.File("uas-sipp.log"));
    if (!WaitUntil([&] { return UdpPortBound(port); }, std::chrono::seconds(10))) {
        return std::nullopt;
    }
    const auto started = std::chrono::steady_clock::now();
    ChildProcess client({"sipp", "-sf", kDataDir + "/sipp/registrar_digest_uac.xml", "-i", "127.0.0.1", "-p",
                         std::to_string(FreePort()), "-m", std::to_string(kRegistrations), "-r", "20000", "-l",
                         std::to_string(kInFlight), "-timeout", "120s", "-nostdin",
                         "127.0.0.1:" + std::to_string(port)},
                        dir.File("uac-sipp.log"));
    const std::optional<int> status = client.WaitForExit(std::chrono::seconds(150));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!status || *status != 0) {
        return std::nullopt;
    }
    return kRegistrations / seconds;
}

/// Registrations per second of our dialog layer against a fresh SIPp registrar.
std::optional<double> OurRate(const TempDir& dir, int& failures) {
    const std::uint16_t port = FreePort();
    ChildProcess server({"sipp", "-sf", kDataDir + "/sipp/registrar_digest_uas.xml", "-i", "127.0.0.1", "-p",
                         std::to_string(port), "-nostdin", "-m", std::to_string(kRegistrations)},
                        dir.File("uas-ours.log"));
    if (!WaitUntil([&] { return UdpPortBound(port); }, std::chrono::seconds(10))) {
        return std::nullopt;
    }
    ChurningHandler handler;
    Client client(handler);
    const NameAddr aor = NameAddr::Parse("<sip:alice@127.0.0.1:" + std::to_string(port) + ">");
    std::atomic<int> started{0};
    auto startOne = [&] {
        if (started.fetch_add(1) < kRegistrations) {
            client.manager->SendCommand(client.manager->MakeRegistration(aor, client.profile, 600));
        }
    };
    handler.next = startOne; // runs on the dialog thread
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kInFlight; ++i) {
        startOne();
    }
    const bool finished = WaitUntil([&] { return handler.removed + handler.failed >= kRegistrations; },
                                    std::chrono::seconds(150));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    failures = handler.failed;
    handler.next = nullptr;
    if (!finished) {
        return std::nullopt;
    }
    return handler.removed / seconds;
}

void BM_RegistrationsPerSecond(benchmark::State& state) {
    if (!ProgramInstalled("sipp")) {
        state.SkipWithError("sipp is not installed");
        return;
    }
    double ours = 0;
    double theirs = 0;
    int failures = 0;
    for (auto _ : state) {
        TempDir dir;
        const auto our = OurRate(dir, failures);
        const auto their = SippClientRate(dir);
        if (!our) {
            state.SkipWithError("the registrations against SIPp's registrar did not finish");
            return;
        }
        if (!their) {
            state.SkipWithError("SIPp's own client did not finish cleanly against its registrar");
            return;
        }
        ours = *our;
        theirs = *their;
    }
    state.counters["ours_per_s"] = ours;
    state.counters["ours_failed"] = failures;
    state.counters["sipp_uac_per_s"] = theirs;
    state.counters["vs_sipp_uac"] = theirs > 0 ? ours / theirs : 0;
}
BENCHMARK(BM_RegistrationsPerSecond)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

/// Answers every REGISTER 200, echoing its Contacts with expires=3600.
class Registrar {
public:
    Registrar() : stack_(Options()), thread_([this] { Run(); }) {
        local_ = stack_.AddTransport(TransportType::UDP, IpVersion::V4, "127.0.0.1", 0);
    }
    ~Registrar() {
        stop_ = true;
        thread_.join();
        stack_.Shutdown();
    }
    std::uint16_t Port() const { return local_.port; }

private:
    static StackOptions Options() {
        StackOptions options;
        options.congestionTolerance = std::chrono::seconds(10);
        // The registrar shares the process: its server transactions must be gone (timer J is
        // 64 * T1) before the heap is read, so that only the client's state is counted.
        options.transactions.timers.t1 = milliseconds(5);
        return options;
    }
    void Run() {
        while (!stop_) {
            auto entry = stack_.Queue().Pop(milliseconds(5));
            if (!entry || entry->kind != TransactionUserMessage::Kind::Request) {
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
            if (const NameAddr* contact = request.Peek<NameAddr>(HeaderType::Contact)) {
                NameAddr echoed = *contact;
                echoed.Params().SetUInt32("expires", 3600);
                ok.Add(HeaderType::Contact, echoed);
            }
            stack_.SendResponse(entry->transaction, std::move(ok));
        }
    }

    SipStack stack_;
    Tuple local_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class CountingHandler final : public ClientRegistrationHandler {
public:
    std::atomic<int> succeeded{0};
    void onSuccess(ClientRegistrationHandle, const SipMessage&) override { ++succeeded; }
    void onRemoved(ClientRegistrationHandle, const SipMessage&) override {}
    int onRequestRetry(ClientRegistrationHandle, int, const SipMessage&) override { return -1; }
    void onFailure(ClientRegistrationHandle, const SipMessage&) override {}
};

void BM_HeapPerRegistration(benchmark::State& state) {
    constexpr int kCount = 1000;
    for (auto _ : state) {
        Registrar registrar;
        CountingHandler handler;
        StackOptions options;
        options.transactions.timers.t4 = milliseconds(50); // completed client transactions go quickly
        Client client(handler, options);
        const NameAddr aor = NameAddr::Parse("<sip:alice@127.0.0.1:" + std::to_string(registrar.Port()) + ">");
        auto profile = std::make_shared<UserProfile>(*client.profile); // one profile, shared: not counted
        // Warm up: the first registration creates the transport's and the tables' lasting state.
        client.manager->SendCommand(client.manager->MakeRegistration(aor, profile, 3600));
        WaitUntil([&] { return handler.succeeded >= 1; }, std::chrono::seconds(10));
        std::this_thread::sleep_for(milliseconds(800));
        const std::size_t before = mallinfo2().uordblks;
        for (int i = 0; i < kCount; ++i) {
            client.manager->SendCommand(client.manager->MakeRegistration(aor, profile, 3600));
        }
        WaitUntil([&] { return handler.succeeded >= kCount + 1; }, std::chrono::seconds(60));
        std::this_thread::sleep_for(milliseconds(800)); // transactions end (timers K and J)
        const std::size_t after = mallinfo2().uordblks;
        state.counters["registered"] = handler.succeeded - 1;
        state.counters["heap_bytes_per_registration"] =
            static_cast<double>(after - before) / static_cast<double>(std::max(1, handler.succeeded - 1));
    }
}
BENCHMARK(BM_HeapPerRegistration)->Iterations(1)->UseRealTime();

/// Heap held by a confirmed dialog (with its dialog set and the INVITE it keeps), built from an
/// INVITE and a 200 with a two-entry Record-Route as a call through an SBC has.
void BM_HeapPerDialog(benchmark::State& state) {
    constexpr int kCount = 2000;
    for (auto _ : state) {
        std::vector<std::unique_ptr<DialogSet>> sets;
        sets.reserve(kCount);
        const std::size_t before = mallinfo2().uordblks;
        for (int i = 0; i < kCount; ++i) {
            const std::string id = std::to_string(i);
            const std::string invite = "INVITE sip:bob@192.0.2.20 SIP/2.0\r\n"
                                       "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-" + id + "\r\n"
                                       "From: <sip:alice@example.com>;tag=local-" + id + "\r\n"
                                       "To: <sip:bob@example.net>\r\n"
                                       "Call-ID: call-" + id + "@192.0.2.10\r\n"
                                       "CSeq: 1 INVITE\r\n"
                                       "Contact: <sip:alice@192.0.2.10:5060>\r\n"
                                       "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
            const std::string ok = "SIP/2.0 200 OK\r\n"
                                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-" + id + "\r\n"
                                   "Record-Route: <sip:sbc1.example.net;lr>, <sip:sbc2.example.net;lr>\r\n"
                                   "From: <sip:alice@example.com>;tag=local-" + id + "\r\n"
                                   "To: <sip:bob@example.net>;tag=remote-" + id + "\r\n"
                                   "Call-ID: call-" + id + "@192.0.2.10\r\n"
                                   "CSeq: 1 INVITE\r\n"
                                   "Contact: <sip:bob@192.0.2.20:5060>\r\nContent-Length: 0\r\n\r\n";
            auto set = std::make_unique<DialogSet>(SipMessage::Parse(invite));
            set->OnResponse(SipMessage::Parse(ok));
            sets.push_back(std::move(set));
        }
        const std::size_t after = mallinfo2().uordblks;
        state.counters["heap_bytes_per_dialog"] = static_cast<double>(after - before) / kCount;
    }
}
BENCHMARK(BM_HeapPerDialog)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

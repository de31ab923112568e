// What the thread shape alone costs a call, with no SIP work at all: the floor under the CPU per
// call of bench_capi_call.
//
// A caller on this thread plays a call's messages over UDP loopback the way SIPp's `-sn uac` does:
// INVITE, wait for the answer, ACK and BYE, wait for the answer; kRate calls/s for kSeconds. The
// server is one of two shapes, each doing nothing but receive, hand over and send a 500-byte datagram:
//   BM_HandOffFloor/1: one loop receives each message and answers it itself (SIPp's UAS shape);
//   BM_HandOffFloor/2: an event loop receives and posts each message to a second loop on its own
//     thread, which posts each answer back to the event loop to be sent (the stack's event thread
//     and the dialog thread).
// cpu_us_per_call: CPU time of the server's threads (CLOCK_THREAD_CPUTIME_ID) per call.
// switches_per_call: their voluntary context switches (wake-ups) per call.
//
// Run: build with -DZEL_BUILD_BENCH=ON, then ./bench/bench_handoff --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

constexpr int kRate = 500;
constexpr int kSeconds = 5;
constexpr std::size_t kMessageSize = 500;

struct ThreadCost {
    double cpuSeconds = 0;
    long switches = 0;

    static ThreadCost Now() {
        timespec cpu{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        return {static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9, usage.ru_nvcsw};
    }
    ThreadCost operator-(const ThreadCost& other) const {
        return {cpuSeconds - other.cpuSeconds, switches - other.switches};
    }
    ThreadCost operator+(const ThreadCost& other) const {
        return {cpuSeconds + other.cpuSeconds, switches + other.switches};
    }
};

/// One loop on its own thread; Cost() is what the thread spent between Start and Stop.
class Loop {
public:
    Loop() : thread_([this] { context_.run(); }) {}
    ~Loop() {
        guard_.reset();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    asio::io_context& Context() { return context_; }
    void Start() { asio::post(context_, [this] { start_ = ThreadCost::Now(); }); }
    void Stop() {
        asio::post(context_, [this] { cost_ = ThreadCost::Now() - start_; });
        guard_.reset();
        thread_.join();
    }
    ThreadCost Cost() const { return cost_; }

private:
    asio::io_context context_{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_{context_.get_executor()};
    ThreadCost start_;
    ThreadCost cost_;
    std::thread thread_;
};

/// The server: answers the INVITE ('I') and the BYE ('B'), takes the ACK ('A') silently.
class Server {
public:
    explicit Server(bool twoLoops)
        : twoLoops_(twoLoops), socket_(event_.Context(), udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        if (twoLoops_) {
            dialog_.emplace();
        }
        Receive();
        event_.Start();
        if (dialog_) {
            dialog_->Start();
        }
    }
    udp::endpoint Endpoint() const { return socket_.local_endpoint(); }
    ThreadCost Stop() {
        asio::post(event_.Context(), [this] { socket_.close(); });
        event_.Stop();
        ThreadCost cost = event_.Cost();
        if (dialog_) {
            dialog_->Stop();
            cost = cost + dialog_->Cost();
        }
        return cost;
    }

private:
    void Receive() {
        socket_.async_receive_from(asio::buffer(buffer_), peer_, [this](boost::system::error_code error, std::size_t) {
            if (error) {
                return;
            }
            const char kind = buffer_[0];
            if (!dialog_) {
                Answer(kind);
            } else {
                asio::post(dialog_->Context(), [this, kind] {
                    if (kind != 'A') {
                        asio::post(event_.Context(), [this, kind] { Answer(kind); });
                    }
                });
            }
            Receive();
        });
    }
    void Answer(char kind) {
        if (kind == 'A') {
            return;
        }
        std::array<char, kMessageSize> answer{};
        answer[0] = kind;
        boost::system::error_code ignored;
        socket_.send_to(asio::buffer(answer), peer_, 0, ignored);
    }

    bool twoLoops_;
    Loop event_;
    std::optional<Loop> dialog_;
    udp::socket socket_;
    udp::endpoint peer_;
    std::array<char, 2048> buffer_{};
};

void BM_HandOffFloor(benchmark::State& state) {
    const bool twoLoops = state.range(0) == 2;
    ThreadCost cost;
    int calls = 0;
    for (auto _ : state) {
        Server server(twoLoops);
        asio::io_context context;
        udp::socket caller(context, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        std::array<char, kMessageSize> message{};
        std::array<char, 2048> answer{};
        const auto send = [&](char kind) {
            message[0] = kind;
            caller.send_to(asio::buffer(message), server.Endpoint());
        };
        const auto started = std::chrono::steady_clock::now();
        for (calls = 0; calls < kRate * kSeconds; ++calls) {
            std::this_thread::sleep_until(started + calls * std::chrono::microseconds(1'000'000 / kRate));
            send('I');
            caller.receive(asio::buffer(answer));
            send('A');
            send('B');
            caller.receive(asio::buffer(answer));
        }
        cost = server.Stop();
    }
    state.counters["cpu_us_per_call"] = cost.cpuSeconds * 1e6 / calls;
    state.counters["switches_per_call"] = static_cast<double>(cost.switches) / calls;
}
BENCHMARK(BM_HandOffFloor)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

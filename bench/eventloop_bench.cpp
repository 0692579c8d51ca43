// Latencies of the event loop: how late a due timer runs after its expiration, and how long a functor
// queued from another thread waits until it runs, first on an idle machine, then with the other core kept
// busy by a spinning thread of this program (timers of random delays, 0 to 50 ms, many armed at once). The
// library's protocol timers (start_timer_a_doip_ctrl) are measured the same way under load. Each
// iteration's latency, or a round's mean, is the manual time; the counters give the median, the 99th
// percentile and the maximum in microseconds.
#include "bench_support.h"
#include "doip.h"
#include "uilitylib.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using uilitylib::addTime;
using uilitylib::EventLoop;
using uilitylib::Latch;
using uilitylib::ThreadEventLoop;
using uilitylib::Timestamp;

namespace {

double microsBetween(Timestamp from, Timestamp to) {
    return static_cast<double>(to.microSecondsSinceEpoch() - from.microSecondsSinceEpoch());
}

bool g_smoke = false;

void reportDistribution(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    state.counters["max_us"] = samples.back();
}

// A thread that spins for as long as the object lives: on a two-core machine, the other core is busy.
class BusyCore {
  public:
    BusyCore()
        : thread_([this] {
              uint64_t spins = 0;
              while (!stop_.load(std::memory_order_relaxed)) {
                  benchmark::DoNotOptimize(++spins);
              }
          }) {}
    ~BusyCore() {
        stop_ = true;
        thread_.join();
    }
    BusyCore(const BusyCore&) = delete;
    BusyCore& operator=(const BusyCore&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

constexpr int kTimersPerRound = 50;
constexpr int kMaxDelayMs = 50;

// Argument: the timer's delay in milliseconds.
void BM_TimerLateness(benchmark::State& state) {
    ThreadEventLoop owner(ThreadEventLoop::ThreadInitCallback(), "bench_timer_loop");
    EventLoop* loop = owner.startLoop();
    const double delaySeconds = static_cast<double>(state.range(0)) / 1000.0;
    std::vector<double> lateness;
    for (auto _ : state) {
        Latch fired(1);
        Timestamp ranAt;
        const Timestamp expiration = addTime(Timestamp::now(), delaySeconds);
        loop->runAt(expiration, [&] {
            ranAt = Timestamp::now();
            fired.countDown();
        });
        fired.wait();
        const double late = microsBetween(expiration, ranAt);
        lateness.push_back(late);
        state.SetIterationTime(late / 1e6);
    }
    reportDistribution(state, std::move(lateness));
}

// Each round arms kTimersPerRound timers with random delays of 0 to 50 ms at once and waits for all; the
// lateness of every timer is a sample. Argument: 1 with the other core busy.
void BM_TimerLatenessRandom0To50ms(benchmark::State& state) {
    std::unique_ptr<BusyCore> busy(state.range(0) != 0 ? new BusyCore : nullptr);
    ThreadEventLoop owner(ThreadEventLoop::ThreadInitCallback(), "bench_timer_loop");
    EventLoop* loop = owner.startLoop();
    std::mt19937 random(13400);
    std::uniform_int_distribution<int> delayUs(0, kMaxDelayMs * 1000);
    std::vector<double> lateness;
    for (auto _ : state) {
        Latch fired(kTimersPerRound);
        std::vector<Timestamp> expirations(kTimersPerRound);
        std::vector<Timestamp> ranAt(kTimersPerRound);
        const Timestamp now = Timestamp::now();
        for (int i = 0; i < kTimersPerRound; ++i) {
            expirations[static_cast<size_t>(i)] = addTime(now, delayUs(random) / 1e6);
            loop->runAt(expirations[static_cast<size_t>(i)], [&, i] {
                ranAt[static_cast<size_t>(i)] = Timestamp::now();
                fired.countDown();
            });
        }
        fired.wait();
        double sum = 0;
        for (size_t i = 0; i < expirations.size(); ++i) {
            const double late = microsBetween(expirations[i], ranAt[i]);
            lateness.push_back(late);
            sum += late;
        }
        state.SetIterationTime(sum / kTimersPerRound / 1e6);
    }
    reportDistribution(state, std::move(lateness));
}

// The library's protocol timers (A_DoIP_Ctrl kind) under load, as the timers above: each callback notes
// when it ran; each timer is deleted after its round.
struct ProtocolTimerSample {
    Timestamp expiration;
    Timestamp ranAt;
    Latch* fired = nullptr;
};

void protocolTimerFired(void* arg) {
    auto* sample = static_cast<ProtocolTimerSample*>(arg);
    sample->ranAt = Timestamp::now();
    sample->fired->countDown();
}

void BM_ProtocolTimerLatenessBusyCore(benchmark::State& state) {
    BusyCore busy;
    doip_s ctx;
    doip_init(&ctx);
    std::mt19937 random(13401);
    std::uniform_int_distribution<int> delayUs(0, kMaxDelayMs * 1000);
    std::vector<double> lateness;
    int failures = 0;
    for (auto _ : state) {
        Latch fired(kTimersPerRound);
        std::vector<ProtocolTimerSample> samples(kTimersPerRound);
        for (ProtocolTimerSample& sample : samples) {
            const double delayMs = delayUs(random) / 1000.0;
            sample.fired = &fired;
            sample.expiration = addTime(Timestamp::now(), delayMs / 1000.0);
            if (start_timer_a_doip_ctrl(&ctx, delayMs, &protocolTimerFired, &sample) != DOIP_OK) {
                ++failures;
                fired.countDown();
            }
        }
        fired.wait();
        for (int i = 0; i < kTimersPerRound; ++i) {
            delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL);
        }
        double sum = 0;
        for (const ProtocolTimerSample& sample : samples) {
            const double late = microsBetween(sample.expiration, sample.ranAt);
            lateness.push_back(late);
            sum += late;
        }
        state.SetIterationTime(sum / kTimersPerRound / 1e6);
    }
    if (failures != 0) {
        state.SkipWithError("a protocol timer could not be started");
        return;
    }
    reportDistribution(state, std::move(lateness));
}

// Argument: 1 with the other core busy.
void BM_QueueInLoopLatency(benchmark::State& state) {
    std::unique_ptr<BusyCore> busy(state.range(0) != 0 ? new BusyCore : nullptr);
    ThreadEventLoop owner(ThreadEventLoop::ThreadInitCallback(), "bench_functor_loop");
    EventLoop* loop = owner.startLoop();
    std::vector<double> latency;
    for (auto _ : state) {
        // Let the loop go back to its idle wait; not part of the measured time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Latch ran(1);
        Timestamp ranAt;
        const Timestamp queuedAt = Timestamp::now();
        loop->queueInLoop([&] {
            ranAt = Timestamp::now();
            ran.countDown();
        });
        ran.wait();
        const double wait = microsBetween(queuedAt, ranAt);
        latency.push_back(wait);
        state.SetIterationTime(wait / 1e6);
    }
    reportDistribution(state, std::move(latency));
}
}  // namespace

int main(int argc, char** argv) {
    g_smoke = doip_bench::smoke_run(argc, argv);
    const auto manual = [](benchmark::internal::Benchmark* b, int64_t iterations) {
        b->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMicrosecond);
    };
    manual(benchmark::RegisterBenchmark("BM_TimerLateness", BM_TimerLateness)->Arg(5), g_smoke ? 20 : 300);
    manual(benchmark::RegisterBenchmark("BM_TimerLateness", BM_TimerLateness)->Arg(50), g_smoke ? 3 : 60);
    manual(
        benchmark::RegisterBenchmark("BM_QueueInLoopLatency", BM_QueueInLoopLatency)->ArgName("busy")->Arg(0),
        g_smoke ? 50 : 1000);
    manual(benchmark::RegisterBenchmark("BM_TimerLatenessRandom0To50ms", BM_TimerLatenessRandom0To50ms)
               ->ArgName("busy")
               ->Arg(1),
           g_smoke ? 2 : 40);
    manual(
        benchmark::RegisterBenchmark("BM_QueueInLoopLatency", BM_QueueInLoopLatency)->ArgName("busy")->Arg(1),
        g_smoke ? 50 : 1000);
    manual(benchmark::RegisterBenchmark("BM_ProtocolTimerLatenessBusyCore", BM_ProtocolTimerLatenessBusyCore),
           g_smoke ? 2 : 20);
    return doip_bench::run_registered(argc, argv);
}

// Latencies of the event loop on an idle loop thread: how late a due timer runs after its expiration, and
// how long a functor queued from another thread waits until it runs. Each iteration's latency is the
// manual time; the counters give the median, the 99th percentile and the maximum in microseconds.
#include "uilitylib.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
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

void reportDistribution(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    state.counters["max_us"] = samples.back();
}

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
BENCHMARK(BM_TimerLateness)->Arg(5)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TimerLateness)->Arg(50)->Iterations(60)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_QueueInLoopLatency(benchmark::State& state) {
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
BENCHMARK(BM_QueueInLoopLatency)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// Latency of a reply hand-over: from doip_append_eth_message on a receive thread to the return of a
// doip_wait_message that blocks on another thread, beside its floor measured in the same iterations: a bare
// mutex + condition variable hand-off between two threads. Each iteration's latency is the manual time; the
// counters give the median, the 99th percentile and the maximum in microseconds, the floor's median and
// 99th percentile, and the ratio of the medians.
//
// A reference row measures, the same way, the wait that polls instead: the waiter takes from the default
// queue with doip_get_message and sleeps 10 ms whenever it is empty. It shows what the blocking wait saves.
#include "bench_support.h"
#include "doip.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// Appends `msg` and waits until the waiter has counted another round: the microseconds from the append to
// the moment the waiter stamped into `returned_at`.
double timed_append(const doip_message_s& msg, const std::atomic<int>& rounds,
                    const std::atomic<int64_t>& returned_at) {
    const int before = rounds;
    const auto appended = Clock::now();
    doip_append_eth_message(&msg);
    while (rounds == before) {
        std::this_thread::yield();
    }
    return micros(Clock::duration(returned_at.load() - appended.time_since_epoch().count()));
}

// The floor: a thread blocked on a condition variable, woken by a flag set under the mutex.
class CondvarHandOff {
  public:
    CondvarHandOff() : waiter_([this] { run(); }) {}
    ~CondvarHandOff() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        waiter_.join();
    }
    // One hand-off to a waiter that has blocked: from the notify to the waiter's return.
    double sample_us() {
        while (!waiting_) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        const int before = rounds_;
        const auto handed = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_ = true;
            waiting_ = false;
        }
        cv_.notify_one();
        while (rounds_ == before) {
            std::this_thread::yield();
        }
        return micros(Clock::duration(returned_at_.load() - handed.time_since_epoch().count()));
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            waiting_ = true;
            cv_.wait(lock, [this] { return ready_ || stop_; });
            returned_at_ = Clock::now().time_since_epoch().count();
            ready_ = false;
            ++rounds_;
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool ready_ = false;
    bool stop_ = false;
    std::atomic<bool> waiting_{false};
    std::atomic<int64_t> returned_at_{0};
    std::atomic<int> rounds_{0};
    std::thread waiter_;
};

void BM_AppendToWaitReturn(benchmark::State& state) {
    doip_s ctx;
    doip_init(&ctx);
    ctx.t_tcp_initial_inactivity_ms = 5000;
    const uint8_t reply[] = {0x02, 0xFD, 0x80, 0x02, 0x00, 0x00, 0x00, 0x05, 0x0C, 0xE1, 0x0E, 0xF5, 0x00};
    const uint8_t prefix[] = {0x02, 0xFD, 0x80, 0x02};

    std::atomic<bool> waiting{false};
    std::atomic<bool> stop{false};
    std::atomic<int64_t> returned_at{0};
    std::atomic<int> rounds{0};
    std::thread waiter([&] {
        while (!stop) {
            doip_message_s pattern{};
            doip_message_init(&pattern, prefix, sizeof prefix);
            waiting = true;
            const int rc = doip_wait_message(1, &ctx, &pattern);
            returned_at = Clock::now().time_since_epoch().count();
            doip_message_destory(&pattern);
            if (rc == DOIP_OK) {
                ++rounds;
            }
        }
    });

    std::vector<double> latencies;
    std::vector<double> floors;
    CondvarHandOff floor;
    doip_message_s msg{};
    msg.data = const_cast<uint8_t*>(reply);
    msg.length = sizeof reply;
    for (auto _ : state) {
        while (!waiting) {
            std::this_thread::yield();
        }
        waiting = false;
        // Give the waiter time to block, so every sample includes the wake-up.
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        const double latency = timed_append(msg, rounds, returned_at);
        latencies.push_back(latency);
        state.SetIterationTime(latency / 1e6);
        floors.push_back(floor.sample_us());
    }
    stop = true;
    doip_append_eth_message(&msg);
    waiter.join();
    doip_clear_message(0);

    std::sort(latencies.begin(), latencies.end());
    std::sort(floors.begin(), floors.end());
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["max_us"] = latencies.back();
    state.counters["floor_median_us"] = floors[floors.size() / 2];
    state.counters["floor_p99_us"] = floors[floors.size() * 99 / 100];
    state.counters["ratio"] =
        floors[floors.size() / 2] > 0 ? latencies[latencies.size() / 2] / floors[floors.size() / 2] : 0;
}
// The reference: a waiter that polls the default queue every 10 ms.
void BM_AppendToPollingWaitReturn(benchmark::State& state) {
    constexpr auto kPollInterval = std::chrono::milliseconds(10);
    const uint8_t reply[] = {0x02, 0xFD, 0x80, 0x02, 0x00, 0x00, 0x00, 0x05, 0x0C, 0xE1, 0x0E, 0xF5, 0x00};
    doip_clear_message(0);

    std::atomic<bool> waiting{false};
    std::atomic<bool> stop{false};
    std::atomic<int64_t> returned_at{0};
    std::atomic<int> rounds{0};
    std::thread waiter([&] {
        doip_message_s taken{};
        while (!stop) {
            waiting = true;
            while (!stop && doip_get_message(&taken, nullptr) != DOIP_OK) {
                std::this_thread::sleep_for(kPollInterval);
            }
            returned_at = Clock::now().time_since_epoch().count();
            ++rounds;
        }
        doip_message_destory(&taken);
    });

    std::vector<double> latencies;
    std::vector<double> floors;
    CondvarHandOff floor;
    doip_message_s msg{};
    msg.data = const_cast<uint8_t*>(reply);
    msg.length = sizeof reply;
    std::mt19937 random(13400);
    std::uniform_int_distribution<int> phase(0, 9999);  // microseconds
    for (auto _ : state) {
        while (!waiting) {
            std::this_thread::yield();
        }
        waiting = false;
        // The reply comes at any moment of the waiter's poll interval, not in step with it.
        std::this_thread::sleep_for(std::chrono::microseconds(300 + phase(random)));
        const double latency = timed_append(msg, rounds, returned_at);
        latencies.push_back(latency);
        state.SetIterationTime(latency / 1e6);
        floors.push_back(floor.sample_us());
    }
    stop = true;
    waiter.join();
    doip_clear_message(0);

    state.counters["median_us"] = doip_bench::median(latencies);
    state.counters["p99_us"] = doip_bench::percentile(latencies, 0.99);
    state.counters["max_us"] = doip_bench::percentile(latencies, 1.0);
    state.counters["floor_median_us"] = doip_bench::median(floors);
    state.counters["floor_p99_us"] = doip_bench::percentile(floors, 0.99);
    state.counters["ratio"] =
        doip_bench::median(floors) > 0 ? doip_bench::median(latencies) / doip_bench::median(floors) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = doip_bench::smoke_run(argc, argv);
    benchmark::RegisterBenchmark("BM_AppendToWaitReturn", BM_AppendToWaitReturn)
        ->Iterations(smoke ? 100 : 2000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_AppendToPollingWaitReturn", BM_AppendToPollingWaitReturn)
        ->Iterations(smoke ? 10 : 150)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    return doip_bench::run_registered(argc, argv);
}

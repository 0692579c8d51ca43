// Latency of a reply hand-over: from doip_append_eth_message on a receive thread to the return of a
// doip_wait_message that blocks on another thread. Each iteration's latency is the manual time; the
// counters give the median, the 99th percentile and the maximum in microseconds.
#include "doip.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

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
        const int before = rounds;
        const auto appended = Clock::now();
        doip_append_eth_message(&msg);
        while (rounds == before) {
            std::this_thread::yield();
        }
        const auto latency = Clock::duration(returned_at.load() - appended.time_since_epoch().count());
        const double micros = std::chrono::duration<double, std::micro>(latency).count();
        latencies.push_back(micros);
        state.SetIterationTime(micros / 1e6);
    }
    stop = true;
    doip_append_eth_message(&msg);
    waiter.join();
    doip_clear_message(0);

    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["max_us"] = latencies.back();
}
BENCHMARK(BM_AppendToWaitReturn)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

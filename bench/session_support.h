// What the benchmarks of the tester's path share: an in-process simulator (plain, or with its TLS port),
// tester options per connection, eight connections run together, and the rates reported as figure, floor
// and ratio.
#ifndef DOIP_BENCH_SESSION_SUPPORT_H
#define DOIP_BENCH_SESSION_SUPPORT_H

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "session.h"
#include "simulator.h"

namespace doip_bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

constexpr uint16_t kEntity = 0x0CE1;
constexpr int kConnections = 8;
inline const std::vector<uint8_t> kTesterPresent = {0x3E, 0x00};

// A simulator on an ephemeral port of 127.0.0.1, TCP only, quiet; with `tls` also on an ephemeral TLS port.
class BenchSimulator {
  public:
    explicit BenchSimulator(const doip_tools::SimulatorTls& tls = {}) : simulator_(options(tls)) {
        started_ = simulator_.start(&error_);
    }
    bool started() const { return started_; }
    const std::string& error() const { return error_; }
    uint16_t port() const { return simulator_.port(); }
    uint16_t tls_port() const { return simulator_.tls_port(); }
    // Until the entity has let go of every connection closed before (its threads see the close), so that
    // a source address is free again for the next activation.
    bool settle(size_t open) const {
        return simulator_.wait_for_open_connections(open, std::chrono::seconds(2));
    }

  private:
    static doip_tools::SimulatorOptions options(const doip_tools::SimulatorTls& tls) {
        doip_tools::SimulatorOptions o;
        o.udp = false;
        o.max_sockets = 32;
        o.tls = tls;
        return o;
    }
    doip_tools::Simulator simulator_;
    std::string error_;
    bool started_ = false;
};

inline bool positive(const doip_tools::UdsExchange& x) {
    return x.outcome == doip_tools::UdsExchange::Outcome::positive;
}

inline doip_tools::TesterOptions tester_options(uint16_t port, int index) {
    doip_tools::TesterOptions o;
    o.port = port;
    o.channel = static_cast<uint8_t>(index + 1);
    o.source_address = static_cast<uint16_t>(0x0E00 + index);
    // Distinct local addresses: distinct connection keys, although activations close together may draw
    // the same local port.
    o.local_address = "127.0.0." + std::to_string(index + 2);
    o.timeout_ms = 1000;
    return o;
}

// The medians of the figure's and the floor's samples as counters figure_<unit> and floor_<unit> ("per_s",
// "us"), and ratio = figure / floor.
inline void report_medians(benchmark::State& state, const std::vector<double>& figures,
                           const std::vector<double>& floors, const std::string& unit) {
    const double figure = median(figures);
    const double floor = median(floors);
    state.counters["figure_" + unit] = figure;
    state.counters["floor_" + unit] = floor;
    state.counters["ratio"] = floor > 0 ? figure / floor : 0;
}

inline void report_rates(benchmark::State& state, const std::vector<double>& figures,
                         const std::vector<double>& floors) {
    report_medians(state, figures, floors, "per_s");
}

// Runs `work(i)` on kConnections threads that start together; the time from the start to the last end.
template <typename Work>
Clock::duration in_parallel(Work work) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go) {
                std::this_thread::yield();
            }
            work(i);
        });
    }
    while (ready < kConnections) {
        std::this_thread::yield();
    }
    const auto begin = Clock::now();
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    return Clock::now() - begin;
}

}  // namespace doip_bench

#endif

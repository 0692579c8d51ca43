// The tester's path through the library and the socket layer against a raw client of the same entity
// simulator, measured side by side in the same process:
// - sequential UDS exchanges (3E 00) on one connection: a doip_tools::Session against a blocking TCP socket
//   that writes the diagnostic message itself and reads the acknowledgement and the response by their
//   header lengths; blocks of exchanges alternate between the two, and each side's figure is the median of
//   its blocks' exchanges per second;
// - the same on eight connections at once, eight Sessions on eight threads against eight raw clients on
//   eight threads: aggregate exchanges per second;
// - routing activation: the doip_activate call (socket layer installed) against connect, one routing
//   activation request and its response on a raw socket.
// Counters: figure and floor (per second, or microseconds for the activation) and ratio = figure / floor.
// The simulator runs in this process on an ephemeral 127.0.0.1 port, without logging. Linux only.
#include "raw_client.h"
#include "session_support.h"
#include "doip.h"
#include "session.h"
#include "simulator.h"
#include "socket_layer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace doip_bench;  // NOLINT(google-build-using-namespace): the benchmarks' own helpers

bool g_smoke = false;

// Raw clients use source addresses the Sessions do not.
uint16_t raw_source(int index) {
    return static_cast<uint16_t>(0x0E80 + index);
}

// Exchanges per block; the iteration count is set where the benchmark is registered.
int64_t block_size() {
    return g_smoke ? 10 : 200;
}

void BM_SequentialExchanges_vs_RawSocket(benchmark::State& state) {
    BenchSimulator simulator;
    if (!simulator.started()) {
        state.SkipWithError(("simulator: " + simulator.error()).c_str());
        return;
    }
    doip_tools::Session session(tester_options(simulator.port(), 0));
    RawClient raw;
    if (session.activate() != DOIP_OK || !raw.connect(simulator.port()) || !raw.activate(raw_source(0))) {
        state.SkipWithError("routing activation failed");
        return;
    }
    const int64_t block = block_size();
    std::vector<double> figures;
    std::vector<double> floors;
    int failures = 0;
    bool session_first = true;
    for (auto _ : state) {
        Clock::duration figure{};
        Clock::duration floor{};
        for (int side = 0; side < 2; ++side) {
            const bool session_turn = (side == 0) == session_first;
            const auto begin = Clock::now();
            for (int64_t i = 0; i < block; ++i) {
                failures +=
                    session_turn ? !positive(session.uds(kTesterPresent)) : !raw.exchange(raw_source(0));
            }
            (session_turn ? figure : floor) = Clock::now() - begin;
        }
        session_first = !session_first;
        if (failures != 0) {
            break;
        }
        figures.push_back(static_cast<double>(block) / seconds(figure));
        floors.push_back(static_cast<double>(block) / seconds(floor));
        state.SetIterationTime(seconds(figure));
    }
    session.close();
    doip_tools::take_log_lines();
    if (failures != 0) {
        state.SkipWithError("an exchange failed");
        return;
    }
    state.SetItemsProcessed(state.iterations() * block);
    report_rates(state, figures, floors);
}

void BM_EightConnections_vs_RawSockets(benchmark::State& state) {
    BenchSimulator simulator;
    if (!simulator.started()) {
        state.SkipWithError(("simulator: " + simulator.error()).c_str());
        return;
    }
    std::vector<std::unique_ptr<doip_tools::Session>> sessions;
    std::vector<std::unique_ptr<RawClient>> raws;
    // Activations one after another, as a tester with several connections makes them.
    for (int i = 0; i < kConnections; ++i) {
        sessions.push_back(std::make_unique<doip_tools::Session>(tester_options(simulator.port(), i)));
        raws.push_back(std::make_unique<RawClient>());
        if (sessions.back()->activate() != DOIP_OK || !raws.back()->connect(simulator.port()) ||
            !raws.back()->activate(raw_source(i))) {
            state.SkipWithError("routing activation failed");
            return;
        }
        // A Session that did not see its own activation response will not see its replies either: stop
        // here rather than wait for every exchange to time out.
        if (sessions.back()->activation_response().empty()) {
            state.SkipWithError(("Session " + std::to_string(i + 1) +
                                 " did not get its activation response: the Sessions of one process took "
                                 "each other's messages")
                                    .c_str());
            return;
        }
    }
    const int64_t block = block_size();
    std::vector<double> figures;
    std::vector<double> floors;
    std::atomic<int> failures{0};
    for (auto _ : state) {
        const Clock::duration figure = in_parallel([&](int i) {
            for (int64_t k = 0; k < block && failures == 0; ++k) {
                failures += !positive(sessions[static_cast<size_t>(i)]->uds(kTesterPresent));
            }
        });
        const Clock::duration floor = in_parallel([&](int i) {
            for (int64_t k = 0; k < block && failures == 0; ++k) {
                failures += !raws[static_cast<size_t>(i)]->exchange(raw_source(i));
            }
        });
        if (failures != 0) {
            break;
        }
        figures.push_back(static_cast<double>(block * kConnections) / seconds(figure));
        floors.push_back(static_cast<double>(block * kConnections) / seconds(floor));
        state.SetIterationTime(seconds(figure));
    }
    for (auto& session : sessions) {
        session->close();  // one after another, as the activations
    }
    doip_tools::take_log_lines();
    if (failures != 0) {
        state.SkipWithError(
            "an exchange failed: the Sessions of one process did not each get their own replies");
        return;
    }
    state.SetItemsProcessed(state.iterations() * block * kConnections);
    report_rates(state, figures, floors);
}

void BM_Activation_vs_RawConnectAndActivate(benchmark::State& state) {
    BenchSimulator simulator;
    if (!simulator.started()) {
        state.SkipWithError(("simulator: " + simulator.error()).c_str());
        return;
    }
    doip_tools::SocketLayer::instance().configure(doip_tools::SocketLayerOptions{});  // no logger
    doip_tools::SocketLayer::install();
    doip_set_logger_ops(nullptr);
    doip_s ctx;
    doip_init(&ctx);
    std::strcpy(ctx.remote.ip_address, "127.0.0.1");
    ctx.remote.port = simulator.port();
    constexpr uint8_t kChannel = 1;

    std::vector<double> figures;
    std::vector<double> floors;
    int failures = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        const int rc = doip_activate(kChannel, &ctx);
        const auto activated = Clock::now();
        doip_uninitialize(kChannel, &ctx);
        delete_doip_state(&ctx);
        doip_clear_message(0);  // the socket layer's copy of the response on the application's queue
        doip_clear_message(kChannel);
        failures += rc != DOIP_OK;
        failures += !simulator.settle(0);

        RawClient raw;
        const auto raw_begin = Clock::now();
        failures += !(raw.connect(simulator.port()) && raw.activate(raw_source(0)));
        const auto raw_end = Clock::now();
        raw.close();
        failures += !simulator.settle(0);
        if (failures != 0) {
            break;
        }
        figures.push_back(std::chrono::duration<double, std::micro>(activated - begin).count());
        floors.push_back(std::chrono::duration<double, std::micro>(raw_end - raw_begin).count());
        state.SetIterationTime(seconds(activated - begin));
    }
    if (failures != 0) {
        state.SkipWithError("an activation failed");
        return;
    }
    report_medians(state, figures, floors, "us");
}

}  // namespace

int main(int argc, char** argv) {
    g_smoke = doip_bench::smoke_run(argc, argv);
    benchmark::RegisterBenchmark("BM_SequentialExchanges_vs_RawSocket", BM_SequentialExchanges_vs_RawSocket)
        ->Iterations(g_smoke ? 2 : 40)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_EightConnections_vs_RawSockets", BM_EightConnections_vs_RawSockets)
        ->Iterations(g_smoke ? 2 : 15)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Activation_vs_RawConnectAndActivate",
                                 BM_Activation_vs_RawConnectAndActivate)
        ->Iterations(g_smoke ? 5 : 300)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    return doip_bench::run_registered(argc, argv);
}

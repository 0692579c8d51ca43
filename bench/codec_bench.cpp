// The codec against its floor, measured side by side in the same iterations so that the ratio holds on a
// busy machine: encode + decode of a diagnostic message with 4 KiB of user data against one memcpy of the
// same 4 KiB, and the header check alone. Counters: figure_ns and floor_ns per operation, and their ratio.
#include "doip.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kUserData = 4096;
constexpr int kBatch = 64;  // operations per timed block: the clock's own cost stays small beside them

// The floor calls the C library's memcpy as the library does: a copy of known size written in the benchmark
// would be inlined by the compiler into another instruction sequence than the one the library runs.
void* (*volatile g_memcpy)(void*, const void*, size_t) = std::memcpy;

double elapsed_ns(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::nano>(to - from).count();
}

// Times `figure` and `floor` in alternating blocks; the iteration time is the figure's.
template <typename Figure, typename Floor>
void side_by_side(benchmark::State& state, Figure figure, Floor floor) {
    double figure_ns = 0;
    double floor_ns = 0;
    int64_t operations = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            figure();
        }
        const auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            floor();
        }
        const auto end = Clock::now();
        figure_ns += elapsed_ns(begin, middle);
        floor_ns += elapsed_ns(middle, end);
        operations += kBatch;
        state.SetIterationTime(elapsed_ns(begin, middle) / 1e9);
    }
    state.counters["figure_ns"] = figure_ns / static_cast<double>(operations);
    state.counters["floor_ns"] = floor_ns / static_cast<double>(operations);
    state.counters["ratio"] = floor_ns > 0 ? figure_ns / floor_ns : 0;
}

struct RequestDeleter {
    void operator()(doip_diagnostic_request_s* record) const { doip_diag_msg_request_free(record); }
};
using Request = std::unique_ptr<doip_diagnostic_request_s, RequestDeleter>;

// Floor: one memcpy of the user data.
void BM_DiagnosticMessage4KiBEncodeDecode_vs_Memcpy(benchmark::State& state) {
    doip_addressing_s addressing{};
    addressing.protocol_version = 0x02;
    addressing.source_address = 0x0E80;
    addressing.target_address = 0x0CE1;
    std::vector<uint8_t> data(kUserData, 0x5A);
    const Request sent(doip_diag_msg_request_create(kUserData));
    const Request received(doip_diag_msg_request_create(kUserData));
    if (!sent || !received ||
        doip_diag_msg_request_init(&addressing, sent.get(), data.data(), kUserData) != DOIP_OK) {
        state.SkipWithError("cannot build the request");
        return;
    }
    std::vector<uint8_t> wire(12 + kUserData);
    std::vector<uint8_t> copy(kUserData);
    const auto wire_size = static_cast<uint32_t>(wire.size());
    int failures = 0;
    side_by_side(
        state,
        [&] {
            failures += doip_diag_msg_request_serilize(sent.get(), wire.data(), wire_size) != DOIP_OK;
            failures += doip_diag_msg_request_deserilize(wire.data(), wire_size, received.get()) != DOIP_OK;
            benchmark::DoNotOptimize(received.get());
        },
        [&] {
            g_memcpy(copy.data(), data.data(), kUserData);
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        });
    if (failures != 0) {
        state.SkipWithError("the codec refused the message");
    }
}
BENCHMARK(BM_DiagnosticMessage4KiBEncodeDecode_vs_Memcpy)->UseManualTime()->Unit(benchmark::kNanosecond);

// Floor: an 8-byte memcpy of the header (what reading it costs at least).
void BM_HeaderCheck_vs_Memcpy8(benchmark::State& state) {
    const uint8_t message[] = {0x02, 0xFD, 0x80, 0x01, 0x00, 0x00, 0x00,
                               0x06, 0x0E, 0x80, 0x0C, 0xE1, 0x3E, 0x00};
    doip_package_s header{};
    uint8_t copy[8];
    int failures = 0;
    side_by_side(
        state,
        [&] {
            failures += doip_deserialize(message, sizeof message, &header) != DOIP_OK;
            benchmark::DoNotOptimize(header);
        },
        [&] {
            g_memcpy(copy, message, sizeof copy);
            benchmark::DoNotOptimize(copy);
            benchmark::ClobberMemory();
        });
    if (failures != 0) {
        state.SkipWithError("the header check refused the message");
    }
}
BENCHMARK(BM_HeaderCheck_vs_Memcpy8)->UseManualTime()->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();

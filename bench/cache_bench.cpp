// The message cache with several listeners: the cost of handing one 4 KiB message to every listener, and
// the heap it takes to hold messages.
//
// A listener besides the default one exists while a doip_activate waits for its reply. Here each extra
// listener is an activation held inside the socket table's send function (registered, not yet waiting), so
// its queue keeps what is appended until this program takes it with doip_wait_message on the listener's id;
// the ids are found by a probe message. Releasing the send ends the activations and their queues.
//
// Append/get: per message, doip_append_eth_message of 4 KiB, then the default listener's copy taken with
// doip_get_message and every other listener's with doip_wait_message (time limit 0). Floor, measured in
// alternating blocks of the same iterations: per message and listener, a malloc'd 4 KiB copy pushed onto a
// mutex-protected std::deque, then popped and freed. Counters: figure_ns and floor_ns per message, ratio =
// figure / floor.
//
// Memory: 1000 messages of 4 KiB appended with two listeners (the default one and a held activation's),
// the heap in use before and after (glibc's mallinfo2, every arena) against the 4,096,000 bytes held.
// Counters: heap_growth_bytes, held_bytes, ratio = growth / held, overhead_per_message_bytes.
#include "bench_support.h"
#include "doip.h"

#include <benchmark/benchmark.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMessageSize = 4096;
constexpr uint8_t kChannel = 9;
constexpr int kBatch = 64;  // messages per timed block

bool g_smoke = false;

double elapsed_ns(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::nano>(to - from).count();
}

// The socket table of the held activations: open succeeds, send blocks until released and then fails, so
// doip_activate returns without waiting for a reply.
struct HeldSends {
    std::mutex mutex;
    std::condition_variable changed;
    int held = 0;
    bool released = false;
};
HeldSends g_sends;

int open_ok(uint8_t, doip_s*) {
    return 0;
}
int close_ok(uint8_t, doip_s*) {
    return 0;
}
int held_send(uint8_t, doip_s*, uint8_t*, uint32_t) {
    std::unique_lock<std::mutex> lock(g_sends.mutex);
    ++g_sends.held;
    g_sends.changed.notify_all();
    g_sends.changed.wait(lock, [] { return g_sends.released; });
    --g_sends.held;
    g_sends.changed.notify_all();
    return -1;
}

// A context whose waits give up at once: doip_wait_message takes what is queued, or returns.
doip_s no_wait_context() {
    doip_s ctx;
    doip_init(&ctx);
    ctx.t_tcp_initial_inactivity_ms = 0;
    return ctx;
}

// The default listener plus `extra` listeners of held activations, and the ids of the extra ones.
class Listeners {
  public:
    explicit Listeners(int extra) {
        doip_socket_ops_s ops{};
        ops.doip_socket_open = &open_ok;
        ops.doip_socket_send = &held_send;
        ops.doip_socket_close = &close_ok;
        doip_set_socket_ops(ops);
        doip_set_logger_ops(nullptr);
        {
            std::lock_guard<std::mutex> lock(g_sends.mutex);
            g_sends.released = false;
        }
        for (int i = 0; i < extra; ++i) {
            threads_.emplace_back([] {
                doip_s ctx;
                doip_init(&ctx);
                doip_activate(1, &ctx);
            });
            std::unique_lock<std::mutex> lock(g_sends.mutex);
            g_sends.changed.wait(lock, [&] { return g_sends.held == i + 1; });
        }
        find_ids(extra);
    }
    ~Listeners() {
        {
            std::lock_guard<std::mutex> lock(g_sends.mutex);
            g_sends.released = true;
        }
        g_sends.changed.notify_all();
        for (auto& t : threads_) {
            t.join();
        }
        doip_clear_message(kChannel);
        reset_doip_state();
    }
    const std::vector<int>& ids() const { return ids_; }

  private:
    // Appends a probe and looks for it on the queues after the default one.
    void find_ids(int extra) {
        const uint8_t probe[] = {0x02, 0xFD, 0x80, 0x01, 0x00, 0x00, 0x00, 0x00};
        doip_message_s m{};
        m.channel = kChannel;
        m.length = sizeof probe;
        m.data = const_cast<uint8_t*>(probe);
        doip_append_eth_message(&m);
        const doip_s ctx = no_wait_context();
        for (int id = 2; static_cast<int>(ids_.size()) < extra && id < 1000; ++id) {
            doip_message_s pattern{};
            doip_message_init(&pattern, probe, sizeof probe);
            pattern.channel = kChannel;
            if (doip_wait_message(id, &ctx, &pattern) == DOIP_OK) {
                ids_.push_back(id);
            }
            doip_message_destory(&pattern);
        }
        doip_clear_message(kChannel);
    }

    std::vector<std::thread> threads_;
    std::vector<int> ids_;
};

// The floor: mutex-protected deques of malloc'd copies, one per listener.
class CopyQueues {
  public:
    explicit CopyQueues(size_t listeners) : queues_(listeners) {}
    void append(const uint8_t* bytes) {
        for (Queue& q : queues_) {
            auto* copy = static_cast<uint8_t*>(std::malloc(kMessageSize));
            std::memcpy(copy, bytes, kMessageSize);
            std::lock_guard<std::mutex> lock(q.mutex);
            q.messages.push_back(copy);
        }
    }
    void take_all() {
        for (Queue& q : queues_) {
            uint8_t* copy;
            {
                std::lock_guard<std::mutex> lock(q.mutex);
                copy = q.messages.front();
                q.messages.pop_front();
            }
            benchmark::DoNotOptimize(copy[kMessageSize - 1]);
            std::free(copy);
        }
    }

  private:
    struct Queue {
        std::mutex mutex;
        std::deque<uint8_t*> messages;
    };
    std::vector<Queue> queues_;
};

std::vector<uint8_t> diagnostic_message() {
    std::vector<uint8_t> bytes(kMessageSize, 0x5A);
    const uint8_t header[] = {0x02, 0xFD, 0x80, 0x01, 0x00, 0x00, 0x0F, 0xF8, 0x0C, 0xE1, 0x0E, 0xF5};
    std::memcpy(bytes.data(), header, sizeof header);
    return bytes;
}

// The cache's record of `bytes` (which it copies on append), on the benchmark's channel.
doip_message_s message_of(const std::vector<uint8_t>& bytes) {
    doip_message_s msg{};
    msg.channel = kChannel;
    msg.length = static_cast<uint32_t>(bytes.size());
    msg.data = const_cast<uint8_t*>(bytes.data());
    return msg;
}

// Argument: the number of listeners, the default one included.
void BM_CacheAppendGet_vs_MutexDeque(benchmark::State& state) {
    const auto listeners = static_cast<int>(state.range(0));
    Listeners extra(listeners - 1);
    if (static_cast<int>(extra.ids().size()) != listeners - 1) {
        state.SkipWithError("the held activations' listeners were not found");
        return;
    }
    const std::vector<uint8_t> bytes = diagnostic_message();
    const doip_message_s msg = message_of(bytes);
    const uint8_t prefix[] = {0x02, 0xFD, 0x80, 0x01};
    const doip_s ctx = no_wait_context();
    doip_message_s out{};
    doip_message_s pattern{};
    CopyQueues floor(static_cast<size_t>(listeners));
    int failures = 0;

    double figure_ns = 0;
    double floor_ns = 0;
    int64_t messages = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            failures += doip_append_eth_message(&msg) != DOIP_OK;
            failures += doip_get_message(&out, nullptr) != DOIP_OK;
            for (const int id : extra.ids()) {
                doip_message_init(&pattern, prefix, sizeof prefix);
                pattern.channel = kChannel;
                failures += doip_wait_message(id, &ctx, &pattern) != DOIP_OK;
            }
        }
        const auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            floor.append(bytes.data());
            floor.take_all();
        }
        const auto end = Clock::now();
        figure_ns += elapsed_ns(begin, middle);
        floor_ns += elapsed_ns(middle, end);
        messages += kBatch;
        state.SetIterationTime(elapsed_ns(begin, middle) / 1e9);
    }
    doip_message_destory(&out);
    doip_message_destory(&pattern);
    if (failures != 0) {
        state.SkipWithError("a listener did not get its copy");
        return;
    }
    state.SetItemsProcessed(messages);
    state.counters["figure_ns"] = figure_ns / static_cast<double>(messages);
    state.counters["floor_ns"] = floor_ns / static_cast<double>(messages);
    state.counters["ratio"] = floor_ns > 0 ? figure_ns / floor_ns : 0;
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
#define DOIP_BENCH_HEAP_IN_USE 1
// Bytes allocated and not freed, over every arena, mmap'd chunks included.
double heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}
#endif

void BM_CacheMemory1000x4KiB_TwoListeners(benchmark::State& state) {
#ifndef DOIP_BENCH_HEAP_IN_USE
    state.SkipWithError("needs glibc's mallinfo2");
    for (auto _ : state) {
    }
#else
    constexpr int kMessages = 1000;
    Listeners extra(1);
    if (extra.ids().size() != 1) {
        state.SkipWithError("the held activation's listener was not found");
        return;
    }
    const std::vector<uint8_t> bytes = diagnostic_message();
    const doip_message_s msg = message_of(bytes);
    const double held = static_cast<double>(kMessages) * kMessageSize;
    std::vector<double> growths;
    int failures = 0;
    for (auto _ : state) {
        const double before = heap_in_use();
        const auto begin = Clock::now();
        for (int i = 0; i < kMessages; ++i) {
            doip_append_eth_message(&msg);
        }
        state.SetIterationTime(elapsed_ns(begin, Clock::now()) / 1e9);
        const double after = heap_in_use();
        // Both queues hold every message.
        failures += doip_msg_cache_count(kChannel) != 2 * kMessages;
        doip_clear_message(kChannel);
        growths.push_back(after - before);
    }
    if (failures != 0) {
        state.SkipWithError("the queues do not hold the messages appended");
        return;
    }
    const double growth = doip_bench::median(growths);
    state.counters["heap_growth_bytes"] = growth;
    state.counters["held_bytes"] = held;
    state.counters["overhead_per_message_bytes"] = (growth - held) / kMessages;
    state.counters["ratio"] = growth / held;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    g_smoke = doip_bench::smoke_run(argc, argv);
    for (const int listeners : {1, 2, 8}) {
        benchmark::RegisterBenchmark("BM_CacheAppendGet_vs_MutexDeque", BM_CacheAppendGet_vs_MutexDeque)
            ->Arg(listeners)
            ->UseManualTime()
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("BM_CacheMemory1000x4KiB_TwoListeners", BM_CacheMemory1000x4KiB_TwoListeners)
        ->Iterations(g_smoke ? 1 : 20)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    return doip_bench::run_registered(argc, argv);
}

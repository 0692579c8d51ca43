// The soak: testers on several connections, each on its own thread, against in-process simulators that
// each inject one fault, for a set time. A tester loops: connect and activate routing, start and cancel
// protocol timers, exchange UDS requests that carry a sequence number the entity echoes, disconnect. At the
// end it checks that every accepted response came exactly once and in order, that each faulty entity gave
// its documented outcome within its limit, that the queues stayed bounded, that no thread is left and that
// the resident memory stayed flat after the warm-up. Leaks are LeakSanitizer's job at exit (scripts/soak.sh
// builds this with AddressSanitizer). Reads /proc/self: Linux only.
//
//     doip_soak [--seconds N]      (default 120)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "doip.h"
#include "session.h"
#include "simulator.h"
#include "socket_layer.h"

namespace {

using doip_tools::Clock;
using doip_tools::SimulatorOptions;
using doip_tools::UdsExchange;
using Outcome = UdsExchange::Outcome;
using Bytes = std::vector<uint8_t>;
using ull = unsigned long long;  // for printf

constexpr uint32_t kBurst = 5000;                  // unsolicited messages after each activation
constexpr uint32_t kExchangesPerConnection = 200;  // then the tester disconnects
constexpr uint32_t kWaitMs = 2000;                 // waits where the answer comes
constexpr uint32_t kFaultyWaitMs = 250;            // activation waits where no usable answer comes
constexpr uint32_t kTimerMs = 60000;               // timers that are cancelled long before they are due
constexpr double kMarginMs = 3000;  // beyond its limit a wait is a hang (generous: sanitizers, shared cores)
// A connection's queue stops growing at its high-water mark plus what one read of the socket brings (16 KiB
// of messages of at least 8 bytes).
constexpr size_t kQueueBound = doip_tools::Inbox::kHighWater + 16384 / 8;

// An entity with one fault, and what a tester must see of it.
struct Profile {
    const char* fault;
    void (*configure)(SimulatorOptions&);
    int activation;  // doip_activate's result
    uint32_t activation_wait_ms;
    uint32_t exchange_timeout_ms;
    Outcome exchange;  // the outcome of every exchange once routing is active
    int testers;       // connections to this entity at once
    uint32_t burst;    // unsolicited messages after each activation
};

const Profile kProfiles[] = {
    {"none", [](SimulatorOptions&) {}, DOIP_OK, kWaitMs, kWaitMs, Outcome::positive, 2, 0},
    {"reply delay 20 ms", [](SimulatorOptions& o) { o.faults.reply_delay_ms = 20; }, DOIP_OK, kWaitMs,
     kWaitMs, Outcome::positive, 1, 0},
    {"reply delay 300 ms, over P2", [](SimulatorOptions& o) { o.faults.reply_delay_ms = 300; }, DOIP_OK,
     kWaitMs, 100, Outcome::no_ack, 1, 0},
    {"silent", [](SimulatorOptions& o) { o.faults.silent = true; }, DOIP_ERR_TIMEOUT, kFaultyWaitMs, 0,
     Outcome::positive, 1, 0},
    {"activation denied 0x06", [](SimulatorOptions& o) { o.activation_response_code = 0x06; },
     DOIP_RA_UNSUPPORTED_TYPE, kWaitMs, 0, Outcome::positive, 1, 0},
    {"cut replies", [](SimulatorOptions& o) { o.faults.cut_reply_to = 12; }, DOIP_ERR_INPUT_TOO_SHORT,
     kWaitMs, 0, Outcome::positive, 1, 0},
    {"wrong reply version", [](SimulatorOptions& o) { o.faults.reply_version = 3; }, DOIP_ERR_TIMEOUT,
     kFaultyWaitMs, 0, Outcome::positive, 1, 0},
    {"bad inverse version", [](SimulatorOptions& o) { o.faults.bad_inverse_version = true; },
     DOIP_ERR_TIMEOUT, kFaultyWaitMs, 0, Outcome::positive, 1, 0},
    {"garbage before replies", [](SimulatorOptions& o) { o.faults.garbage_before_reply = 16; },
     DOIP_ERR_TIMEOUT, kFaultyWaitMs, 0, Outcome::positive, 1, 0},
    {"close mid message", [](SimulatorOptions& o) { o.faults.close_mid_message = true; }, DOIP_ERR_TIMEOUT,
     kFaultyWaitMs, 0, Outcome::positive, 1, 0},
    {"split segments of 3 bytes", [](SimulatorOptions& o) { o.faults.split_segment_size = 3; }, DOIP_OK,
     kWaitMs, kWaitMs, Outcome::positive, 1, 0},
    {"5000 unsolicited messages", [](SimulatorOptions& o) { o.faults.unsolicited_burst = kBurst; }, DOIP_OK,
     kWaitMs, kWaitMs, Outcome::positive, 1, kBurst},
};

std::atomic<bool> g_stop{false};
std::atomic<uint64_t> g_cancelled_fired{0};  // callbacks of timers that were cancelled long before due
// doip_activate waits for the first routing activation response of any connection: one at a time.
std::mutex g_activation;

void count_call(void* counter) {
    static_cast<std::atomic<uint64_t>*>(counter)->fetch_add(1);
}

// A value of /proc/self/status ("Threads", "VmRSS" in kB), -1 when missing.
long proc_status(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// The bytes the application has allocated and not freed, in kB: AddressSanitizer's allocator knows them
// (its RSS also holds freed memory in quarantine); -1 elsewhere.
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
long live_heap_kb() {
    return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
}
#else
long live_heap_kb() {
    return -1;
}
#endif

// Within the margin of growth after the warm-up: 20 % + 8 MiB.
bool flat(long first, long last) {
    return last <= first + first / 5 + 8 * 1024;
}

// One tester: its session and what it counted. Only its own thread writes the counts until it is joined.
struct Tester {
    const Profile* profile = nullptr;
    uint8_t id = 0;
    std::unique_ptr<doip_tools::Session> session;
    std::atomic<uint64_t> timers_fired{0};
    uint64_t connections = 0, activations_as_expected = 0, exchanges = 0, responses_checked = 0, lost = 0,
             unsolicited = 0, timer_rounds = 0, failures = 0;
    double max_activation_ms = 0, max_exchange_ms = 0;
    std::vector<std::string> failure_lines;  // the first few

    void fail(const std::string& what) {
        if (++failures <= 5) {
            failure_lines.push_back(std::string(profile->fault) + ", tester " + std::to_string(id) +
                                    ", connection " + std::to_string(connections) + ": " + what);
        }
    }
    void run();
    void activate();
    void timers();
    // False when the connection is to end.
    bool exchange(uint32_t sequence);
};

void Tester::run() {
    while (!g_stop) {
        ++connections;
        activate();
        timers();
        // Every other flood is cut short: the tester leaves while the entity still sends.
        const bool leave_early = profile->burst > 0 && connections % 2 == 0;
        if (session->activation_failure().empty() && !leave_early) {
            for (uint32_t sequence = 0; sequence < kExchangesPerConnection && !g_stop; ++sequence) {
                if (!exchange(sequence)) {
                    break;
                }
            }
        }
        const auto closing = Clock::now();
        session->close();
        if (doip_tools::ms_since(closing) > kMarginMs) {
            fail("closing took " + std::to_string(doip_tools::ms_since(closing)) + " ms");
        }
        if (profile->activation != DOIP_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for the others' activations
        }
    }
}

void Tester::activate() {
    std::lock_guard<std::mutex> lock(g_activation);
    const auto start = Clock::now();
    const int rc = session->activate();
    const double ms = doip_tools::ms_since(start);
    max_activation_ms = std::max(max_activation_ms, ms);
    const bool granted = session->activation_failure().empty();
    if (rc != profile->activation || granted != (profile->activation == DOIP_OK)) {
        fail("routing activation gave " + std::to_string(rc) + " where " +
             std::to_string(profile->activation) + " was expected: " + session->activation_failure());
    } else {
        ++activations_as_expected;
    }
    // The library's wait, then at most a second for the copy of the response on the tester's queue.
    if (ms > profile->activation_wait_ms + 1000 + kMarginMs) {
        fail("routing activation took " + std::to_string(ms) + " ms");
    }
}

// A timer that fires, then three that are cancelled long before they are due (they must never run).
void Tester::timers() {
    doip_s& ctx = session->context();
    const uint64_t before = timers_fired;
    if (start_timer_a_doip_ctrl(&ctx, 1, &count_call, &timers_fired) != DOIP_OK) {
        fail("start_timer_a_doip_ctrl failed");
        return;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (timers_fired == before && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (timers_fired != before + 1) {
        fail("a 1 ms timer ran " + std::to_string(timers_fired - before) + " times within " +
             std::to_string(kWaitMs) + " ms");
    }
    delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL);
    const bool started =
        start_timer_a_tcp_general_inactivity(&ctx, kTimerMs, &count_call, &g_cancelled_fired) == DOIP_OK &&
        start_timer_a_tcp_initial_inactivity(&ctx, kTimerMs, &count_call, &g_cancelled_fired) == DOIP_OK &&
        start_timer_a_doip_diagmsg(&ctx, kTimerMs, &count_call, &g_cancelled_fired) == DOIP_OK;
    if (!started) {
        fail("a protocol timer did not start");
    }
    for (int kind : {DOIP_TIMER_T_TCP_GENERAL_INACTIVITY, DOIP_TIMER_T_TCP_INITIAL_INACTIVITY,
                     DOIP_TIMER_A_DOIP_DIAGNOSTIC_MESSAGE}) {
        delete_timer(&ctx, kind);
    }
    ++timer_rounds;
}

// RoutineControl of the simulator's echo routine: the tester's id and the sequence number come back in the
// acknowledgement (the entity echoes the whole request) and in the response.
bool Tester::exchange(uint32_t sequence) {
    const Bytes request = {0x31,
                           0x01,
                           0x02,
                           0x00,
                           id,
                           static_cast<uint8_t>(sequence >> 24),
                           static_cast<uint8_t>(sequence >> 16),
                           static_cast<uint8_t>(sequence >> 8),
                           static_cast<uint8_t>(sequence)};
    const auto start = Clock::now();
    const UdsExchange x = session->uds(request);
    const double ms = doip_tools::ms_since(start);
    ++exchanges;
    max_exchange_ms = std::max(max_exchange_ms, ms);
    if (ms > 2.0 * profile->exchange_timeout_ms + kMarginMs) {
        fail("an exchange took " + std::to_string(ms) + " ms");
    }
    const std::string what = "exchange " + std::to_string(sequence) + ": ";
    if (x.outcome != profile->exchange) {
        fail(what + doip_tools::outcome_name(x.outcome) + " where " +
             doip_tools::outcome_name(profile->exchange) + " was expected " + x.cause);
        lost += profile->exchange == Outcome::positive ? 1 : 0;
    }
    // The first exchange after a burst passes it over, every message once and in order.
    const size_t expected_unsolicited = sequence == 0 ? profile->burst : 0;
    const size_t unsolicited_count = x.unsolicited.size() + x.unsolicited_not_kept;
    unsolicited += unsolicited_count;
    if (unsolicited_count != expected_unsolicited) {
        fail(what + std::to_string(unsolicited_count) + " unsolicited responses where " +
             std::to_string(expected_unsolicited) + " were sent");
    }
    for (size_t i = 0; i < x.unsolicited.size(); ++i) {
        const Bytes& m = x.unsolicited[i].message;
        const Bytes expected = {0x62, 0xF2, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        if (m.size() != 12 + expected.size() ||
            !std::equal(expected.begin(), expected.end(), m.begin() + 12)) {
            fail(what + "unsolicited message " + std::to_string(i) + " is " + doip_tools::hex_bytes(m));
            break;
        }
    }
    const std::vector<std::string> skipped = session->take_skipped();
    if (!skipped.empty()) {
        fail(what + std::to_string(skipped.size()) + " messages passed over, the first: " + skipped.front());
    }
    if (x.outcome != Outcome::positive) {
        return false;
    }
    ++responses_checked;
    Bytes answer = request;
    answer[0] = 0x71;
    const bool ack_echoes = x.acknowledgement.size() == 13 + request.size() &&
                            std::equal(request.begin(), request.end(), x.acknowledgement.begin() + 13);
    if (x.uds != answer || !ack_echoes) {
        fail(what + "accepted the response " + doip_tools::hex_bytes(x.uds) + " after the acknowledgement " +
             doip_tools::hex_bytes(x.acknowledgement) + " to the request " + doip_tools::hex_bytes(request));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 120;
    if (argc == 3 && std::string(argv[1]) == "--seconds") {
        seconds = std::strtol(argv[2], nullptr, 10);
    }
    if ((argc != 1 && argc != 3) || seconds < 1) {
        std::fprintf(stderr, "usage: doip_soak [--seconds N]\n");
        return 2;
    }
    // ThreadSanitizer starts a helper thread with the first thread: one started and joined first makes it
    // count before as after.
    std::thread([] {}).join();
    const long threads_before = proc_status("Threads");
    std::vector<std::string> failures;
    const auto check = [&](bool ok, const std::string& what) {
        if (!ok) {
            failures.push_back(what);
        }
    };
    long rss_first = 0, rss_last = 0, rss_peak = 0, heap_first = -1, heap_last = -1;
    size_t max_cached = 0;
    uint64_t log_lines = 0;
    std::vector<std::unique_ptr<Tester>> testers;
    std::vector<doip_tools::SimulatorStats> entity_stats;
    {
        std::vector<std::unique_ptr<doip_tools::Simulator>> simulators;
        for (const Profile& profile : kProfiles) {
            SimulatorOptions options;
            options.udp = false;
            options.ack_echo_bytes = 9;  // the whole request
            options.alive_check_timeout_ms = 500;
            profile.configure(options);
            simulators.push_back(std::make_unique<doip_tools::Simulator>(options));
            std::string error;
            if (!simulators.back()->start(&error)) {
                std::fprintf(stderr, "doip_soak: a simulator does not start: %s\n", error.c_str());
                return 1;
            }
        }
        for (size_t p = 0; p < std::size(kProfiles); ++p) {
            for (int k = 0; k < kProfiles[p].testers; ++k) {
                auto tester = std::make_unique<Tester>();
                tester->profile = &kProfiles[p];
                tester->id = static_cast<uint8_t>(testers.size() + 1);
                doip_tools::TesterOptions options;
                options.port = simulators[p]->port();
                options.local_address = "127.0.0." + std::to_string(10 + tester->id);
                options.channel = tester->id;
                options.source_address = static_cast<uint16_t>(0x0E00 + tester->id);
                options.timeout_ms = std::max<uint32_t>(kProfiles[p].exchange_timeout_ms, 1);
                tester->session = std::make_unique<doip_tools::Session>(options);
                tester->session->context().t_tcp_initial_inactivity_ms = kProfiles[p].activation_wait_ms;
                testers.push_back(std::move(tester));
            }
        }
        std::atomic<size_t> running{testers.size()};
        std::vector<std::thread> threads;
        for (auto& tester : testers) {
            threads.emplace_back([&running, t = tester.get()] {
                t->run();
                --running;
            });
        }
        // Sample the queues often, the memory every second; the log lines are drained so they do not pile up.
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        // The first quarter warms up: under AddressSanitizer its own bookkeeping (quarantine, recorded
        // stacks, size classes) settles slowly, so a longer run gets a longer warm-up.
        const auto warm = start + std::chrono::seconds(seconds / 4);
        auto next_second = start;
        while (Clock::now() < end) {
            for (uint8_t channel = 0; channel <= testers.size(); ++channel) {
                max_cached =
                    std::max(max_cached, doip_tools::SocketLayer::instance().queued(channel) +
                                             static_cast<size_t>(std::max(0, doip_msg_cache_count(channel))));
            }
            if (Clock::now() >= next_second) {
                next_second += std::chrono::seconds(1);
                const long rss = proc_status("VmRSS");
                rss_peak = std::max(rss_peak, rss);
                if (rss_first == 0 && Clock::now() >= warm) {
                    rss_first = rss;
                    heap_first = live_heap_kb();
                }
                log_lines += doip_tools::take_log_lines().size();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        rss_last = proc_status("VmRSS");
        heap_last = live_heap_kb();
        g_stop = true;
        // Every wait of a tester has a limit; one that is not back by then hangs.
        const auto patience = Clock::now() + std::chrono::seconds(60);
        while (running > 0 && Clock::now() < patience) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running > 0) {
            std::fprintf(stderr, "doip_soak: FAILED: %zu testers still busy 60 s after the end\n",
                         running.load());
            std::fflush(stderr);
            std::_Exit(1);
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (auto& tester : testers) {
            tester->session.reset();
        }
        for (auto& simulator : simulators) {
            simulator->stop();
            entity_stats.push_back(simulator->stats());
        }
    }
    const doip_tools::SocketLayerStats layer = doip_tools::SocketLayer::instance().stats();
    const size_t connections_left = doip_tools::SocketLayer::instance().connection_count();
    doip_stop_timer_loop();
    log_lines += doip_tools::take_log_lines().size();
    const long threads_after = proc_status("Threads");

    // The summary, per fault, then the totals.
    std::printf("soak of %ld s: %zu testers against %zu simulators\n", seconds, testers.size(),
                std::size(kProfiles));
    std::printf("%-28s %7s %7s %9s %9s %9s %9s %9s\n", "fault", "conns", "act ok", "exchanges", "checked",
                "unsolic.", "entity rq", "max ms");
    uint64_t connections = 0, activations = 0, exchanges = 0, checked = 0, lost = 0, timer_rounds = 0;
    uint64_t fired = 0, failed = 0;
    for (size_t p = 0, t = 0; p < std::size(kProfiles); ++p) {
        uint64_t c = 0, a = 0, x = 0, r = 0, u = 0;
        double worst = 0;
        for (int k = 0; k < kProfiles[p].testers; ++k, ++t) {
            const Tester& tester = *testers[t];
            c += tester.connections;
            a += tester.activations_as_expected;
            x += tester.exchanges;
            r += tester.responses_checked;
            u += tester.unsolicited;
            lost += tester.lost;
            timer_rounds += tester.timer_rounds;
            fired += tester.timers_fired;
            failed += tester.failures;
            worst = std::max({worst, tester.max_activation_ms, tester.max_exchange_ms});
            for (const std::string& line : tester.failure_lines) {
                failures.push_back(line);
            }
        }
        std::printf("%-28s %7llu %7llu %9llu %9llu %9llu %9llu %9.0f\n", kProfiles[p].fault, ull(c), ull(a),
                    ull(x), ull(r), ull(u),
                    ull(entity_stats[p].activations + entity_stats[p].diagnostic_messages), worst);
        connections += c;
        activations += a;
        exchanges += x;
        checked += r;
        check(c > 0 && a == c, std::string(kProfiles[p].fault) + ": " + std::to_string(c - a) + " of " +
                                   std::to_string(c) + " activations not as expected");
    }
    std::printf(
        "connections %llu, activations as expected %llu, exchanges %llu, responses checked %llu, lost %llu\n"
        "timer rounds %llu (fired %llu, cancelled ones that ran %llu), log lines %llu\n"
        "socket layer: %llu connections, %llu messages, %llu stream errors, %llu reader pauses, %llu "
        "dropped\n"
        "most messages cached for a channel %zu\n"
        "RSS after warm-up %ld kB, at the end %ld kB (peak %ld kB); live heap %ld kB, %ld kB (-1: not "
        "known)\n"
        "threads before %ld, after %ld\n",
        ull(connections), ull(activations), ull(exchanges), ull(checked), ull(lost), ull(timer_rounds),
        ull(fired), ull(g_cancelled_fired.load()), ull(log_lines), ull(layer.connections_opened),
        ull(layer.messages_appended), ull(layer.stream_errors), ull(layer.reader_pauses),
        ull(layer.messages_dropped), max_cached, rss_first, rss_last, rss_peak, heap_first, heap_last,
        threads_before, threads_after);

    check(failed == 0, std::to_string(failed) + " failed checks of the testers (the first ones below)");
    check(lost == 0, std::to_string(lost) + " responses lost");
    check(checked > 0, "no response was checked");
    check(fired == timer_rounds,
          "fired timers " + std::to_string(fired) + " for " + std::to_string(timer_rounds) + " timer rounds");
    check(g_cancelled_fired == 0, "cancelled timers ran");
    check(layer.messages_dropped == 0, "messages were dropped from a queue");
    check(max_cached < kQueueBound,
          "a queue held " + std::to_string(max_cached) + " messages for one channel");
    check(layer.receive_threads == 0 && connections_left == 0, "receive threads or connections left");
    check(threads_after == threads_before,
          "threads before " + std::to_string(threads_before) + ", after " + std::to_string(threads_after));
    check(rss_first > 0 && flat(rss_first, rss_last),
          "RSS grew from " + std::to_string(rss_first) + " kB to " + std::to_string(rss_last) + " kB");
    check(flat(heap_first, heap_last), "the live heap grew from " + std::to_string(heap_first) + " kB to " +
                                           std::to_string(heap_last) + " kB");
    for (const std::string& failure : failures) {
        std::printf("FAILED: %s\n", failure.c_str());
    }
    std::printf("%s\n", failures.empty() ? "soak passed" : "soak FAILED");
    return failures.empty() ? 0 : 1;
}

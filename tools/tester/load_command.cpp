// doip-tester load: N testers at once, each with its own session (its own channel and tester address) on
// its own thread. Each activates routing; when all have tried, the exchanges start together and run for
// the duration or the count, paced by the rate. A connection that is lost stops (it is not reopened). The
// main thread redraws a progress line on a terminal and, at the end, merges what each connection counted.
#include "load_command.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "formatting.h"
#include "load_report.h"
#include "terminal.h"

namespace doip_tools {
namespace {

constexpr std::chrono::milliseconds kProgressInterval{250};
// How long an activated session waiting for the start listens for alive checks before it looks again.
constexpr uint32_t kIdleLookMs = 50;

// One tester. Its thread alone uses the session and writes `figures` until it is joined; the progress line
// reads the atomics.
struct Tester {
    uint32_t index = 0;
    uint8_t channel = 0;
    uint16_t source = 0;
    std::unique_ptr<Session> session;
    std::thread thread;
    bool activated = false;
    LoadFigures figures;
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> errors{0};
};

class LoadRun {
  public:
    LoadRun(const TesterOptions& options, const LoadOptions& load, const std::vector<UdsRequest>& requests,
            std::ostream& out)
        : options_(options), load_(load), requests_(requests), out_(out) {}

    int run() {
        print_plan();
        const uint32_t started = start_testers();
        Clock::time_point start;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return ready_ == started; });
            start = Clock::now();
            go_ = true;
        }
        changed_.notify_all();
        watch(start, started);
        for (const auto& t : testers_) {
            if (t->thread.joinable()) {
                t->thread.join();
            }
        }
        take_log_lines();  // kept by the sessions' logger hook; the table says what went wrong
        LoadFigures total;
        total.seconds = ms_since(start) / 1000.0;
        total.connections_requested = load_.connections;
        for (const auto& t : testers_) {
            total.connections_activated += t->activated ? 1 : 0;
            total.merge(t->figures);
        }
        print_load_table(total, out_);
        if (!load_.json_file.empty()) {
            std::ofstream json(load_.json_file, std::ios::binary);
            json << load_json(total);
            if (!json.flush()) {
                out_ << "error: cannot write " << load_.json_file << "\n";
                return kExitFailure;
            }
        }
        return total.errors() == 0 ? kExitOk : kExitFailure;
    }

  private:
    void print_plan() const {
        out_ << "load: " << load_.connections << " connections to " << options_.host << ":" << options_.port
             << (options_.tls ? " over TLS" : "") << ", tester addresses " << hex16(load_.first_source)
             << " to " << hex16(load_.first_source + load_.connections - 1) << "\n  requests:";
        for (const UdsRequest& r : requests_) {
            out_ << " [" << hex_bytes(r.uds) << " to "
                 << hex16(r.has_target ? r.target : options_.target_address) << "]";
        }
        out_ << "\n  ";
        if (load_.count > 0) {
            out_ << load_.count << (load_.count == 1 ? " pass" : " passes")
                 << " over the requests per connection";
            if (load_.duration_given) {
                out_ << ", at most " << load_.duration_s << " s";
            }
        } else {
            out_ << "for " << load_.duration_s << " s";
        }
        out_ << ", "
             << (load_.rate > 0 ? std::to_string(load_.rate) + " exchanges/s per connection" : "no pause")
             << "\n";
    }

    // Starts a thread per tester; those that cannot start count as activation failures. Returns how many
    // testers report to the start gate (all of them).
    uint32_t start_testers() {
        // Channels 1..N, or 0..255 when every channel is needed.
        const uint32_t first_channel = load_.connections < kMaxLoadConnections ? 1 : 0;
        for (uint32_t i = 0; i < load_.connections; ++i) {
            auto t = std::make_unique<Tester>();
            t->index = i;
            t->channel = static_cast<uint8_t>(first_channel + i);
            t->source = static_cast<uint16_t>(load_.first_source + i);
            TesterOptions options = options_;
            options.channel = t->channel;
            options.source_address = t->source;
            // Made here, one after the other: a session sets the process-wide socket table and logger.
            // Each reads its own connection's queue.
            t->session = std::make_unique<Session>(options);
            Tester& tester = *t;
            testers_.push_back(std::move(t));
            try {
                tester.thread = std::thread([this, &tester] { run_tester(tester); });
            } catch (const std::system_error& e) {
                fail_activation(tester, std::string("no thread for it: ") + e.what());
                std::lock_guard<std::mutex> lock(mutex_);
                ++ready_;
                ++finished_;
            }
        }
        return load_.connections;
    }

    void fail_activation(Tester& t, const std::string& why) {
        t.figures.activation_failures = 1;
        t.figures.first_activation_failure =
            "connection " + std::to_string(t.index) + " (tester " + hex16(t.source) + "): " + why;
        t.errors = 1;
    }

    void run_tester(Tester& t) {
        Session& session = *t.session;
        {
            // The library takes the first routing activation response of any connection: one at a time.
            std::lock_guard<std::mutex> lock(activation_mutex_);
            session.activate();
            // The library keys its registry by the connection's addresses and ports and gives the next
            // activation towards the same entity the local port of a registered key, whose state says
            // "activated": that activation would return at once without a connection of its own. Once
            // routing is active the entry is no longer needed.
            delete_doip_state(&session.context());
        }
        if (session.activation_failure().empty()) {
            t.activated = true;
        } else {
            const std::string hint = session.activation_hint();
            fail_activation(t, session.activation_failure() + (hint.empty() ? "" : " (hint: " + hint + ")"));
            session.close();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++ready_;
        }
        changed_.notify_all();
        wait_for_start(t, session);
        if (t.activated) {
            exchange(t, session);
        }
        session.close();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++finished_;
        }
        changed_.notify_all();
    }

    // Until the start, an activated session answers the entity's alive checks (receive() does): when a
    // later tester's activation finds every socket taken, the entity checks them, and takes a silent one for
    // gone.
    void wait_for_start(Tester& t, Session& session) {
        bool listening = t.activated;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!listening) {
                    changed_.wait(lock, [&] { return go_; });
                }
                if (go_) {
                    return;
                }
            }
            ReceivedMessage nothing_awaited;
            // False at once when the connection has ended: the exchanges will say so.
            listening =
                !session.receive({}, kIdleLookMs, &nothing_awaited) && session.receive_failure().empty();
        }
    }

    // The request list in a loop until the count, the stop or the connection's end.
    void exchange(Tester& t, Session& session) {
        const auto interval =
            load_.rate > 0
                ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / load_.rate))
                : Clock::duration::zero();
        Clock::time_point next = Clock::now();
        for (uint32_t pass = 0; load_.count == 0 || pass < load_.count; ++pass) {
            for (const UdsRequest& request : requests_) {
                if (load_.rate > 0) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait_until(lock, next, [&] { return stop_.load(); });
                    // A late exchange moves the schedule on rather than bursting to catch up.
                    next = std::max(next + interval, Clock::now());
                }
                if (stop_) {
                    return;
                }
                if (!one(t, session, request)) {
                    return;
                }
            }
        }
    }

    // One exchange, counted; false when the connection is gone.
    bool one(Tester& t, Session& session, const UdsRequest& request) {
        session.context().target_address = request.has_target ? request.target : options_.target_address;
        const UdsExchange x = session.uds(request.uds);
        LoadFigures& f = t.figures;
        ++f.exchanges;
        const LoadError kind = classify(x.outcome);
        if (kind == LoadError::none || kind == LoadError::nrc) {
            ++f.completed;
            t.completed.store(f.completed, std::memory_order_relaxed);
            if (x.outcome != UdsExchange::Outcome::no_response_expected) {
                f.latency.add(x.response_ms);
            }
        }
        if (kind != LoadError::none) {
            f.count_error(kind);
            t.errors.fetch_add(1, std::memory_order_relaxed);
            if (f.first_error.empty()) {
                f.first_error = "connection " + std::to_string(t.index) + " (tester " + hex16(t.source) +
                                "), UDS " + hex_bytes(request.uds) + ": " + outcome_name(x.outcome) +
                                (x.cause.empty() ? "" : ": " + x.cause);
            }
        }
        return kind != LoadError::closed;
    }

    // Until every tester has finished: the stop at the deadline, and the progress line on a terminal.
    void watch(Clock::time_point start, uint32_t started) {
        const bool timed = load_.count == 0 || load_.duration_given;
        const auto deadline = start + std::chrono::seconds(load_.duration_s);
        const bool progress = stdout_is_terminal();
        uint64_t last_completed = 0;
        Clock::time_point last = start;
        bool drawn = false;
        for (;;) {
            bool all_finished;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                auto until = Clock::now() + kProgressInterval;
                if (timed && !stop_ && deadline < until) {
                    until = deadline;
                }
                all_finished = changed_.wait_until(lock, until, [&] { return finished_ == started; });
                if (!all_finished && timed && !stop_ && Clock::now() >= deadline) {
                    stop_ = true;
                    changed_.notify_all();
                }
            }
            take_log_lines();
            if (progress) {
                uint64_t completed = 0;
                uint64_t errors = 0;
                for (const auto& t : testers_) {
                    completed += t->completed.load(std::memory_order_relaxed);
                    errors += t->errors.load(std::memory_order_relaxed);
                }
                const Clock::time_point now = Clock::now();
                const double interval = std::chrono::duration<double>(now - last).count();
                const double rate =
                    interval > 0 ? static_cast<double>(completed - last_completed) / interval : 0;
                char line[160];
                std::snprintf(line, sizeof line, "\r  %.1f s  exchanges %llu  %.0f/s  errors %llu   ",
                              std::chrono::duration<double>(now - start).count(),
                              static_cast<unsigned long long>(completed), rate,
                              static_cast<unsigned long long>(errors));
                out_ << line << std::flush;
                drawn = true;
                last_completed = completed;
                last = now;
            }
            if (all_finished) {
                break;
            }
        }
        if (drawn) {
            out_ << "\n";
        }
    }

    const TesterOptions& options_;
    const LoadOptions& load_;
    const std::vector<UdsRequest>& requests_;
    std::ostream& out_;
    std::mutex activation_mutex_;
    std::vector<std::unique_ptr<Tester>> testers_;
    // The start gate, the stop and the ends, under mutex_; stop_ is also read without it.
    std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t ready_ = 0;
    bool go_ = false;
    uint32_t finished_ = 0;
    std::atomic<bool> stop_{false};
};

}  // namespace

std::string check_load_options(const LoadOptions& load) {
    if (load.connections == 0 || load.connections > kMaxLoadConnections) {
        return "--connections takes 1 to " + std::to_string(kMaxLoadConnections) +
               " (one socket-layer channel per connection, 256 channels per process), not " +
               std::to_string(load.connections);
    }
    if (load.first_source + load.connections - 1 > 0xFFFF) {
        return "the tester addresses " + hex16(load.first_source) + " + " + std::to_string(load.connections) +
               " connections go beyond 0xFFFF";
    }
    return std::string();
}

int run_load(const TesterOptions& options, const LoadOptions& load, const std::vector<UdsRequest>& requests,
             std::ostream& out) {
    std::vector<UdsRequest> list = requests;
    if (list.empty()) {
        list.push_back(UdsRequest{{0x3E, 0x00}, false, 0});
    }
    return LoadRun(options, load, list, out).run();
}

}  // namespace doip_tools

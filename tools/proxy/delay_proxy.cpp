// doip-delay-proxy: a TCP proxy that holds every chunk it forwards for a delay with jitter, each direction
// on its own, and never reorders bytes. A test aid for scripts/netfault.sh (delay and jitter between a
// tester and an entity); it uses the tools' socket wrapper (net.h) and makes no OS call of its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <iostream>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "net.h"

namespace {

namespace net = doip_tools::net;
using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

const char* kUsage = R"(doip-delay-proxy: forwards TCP connections, holding each chunk for a delay with jitter

Usage: doip-delay-proxy --to ADDRESS --to-port N [options]

Every connection accepted on --bind:--port is connected onward to --to:--to-port. Each chunk read on one
side is written to the other side --delay ms +- --jitter ms (drawn uniformly, per chunk and direction)
after it was read, but never before the chunk read before it: the byte order is kept, so jitter is taken
out of order only as far as it does not overtake. When one side closes, what is still held for the other
side is delivered and then both connections are closed. Runs until interrupted (Ctrl-C); prints a line
per connection when it ends.

Options (times in milliseconds):
  --bind ADDRESS    address to listen on (default 127.0.0.1)
  --port N          port to listen on (default 13401; 0: an ephemeral port, printed at start)
  --to ADDRESS      the address to connect onward to
  --to-port N       its port (default 13400)
  --delay MS        the delay of every chunk, each direction (default 0)
  --jitter MS       at most this much more or less (default 0; at most --delay)
  --seed N          seed of the jitter draws (default 1)
)";

struct Settings {
    net::Endpoint listen{"127.0.0.1", 13401};
    net::Endpoint target{"", 13400};
    uint32_t delay_ms = 0;
    uint32_t jitter_ms = 0;
    uint32_t seed = 1;
};

// One direction of one connection: reads chunks from `from`, writes each to `to` when it is due.
class Pipe {
  public:
    Pipe(net::Handle from, net::Handle to, const Settings& s, uint32_t seed)
        : from_(from), to_(to), s_(s), random_(seed) {}

    // Until the source closes (then what is held is delivered) or a side fails or the proxy stops.
    void run() {
        std::vector<uint8_t> buffer(65536);
        bool source_open = true;
        while (!g_stop && (source_open || !held_.empty())) {
            int wait_ms = 100;
            if (!held_.empty()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(held_.front().due - Clock::now());
                wait_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, 100));
            }
            if (source_open) {
                if (net::wait_readable(from_, wait_ms) != 0) {
                    const long n = net::recv_some(from_, buffer.data(), buffer.size());
                    if (n > 0) {
                        hold(buffer.data(), static_cast<size_t>(n));
                    } else {
                        source_open = false;
                    }
                }
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            }
            while (!held_.empty() && held_.front().due <= Clock::now()) {
                if (!net::send_all(to_, held_.front().bytes.data(), held_.front().bytes.size())) {
                    held_.clear();
                    source_open = false;
                    break;
                }
                bytes_ += held_.front().bytes.size();
                held_.pop_front();
            }
        }
        // Ends both directions: the other pipe's source reads its end, and its writes fail.
        net::shutdown_both(from_);
        net::shutdown_both(to_);
    }

    uint64_t bytes() const { return bytes_; }

  private:
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    void hold(const uint8_t* bytes, size_t count) {
        const int jitter = static_cast<int>(s_.jitter_ms);
        const int ms =
            static_cast<int>(s_.delay_ms) + std::uniform_int_distribution<int>(-jitter, jitter)(random_);
        // Never before the chunk ahead of it: that keeps the byte order.
        const auto due = std::max(Clock::now() + std::chrono::milliseconds(ms), last_due_);
        last_due_ = due;
        held_.push_back({due, std::vector<uint8_t>(bytes, bytes + count)});
    }

    net::Handle from_;
    net::Handle to_;
    const Settings& s_;
    std::mt19937 random_;
    std::deque<Chunk> held_;
    Clock::time_point last_due_;
    uint64_t bytes_ = 0;
};

// An accepted connection and its onward one, a thread per direction.
class Forwarding {
  public:
    Forwarding(unsigned number, net::Handle client, net::Handle server, const Settings& s)
        : number_(number),
          client_(client),
          server_(server),
          up_(client, server, s, s.seed + 2 * number),
          down_(server, client, s, s.seed + 2 * number + 1) {
        up_thread_ = std::thread([this] {
            up_.run();
            ++finished_;
        });
        down_thread_ = std::thread([this] {
            down_.run();
            ++finished_;
        });
    }

    ~Forwarding() {
        net::shutdown_both(client_);
        net::shutdown_both(server_);
        up_thread_.join();
        down_thread_.join();
        net::close(client_);
        net::close(server_);
        std::cout << "connection " << number_ << " ended: " << up_.bytes()
                  << " bytes forwarded to the target, " << down_.bytes() << " bytes back" << std::endl;
    }

    bool finished() const { return finished_ == 2; }

  private:
    unsigned number_;
    net::Handle client_;
    net::Handle server_;
    Pipe up_;
    Pipe down_;
    std::atomic<int> finished_{0};
    std::thread up_thread_;
    std::thread down_thread_;
};

int serve(const Settings& s) {
    std::string error;
    const net::Handle listener = net::tcp_listen(s.listen, 16, &error);
    if (listener == net::kInvalid) {
        std::cerr << "doip-delay-proxy: cannot listen on " << s.listen.ip << ":" << s.listen.port << ": "
                  << error << "\n";
        return 1;
    }
    net::Endpoint bound;
    net::local_endpoint(listener, &bound);
    std::cout << "doip-delay-proxy listening on " << bound.ip << ":" << bound.port << " -> " << s.target.ip
              << ":" << s.target.port << ", delay " << s.delay_ms << " ms +- " << s.jitter_ms
              << " ms each way" << std::endl;
    std::list<std::unique_ptr<Forwarding>> connections;
    unsigned count = 0;
    while (!g_stop) {
        connections.remove_if([](const std::unique_ptr<Forwarding>& f) { return f->finished(); });
        if (net::wait_readable(listener, 100) == 0) {
            continue;
        }
        net::Endpoint peer;
        const net::Handle client = net::tcp_accept(listener, &peer);
        if (client == net::kInvalid) {
            continue;
        }
        const net::ConnectResult server = net::tcp_connect({}, s.target, 2000);
        if (server.handle == net::kInvalid) {
            std::cerr << "doip-delay-proxy: cannot connect to " << s.target.ip << ":" << s.target.port << ": "
                      << server.text << "\n";
            net::close(client);
            continue;
        }
        connections.push_back(std::make_unique<Forwarding>(++count, client, server.handle, s));
    }
    connections.clear();
    net::close(listener);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    doip_tools::OptionTable table;
    table.text("--bind", &s.listen.ip, &net::is_ipv4)
        .decimal("--port", 65535, &s.listen.port)
        .text("--to", &s.target.ip, &net::is_ipv4)
        .decimal("--to-port", 65535, &s.target.port, 1)
        .decimal("--delay", 600000, &s.delay_ms)
        .decimal("--jitter", 600000, &s.jitter_ms)
        .decimal("--seed", 0xFFFFFFFFu, &s.seed);
    const doip_tools::OptionTable::Result parsed =
        table.parse(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.status == doip_tools::OptionTable::Status::help) {
        std::cout << kUsage;
        return 0;
    }
    std::string problem;
    if (parsed.status != doip_tools::OptionTable::Status::ok) {
        problem = "bad or unknown option " + parsed.argument;
    } else if (s.target.ip.empty()) {
        problem = "--to is needed";
    } else if (s.jitter_ms > s.delay_ms) {
        problem = "--jitter is more than --delay";
    }
    if (!problem.empty()) {
        std::cerr << "doip-delay-proxy: " << problem << " (see --help)\n";
        return 2;
    }
    if (!net::startup()) {
        std::cerr << "doip-delay-proxy: the socket library cannot start\n";
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    return serve(s);
}

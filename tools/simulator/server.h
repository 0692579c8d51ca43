// The simulator's sockets and threads: a TCP listener with a thread per connection that cuts the byte
// stream into messages and keeps its inactivity timer, a UDP socket on the same port, and a thread that
// sends the vehicle announcements. What the messages mean is the entity's business; the replies on TCP go
// out through the fault injection.
#ifndef DOIP_TOOLS_SIMULATOR_SERVER_H
#define DOIP_TOOLS_SIMULATOR_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "entity.h"
#include "faults.h"
#include "formatting.h"
#include "net.h"
#include "stop_signal.h"

namespace doip_tools {

class Server {
  public:
    // `options` and `entity` must outlive the server.
    Server(const SimulatorOptions& options, Entity& entity);
    // stop().
    ~Server();

    // Binds and starts the threads; returns once both sockets listen. False with `error` filled on failure.
    bool start(std::string* error);
    // Closes every connection and joins every thread; pending announcements are dropped. Idempotent.
    void stop();

    uint16_t port() const { return port_; }
    uint64_t connections() const { return connections_; }
    // TCP connections being served. Any thread.
    size_t open_connections() const;
    // Any thread. Waits until exactly `count` connections are served; false when `timeout` passes first.
    bool wait_for_open_connections(size_t count, std::chrono::milliseconds timeout) const;

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

  private:
    static constexpr int kPollMs = 50;  // how often the loops look for the stop request
    static constexpr size_t kReceiveChunk = 16384;
    static constexpr int kBindAttempts = 20;
    // ISO 13400-2's A_DoIP_Announce_Wait (the longest random wait before the first), _Num, _Interval.
    static constexpr uint32_t kAnnounceWaitMs = 500;
    static constexpr int kAnnounceCount = 3;
    static constexpr uint32_t kAnnounceIntervalMs = 500;

    struct Client {
        std::shared_ptr<Connection> connection;
        std::thread thread;
        bool done = false;  // under mutex_
    };

    bool bind_sockets(std::string* error);
    void accept_loop();
    void reap_ended_clients();
    void udp_loop();
    void announce(const net::Endpoint& to);
    // The connection's thread: reads until the peer closes, the connection is to end or its inactivity
    // timer runs out.
    void serve(Client& client);
    // Cuts the messages out of `pending` and answers them. False when the connection is to end.
    bool handle_stream(Connection& connection, std::vector<uint8_t>& pending, size_t& skip);
    size_t open_connections_locked() const;

    const SimulatorOptions& options_;
    Entity& entity_;
    StopSignal stop_;
    ReplyWriter writer_;
    uint16_t port_ = 0;
    net::Handle listener_ = net::kInvalid;
    net::Handle udp_ = net::kInvalid;
    std::thread accept_thread_;
    std::thread udp_thread_;
    std::thread announce_thread_;
    std::atomic<uint64_t> connections_{0};

    mutable std::mutex mutex_;
    mutable std::condition_variable clients_changed_;
    std::list<std::shared_ptr<Client>> clients_;
};

}  // namespace doip_tools

#endif

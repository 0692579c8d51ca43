// The simulator's sockets and threads: a TCP listener with a thread per connection that cuts the byte
// stream into messages and keeps its timers (inactivity, and the read timeout of a message begun), a UDP
// socket on the same port, and a thread that sends the vehicle announcements. With TLS on, a second TCP
// listener (its own accept thread) takes secure connections: admitted and served like the plain ones, each
// after its handshake, which its own thread runs. What the messages mean is the
// entity's business; the replies on TCP go out through the fault injection.
//
// Out of resources, the server refuses what it cannot serve and goes on with the rest: a connection beyond
// max_connections, or one it cannot start a thread for, is closed at once and logged; while accepting fails
// (out of descriptors, ...) the listener is tried again every kAcceptRetryMs instead of at once.
#ifndef DOIP_TOOLS_SIMULATOR_SERVER_H
#define DOIP_TOOLS_SIMULATOR_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "entity.h"
#include "faults.h"
#include "formatting.h"
#include "net.h"
#include "stop_signal.h"
#include "tls.h"

namespace doip_tools {

class Server {
  public:
    // `options` and `entity` must outlive the server.
    Server(const SimulatorOptions& options, Entity& entity);
    // stop().
    ~Server();

    // Binds and starts the threads; returns once every socket listens. False with `error` filled on failure,
    // among them TLS settings that cannot be used.
    bool start(std::string* error);
    // Closes every connection and joins every thread; pending announcements are dropped. Idempotent.
    void stop();

    uint16_t port() const { return port_; }
    // The port of secure connections; 0 without TLS.
    uint16_t tls_port() const { return tls_port_; }
    // TCP connections accepted, and those of them closed at once (refused).
    uint64_t connections() const { return connections_; }
    uint64_t connections_refused() const { return refused_; }
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
    static constexpr uint32_t kAcceptRetryMs = 100;  // the pause after a failed accept
    // ISO 13400-2's A_DoIP_Announce_Wait (the longest random wait before the first), _Num, _Interval.
    static constexpr uint32_t kAnnounceWaitMs = 500;
    static constexpr int kAnnounceCount = 3;
    static constexpr uint32_t kAnnounceIntervalMs = 500;

    struct Client {
        std::shared_ptr<Connection> connection;
        std::thread thread;
        bool done = false;  // under mutex_
    };
    // What a connection's thread has received and not yet handled.
    struct Inbound {
        std::vector<uint8_t> pending;  // the start of a message that is not whole yet
        size_t skip = 0;               // payload bytes of a refused message still to come and be dropped
        std::optional<Clock::time_point> message_began;  // when the first byte of that message came
    };

    bool bind_sockets(std::string* error);
    // The TLS context and listener, when TLS is on.
    bool start_tls(std::string* error);
    // Takes the connections of `listener`, TLS ones when `secure`.
    void accept_loop(net::Handle listener, bool secure);
    // Serves the accepted connection on a thread of its own, or refuses it.
    void admit(net::Handle handle, const net::Endpoint& peer, bool secure);
    // Under mutex_. Registers the connection and starts its thread; empty, or why it cannot be served.
    std::string start_client(net::Handle handle, const std::string& name, bool secure);
    void refuse(net::Handle handle, const std::string& name, const std::string& why);
    void reap_ended_clients();
    void udp_loop();
    void announce(const net::Endpoint& to);
    // The connection's thread: reads until the peer closes, the connection is to end or one of its timers
    // runs out.
    void serve(Client& client);
    // The server side of a TLS connection's handshake; false (logged) when it failed.
    bool handshake(Connection& connection);
    // Cuts the messages out of `in` and answers them. False when the connection is to end.
    bool handle_stream(Connection& connection, Inbound& in);
    size_t open_connections_locked() const;

    const SimulatorOptions& options_;
    Entity& entity_;
    StopSignal stop_;
    ReplyWriter writer_;
    uint16_t port_ = 0;
    net::Handle listener_ = net::kInvalid;
    net::Handle udp_ = net::kInvalid;
    std::shared_ptr<tls::Context> tls_context_;
    net::Handle tls_listener_ = net::kInvalid;
    uint16_t tls_port_ = 0;
    std::thread accept_thread_;
    std::thread tls_accept_thread_;
    std::thread udp_thread_;
    std::thread announce_thread_;
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> refused_{0};

    mutable std::mutex mutex_;
    mutable std::condition_variable clients_changed_;
    std::list<std::shared_ptr<Client>> clients_;
};

}  // namespace doip_tools

#endif

// One TCP connection to the simulator. Its serving thread reads the socket and owns the fields marked
// "own thread"; other threads only write to it (an alive check request) or shut it down (a silent socket
// when room is needed), both through the send mutex, so that nothing touches the descriptor once the
// serving thread has retired it. Only the server's reaper closes the descriptor, after joining that thread.
#ifndef DOIP_TOOLS_SIMULATOR_CONNECTION_H
#define DOIP_TOOLS_SIMULATOR_CONNECTION_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net.h"

namespace doip_tools {

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(net::Handle handle, std::string name) : handle_(handle), name_(std::move(name)) {}

    net::Handle handle() const { return handle_; }
    // The peer's address:port, for log lines.
    const std::string& name() const { return name_; }

    // Any thread. Writes every byte, never interleaved with another thread's write; false when the
    // connection failed or is retired.
    bool send(const uint8_t* bytes, size_t count) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        return !retired_ && net::send_all(handle_, bytes, count);
    }
    // Any thread. Writes each piece of `count` bytes in turn under one lock, calling `between` after each.
    template <typename Between>
    bool send_pieces(const uint8_t* bytes, size_t count, size_t piece, Between between) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        for (size_t at = 0; at < count && !retired_; at += piece) {
            if (!net::send_all(handle_, bytes + at, std::min(piece, count - at))) {
                return false;
            }
            between();
        }
        return !retired_;
    }
    // Any thread. Ends both directions, which wakes the serving thread; nothing once retired.
    void shut_down() {
        std::lock_guard<std::mutex> lock(send_mutex_);
        if (!retired_) {
            net::shutdown_both(handle_);
        }
    }
    // The serving thread, when it ends: shuts the socket down and lets no other thread touch it again.
    void retire() {
        std::lock_guard<std::mutex> lock(send_mutex_);
        net::shutdown_both(handle_);
        retired_ = true;
    }

    bool close_after_reply = false;  // own thread: the entity ends the connection once its replies are out
    bool cut_off = false;  // own thread: a reply was cut (fault injection, or a send failed or timed out)
    std::chrono::steady_clock::time_point last_message;  // own thread: when the last whole message came

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

  private:
    const net::Handle handle_;
    const std::string name_;
    std::mutex send_mutex_;
    bool retired_ = false;  // under send_mutex_
};

}  // namespace doip_tools

#endif

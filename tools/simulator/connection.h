// One TCP connection to the simulator, plain or TLS. Its serving thread reads the socket (or the TLS
// session over it) and owns the fields marked "own thread"; other threads only write to it (an alive check
// request) or shut it down (a silent socket when room is needed), both through the send mutex, so that
// nothing touches the descriptor once the serving thread has retired it. Only the server's reaper closes the
// descriptor, after joining that thread.
//
// A TLS connection gets its session from its serving thread once the handshake is done, before anything
// is read or written; from then on every byte goes through the session. The plain path stays a bare
// recv/send on the socket.
#ifndef DOIP_TOOLS_SIMULATOR_CONNECTION_H
#define DOIP_TOOLS_SIMULATOR_CONNECTION_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net.h"
#include "tls.h"

namespace doip_tools {

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // `secure`: it came in on the TLS port (and is served only once its handshake is done).
    // `send_timeout_ms`: how long a write may wait for the peer to take something (0: no limit).
    Connection(net::Handle handle, std::string name, bool secure = false, int send_timeout_ms = 0)
        : handle_(handle), name_(std::move(name)), secure_(secure), send_timeout_ms_(send_timeout_ms) {}

    net::Handle handle() const { return handle_; }
    // The peer's address:port, for log lines.
    const std::string& name() const { return name_; }
    // True for a connection on the TLS port. Any thread.
    bool secure() const { return secure_; }

    // The serving thread, once the handshake is done and before anything is read or written.
    void start_session(std::unique_ptr<tls::Session> session) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        session_ = std::move(session);
    }

    // The serving thread. 1 when receive() may have something, 0 on timeout, -1 on failure.
    int wait_readable(int timeout_ms) {
        return session_ ? session_->wait_readable(timeout_ms) : net::wait_readable(handle_, timeout_ms);
    }
    // The serving thread. The bytes read, 0 when nothing was there after all (wait and read again), -1
    // when the connection ended; `why` says how when there is more to say than an orderly close.
    long receive(uint8_t* buffer, size_t capacity, std::string* why) {
        if (!session_) {
            const long n = net::recv_some(handle_, buffer, capacity);
            return n > 0 ? n : -1;
        }
        tls::ReadStatus status = tls::ReadStatus::failed;
        const size_t n = session_->read(buffer, capacity, &status, why);
        switch (status) {
            case tls::ReadStatus::data:
                return static_cast<long>(n);
            case tls::ReadStatus::would_block:
                return 0;
            case tls::ReadStatus::closed:
                return -1;
            case tls::ReadStatus::truncated:
                *why = "the connection ended without TLS close_notify";
                return -1;
            case tls::ReadStatus::reset:
                *why = "the peer reset the connection";
                return -1;
            default:
                return -1;
        }
    }

    // Any thread. Writes every byte, never interleaved with another thread's write; false when the
    // connection failed or is retired (send_error() says why).
    bool send(const uint8_t* bytes, size_t count) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        return !retired_ && write(bytes, count);
    }
    // Any thread. Writes each piece of `count` bytes in turn under one lock, calling `between` after each.
    template <typename Between>
    bool send_pieces(const uint8_t* bytes, size_t count, size_t piece, Between between) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        for (size_t at = 0; at < count && !retired_; at += piece) {
            if (!write(bytes + at, std::min(piece, count - at))) {
                return false;
            }
            between();
        }
        return !retired_;
    }
    // The thread whose send() failed, right after it: why.
    std::string send_error() {
        std::lock_guard<std::mutex> lock(send_mutex_);
        return session_ ? tls_send_error_ : net::last_error_text();
    }
    // Any thread. Ends both directions (TLS: after close_notify), which wakes the serving thread; nothing
    // once retired.
    void shut_down() {
        std::lock_guard<std::mutex> lock(send_mutex_);
        if (!retired_) {
            end();
        }
    }
    // The serving thread, when it ends: shuts the socket down and lets no other thread touch it (or the
    // session) again.
    void retire() {
        std::lock_guard<std::mutex> lock(send_mutex_);
        end();
        session_.reset();
        retired_ = true;
    }

    bool close_after_reply = false;  // own thread: the entity ends the connection once its replies are out
    bool cut_off = false;  // own thread: a reply was cut (fault injection, or a send failed or timed out)
    std::chrono::steady_clock::time_point last_message;  // own thread: when the last whole message came

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

  private:
    // Under send_mutex_.
    bool write(const uint8_t* bytes, size_t count) {
        return session_ ? session_->write_all(bytes, count, send_timeout_ms_, &tls_send_error_)
                        : net::send_all(handle_, bytes, count);
    }
    // Under send_mutex_: close_notify first, so that the peer sees an orderly end of the session.
    // Once: a close_notify on a socket already shut down would only fail (or raise SIGPIPE).
    void end() {
        if (shut_) {
            return;
        }
        shut_ = true;
        if (session_) {
            session_->close_notify();
        }
        net::shutdown_both(handle_);
    }

    const net::Handle handle_;
    const std::string name_;
    const bool secure_;
    const int send_timeout_ms_;
    std::mutex send_mutex_;
    // Set under send_mutex_ by the serving thread, which alone reads it without the lock; others read it
    // under the lock and only before retired_.
    std::unique_ptr<tls::Session> session_;
    std::string tls_send_error_;  // under send_mutex_
    bool shut_ = false;           // under send_mutex_
    bool retired_ = false;        // under send_mutex_
};

}  // namespace doip_tools

#endif

// A DoIP entity played by a script, for the tester's reactions to what the simulator does not do: a
// TCP listener on an ephemeral 127.0.0.1 port whose thread runs the script once per accepted connection,
// in the order they come. The script reads whole messages and writes raw bytes.
#ifndef DOIP_TESTS_E2E_SCRIPTED_PEER_H
#define DOIP_TESTS_E2E_SCRIPTED_PEER_H

#include <atomic>
#include <functional>
#include <thread>

#include "e2e_support.h"

namespace doip_e2e {

class ScriptedPeer {
  public:
    // One TCP connection, of the script or of a tester that connected to 127.0.0.1:port; ends with it.
    class Link {
      public:
        explicit Link(doip_tools::net::Handle handle) : handle_(handle) {}
        explicit Link(uint16_t port) {
            const doip_tools::net::ConnectResult r =
                doip_tools::net::tcp_connect({}, {"127.0.0.1", port}, 5000);
            EXPECT_NE(r.handle, doip_tools::net::kInvalid) << r.text;
            handle_ = r.handle;
        }
        ~Link() { finish(); }
        Link(const Link&) = delete;
        Link& operator=(const Link&) = delete;

        // The next `count` bytes; fewer when the connection ends or `timeout_ms` passes first.
        Bytes bytes(size_t count, int timeout_ms = 5000) {
            const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
            while (buffer_.size() < count && !ended_) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                uint8_t chunk[4096];
                if (left.count() <= 0 || doip_tools::net::wait_readable(handle_, int(left.count())) != 1) {
                    break;
                }
                const long n = doip_tools::net::recv_some(handle_, chunk, sizeof chunk);
                ended_ = n <= 0;
                buffer_.insert(buffer_.end(), chunk, chunk + std::max(n, 0L));
            }
            const auto taken = static_cast<std::ptrdiff_t>(std::min(count, buffer_.size()));
            Bytes out(buffer_.begin(), buffer_.begin() + taken);
            buffer_.erase(buffer_.begin(), buffer_.begin() + taken);
            return out;
        }
        // The next whole DoIP message (header and payload); empty when the peer closed or nothing whole
        // came within `timeout_ms`.
        Bytes read(int timeout_ms = 5000) {
            Bytes m = bytes(8, timeout_ms);
            const size_t length = m.size() < 8 ? 0 : doip_tools::load_be32(m.data() + 4);
            const Bytes payload = bytes(length, timeout_ms);
            m.insert(m.end(), payload.begin(), payload.end());
            return m.size() < 8 || payload.size() < length ? Bytes() : m;
        }
        // True when the peer closes the connection before anything more comes (within `timeout_ms`).
        bool closed(int timeout_ms = 5000) { return bytes(1, timeout_ms).empty() && ended_; }
        // Writes the bytes as they are (or written in hex); false when the connection failed.
        bool write(const Bytes& bytes) {
            return doip_tools::net::send_all(handle_, bytes.data(), bytes.size());
        }
        bool write(const std::string& text) { return write(hex(text)); }
        // Ends the connection (the tester sees an orderly close).
        void close() { doip_tools::net::shutdown_both(handle_); }
        // Aborts the connection (the tester sees a reset).
        void reset() {
            doip_tools::net::close_with_reset(handle_);
            handle_ = doip_tools::net::kInvalid;
        }
        // Waits until the tester closes the connection (or `timeout_ms` passes), dropping what it sends.
        void drain(int timeout_ms = 10000) {
            while (!read(timeout_ms).empty()) {
            }
        }
        // Reads the routing activation request and answers it with `code` for the tester address in it, or
        // for `tester` when that is set.
        void answer_activation(uint8_t code = 0x10, int tester = -1) {
            const Bytes request = read();
            if (request.size() < 10) {
                return;
            }
            Bytes response = hex(activation_response("00", code));
            doip_tools::store_be16(
                &response[8], static_cast<uint16_t>(tester >= 0 ? tester : request[8] << 8 | request[9]));
            write(response);
        }
        // Ends the connection unless reset() did.
        void finish() {
            if (handle_ != doip_tools::net::kInvalid) {
                doip_tools::net::shutdown_both(handle_);
                doip_tools::net::close(handle_);
                handle_ = doip_tools::net::kInvalid;
            }
        }

      private:
        doip_tools::net::Handle handle_ = doip_tools::net::kInvalid;
        Bytes buffer_;
        bool ended_ = false;
    };

    using Script = std::function<void(Link& link, int connection_index)>;

    // Listens at once and serves up to `connections` connections with `script`, one after the other.
    explicit ScriptedPeer(Script script, int connections = 1) : script_(std::move(script)) {
        std::string error;
        listener_ = doip_tools::net::tcp_listen(doip_tools::net::Endpoint{"127.0.0.1", 0}, 8, &error);
        EXPECT_NE(listener_, doip_tools::net::kInvalid) << error;
        doip_tools::net::Endpoint bound;
        doip_tools::net::local_endpoint(listener_, &bound);
        port_ = bound.port;
        thread_ = std::thread([this, connections] { serve(connections); });
    }
    // Waits for the script to end, then closes its sockets.
    ~ScriptedPeer() {
        stopping_ = true;
        thread_.join();
        doip_tools::net::close(listener_);
    }

    uint16_t port() const { return port_; }

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  private:
    void serve(int connections) {
        for (int index = 0; index < connections;) {
            if (doip_tools::net::wait_readable(listener_, 50) != 1) {
                if (stopping_) {
                    return;
                }
                continue;
            }
            doip_tools::net::Endpoint peer;
            const doip_tools::net::Handle handle = doip_tools::net::tcp_accept(listener_, &peer);
            if (handle == doip_tools::net::kInvalid) {
                continue;
            }
            Link link(handle);
            script_(link, index++);
        }
    }

    Script script_;
    doip_tools::net::Handle listener_ = doip_tools::net::kInvalid;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace doip_e2e

#endif

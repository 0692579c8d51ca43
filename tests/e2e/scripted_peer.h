// A DoIP entity played by a script, for the tester's reactions to what the simulator does not do: a
// TCP listener on an ephemeral 127.0.0.1 port whose thread runs the script once per accepted connection,
// in the order they come. The script reads whole messages and writes raw bytes.
#ifndef DOIP_TESTS_E2E_SCRIPTED_PEER_H
#define DOIP_TESTS_E2E_SCRIPTED_PEER_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "net.h"

namespace doip_e2e {

class ScriptedPeer {
  public:
    // One accepted connection, as the script sees it.
    class Link {
      public:
        explicit Link(doip_tools::net::Handle handle) : handle_(handle) {}

        // The next whole DoIP message (header and payload); empty when the peer closed or nothing whole
        // came within `timeout_ms`.
        std::vector<uint8_t> read(int timeout_ms = 5000) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            for (;;) {
                if (buffer_.size() >= 8) {
                    const size_t whole = 8 + size_t{doip_tools::load_be32(buffer_.data() + 4)};
                    if (buffer_.size() >= whole) {
                        std::vector<uint8_t> message(buffer_.begin(), buffer_.begin() + whole);
                        buffer_.erase(buffer_.begin(), buffer_.begin() + whole);
                        return message;
                    }
                }
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                uint8_t chunk[4096];
                if (left.count() <= 0 || doip_tools::net::wait_readable(handle_, int(left.count())) != 1) {
                    return {};
                }
                const long n = doip_tools::net::recv_some(handle_, chunk, sizeof chunk);
                if (n <= 0) {
                    return {};
                }
                buffer_.insert(buffer_.end(), chunk, chunk + n);
            }
        }
        // Writes the bytes as they are; false when the connection failed.
        bool write(const std::vector<uint8_t>& bytes) {
            return doip_tools::net::send_all(handle_, bytes.data(), bytes.size());
        }
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
            const std::vector<uint8_t> request = read();
            if (request.size() < 10) {
                return;
            }
            std::vector<uint8_t> response = {0x02,       0xFD, 0x00, 0x06, 0x00, 0x00, 0x00, 0x09, request[8],
                                             request[9], 0x0C, 0xE1, code, 0x00, 0x00, 0x00, 0x00};
            if (tester >= 0) {
                doip_tools::store_be16(&response[8], static_cast<uint16_t>(tester));
            }
            write(response);
        }
        // Ends the connection unless reset() did.
        void finish() {
            if (handle_ != doip_tools::net::kInvalid) {
                doip_tools::net::shutdown_both(handle_);
                doip_tools::net::close(handle_);
            }
        }

      private:
        doip_tools::net::Handle handle_;
        std::vector<uint8_t> buffer_;
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
            link.finish();
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

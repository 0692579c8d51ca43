// Shared pieces of the end-to-end tests: a simulator on an ephemeral 127.0.0.1 port, the reference socket
// layer installed into the library, and a logger hook that keeps every line.
#ifndef DOIP_TESTS_E2E_SUPPORT_H
#define DOIP_TESTS_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "bytes.h"
#include "doip.h"
#include "net.h"
#include "simulator.h"
#include "socket_layer.h"

namespace doip_e2e {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPatience{5000};

// "02 FD 00 07" and the like as bytes.
inline Bytes hex(const std::string& text) {
    Bytes bytes;
    EXPECT_TRUE(doip_tools::parse_hex_bytes(text, &bytes)) << text;
    return bytes;
}

constexpr uint16_t kTester = 0x0EF5;  // the tester's default source address
constexpr uint16_t kEntity = 0x0CE1;  // the simulator's logical address

// A whole DoIP message, protocol version 2.
inline Bytes message(uint16_t type, const Bytes& payload) {
    Bytes m(DOIP_HEADER_SIZE + payload.size());
    m[0] = 0x02;
    m[1] = 0xFD;
    doip_tools::store_be16(m.data() + 2, type);
    doip_tools::store_be32(m.data() + 4, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), m.begin() + DOIP_HEADER_SIZE);
    return m;
}

// A diagnostic message or acknowledgement: source and target address, then `rest`.
inline Bytes addressed(uint16_t type, uint16_t from, uint16_t to, const Bytes& rest) {
    Bytes payload(4 + rest.size());
    doip_tools::store_be16(payload.data(), from);
    doip_tools::store_be16(payload.data() + 2, to);
    std::copy(rest.begin(), rest.end(), payload.begin() + 4);
    return message(type, payload);
}
inline Bytes diag(uint16_t from, uint16_t to, const Bytes& uds) {
    return addressed(DOIP_PT_DIAG_MSG, from, to, uds);
}
// A UDS answer of the ECU `from` to the tester, and the positive acknowledgement of a request to `from`.
inline Bytes diag(uint16_t from, const std::string& uds) {
    return diag(from, kTester, hex(uds));
}
inline Bytes ack(uint16_t from) {
    return addressed(DOIP_PT_DIAG_MSG_ACK, from, kTester, {0x00});
}

// The bytes of `head` followed by the characters of `text`.
inline Bytes with_text(const std::string& head, const std::string& text) {
    Bytes bytes = hex(head);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// A routing activation request of the tester 0x0E`xx`, and the entity's response with `code`.
inline std::string activation_request(const std::string& xx) {
    return "02 FD 00 05 00 00 00 07 0E " + xx + " 00 00 00 00 00";
}
inline std::string activation_response(const std::string& xx, uint8_t code) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", code);
    return "02 FD 00 06 00 00 00 09 0E " + xx + " 0C E1 " + text + " 00 00 00 00";
}

// The parts of `text` between '|'.
inline std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    for (size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = std::min(text.find('|', at), text.size());
        parts.push_back(text.substr(at, end - at));
    }
    return parts;
}

// Each of the parts of `expected` (split()) is in `output`, or is not when it starts with '!'.
inline void expect_output(const std::string& output, const std::string& expected) {
    for (const std::string& part : split(expected)) {
        const bool absent = !part.empty() && part[0] == '!';
        const std::string text = part.substr(absent ? 1 : 0);
        EXPECT_EQ(output.find(text) == std::string::npos, absent)
            << (absent ? "unexpected \"" : "missing \"") << text << "\" in\n"
            << output;
    }
}

// A UDP socket on an ephemeral port of `ip` (every local address when empty), for entities or testers.
struct UdpPeer {
    explicit UdpPeer(const std::string& ip = "") {
        std::string error;
        handle = doip_tools::net::udp_open(doip_tools::net::Endpoint{ip, 0}, &error);
        EXPECT_NE(handle, doip_tools::net::kInvalid) << error;
        doip_tools::net::Endpoint bound;
        doip_tools::net::local_endpoint(handle, &bound);
        port = bound.port;
    }
    ~UdpPeer() { release(); }
    // The next datagram, its sender in `from`; empty when none comes within `timeout_ms`.
    Bytes receive(int timeout_ms = 5000, doip_tools::net::Endpoint* from = nullptr) {
        Bytes buffer(512);
        if (doip_tools::net::wait_readable(handle, timeout_ms) != 1) {
            return {};
        }
        const long n = doip_tools::net::udp_recv_from(handle, buffer.data(), buffer.size(), from);
        buffer.resize(static_cast<size_t>(std::max(n, 0L)));
        return buffer;
    }
    void send(const doip_tools::net::Endpoint& to, const Bytes& bytes) {
        EXPECT_TRUE(doip_tools::net::udp_send_to(handle, to, bytes.data(), bytes.size()));
    }
    // Closes the socket: its port number is free for another.
    void release() {
        doip_tools::net::close(handle);
        handle = doip_tools::net::kInvalid;
    }
    doip_tools::net::Handle handle = doip_tools::net::kInvalid;
    uint16_t port = 0;
};

// Simulator options that announce the vehicle to 127.0.0.1:`port`.
inline doip_tools::SimulatorOptions announcing_to(uint16_t port) {
    doip_tools::SimulatorOptions options;
    options.announce = true;
    options.announce_address = "127.0.0.1";
    options.announce_port = port;
    return options;
}

// A program's or a command's exit code and what it printed.
struct RunResult {
    int exit_code = -1;
    std::string output;
};

// Every line logged through the hooks, with its level.
inline std::mutex g_log_mutex;
inline std::string g_log;

inline int log_hook(int level, const char* text, uint32_t length) {
    EXPECT_EQ(std::strlen(text), length);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log += std::to_string(level) + " " + std::string(text, length) + "\n";
    return 0;
}

// What was logged since SetUp; `clear` starts afresh.
inline std::string logged(bool clear = false) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return clear ? std::exchange(g_log, std::string()) : g_log;
}

// An empty registry and an empty application queue.
inline void fresh_library() {
    reset_doip_state();
    doip_message_s m{};
    while (doip_get_message(&m, nullptr) == DOIP_OK) {
    }
    doip_message_destory(&m);
}

// A fresh simulator per test, the socket layer installed, an empty registry and cache. The layer's counters
// are process-wide: tests read what changed since SetUp (layer_delta()).
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fresh_library();
        logged(true);
        doip_tools::SocketLayerOptions options;
        options.logger = &log_hook;
        options.max_payload_length = max_payload_length_;
        layer().configure(options);
        doip_tools::SocketLayer::install();
        doip_set_logger_ops(&log_hook);
        layer().add_waker(waker_);
        before_ = layer().stats();
    }

    void TearDown() override {
        layer().remove_waker(waker_);
        layer().close_all();
        if (simulator_) {
            simulator_->stop();
        }
        fresh_library();
        doip_set_logger_ops(nullptr);
    }

    // On an ephemeral 127.0.0.1 port, as the options have it by default.
    void start(const doip_tools::SimulatorOptions& options = {}) {
        simulator_ = std::make_unique<doip_tools::Simulator>(options);
        std::string error;
        ASSERT_TRUE(simulator_->start(&error)) << error;
    }

    // Waits until `condition` holds, waking on each event of the socket layer (a message appended, a
    // connection ended); false when the patience runs out first.
    template <typename Condition>
    bool until(Condition condition) {
        const auto deadline = Clock::now() + kPatience;
        while (!condition()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            waker_->wait(static_cast<int>(left.count()));
        }
        return true;
    }

    doip_tools::SocketLayerStats layer_delta() const {
        const doip_tools::SocketLayerStats now = doip_tools::SocketLayer::instance().stats();
        doip_tools::SocketLayerStats d;
        d.messages_appended = now.messages_appended - before_.messages_appended;
        d.stream_errors = now.stream_errors - before_.stream_errors;
        d.peer_closes = now.peer_closes - before_.peer_closes;
        d.unknown_payload_types = now.unknown_payload_types - before_.unknown_payload_types;
        return d;
    }

    uint16_t port() const { return simulator_->port(); }
    doip_tools::Simulator& simulator() { return *simulator_; }
    doip_tools::SocketLayer& layer() { return doip_tools::SocketLayer::instance(); }

    uint32_t max_payload_length_ = 65536;
    std::unique_ptr<doip_tools::Simulator> simulator_;

  private:
    std::shared_ptr<doip_tools::Waker> waker_ = std::make_shared<doip_tools::Waker>();
    doip_tools::SocketLayerStats before_;
};

}  // namespace doip_e2e

#endif

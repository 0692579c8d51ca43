// Shared pieces of the end-to-end tests: a simulator on an ephemeral 127.0.0.1 port, the reference socket
// layer installed into the library, and a logger hook that keeps every line.
#ifndef DOIP_TESTS_E2E_SUPPORT_H
#define DOIP_TESTS_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "doip.h"
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

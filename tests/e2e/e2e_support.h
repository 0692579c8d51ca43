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
#include <thread>
#include <vector>

#include "doip.h"
#include "simulator.h"
#include "socket_layer.h"

namespace doip_e2e {

class LogCapture {
  public:
    static int hook(int level, const char* text, uint32_t length) {
        EXPECT_EQ(std::strlen(text), length);
        std::lock_guard<std::mutex> lock(mutex());
        lines().emplace_back(std::to_string(level) + " " + std::string(text, length));
        return 0;
    }
    static std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<std::string> out;
        out.swap(lines());
        return out;
    }
    // True when a line containing `needle` was logged (the lines stay).
    static bool contains(const std::string& needle) {
        std::lock_guard<std::mutex> lock(mutex());
        for (const auto& line : lines()) {
            if (line.find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    static std::string all() {
        std::lock_guard<std::mutex> lock(mutex());
        std::string text;
        for (const auto& line : lines()) {
            text += line + "\n";
        }
        return text;
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
};

// Waits until `condition` holds or `limit` passes; returns the condition's last value.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline doip_s context_for(uint16_t port, const char* local_ip = "127.0.0.1") {
    doip_s ctx;
    doip_init(&ctx);
    std::strncpy(ctx.local.ip_address, local_ip, sizeof ctx.local.ip_address - 1);
    std::strncpy(ctx.remote.ip_address, "127.0.0.1", sizeof ctx.remote.ip_address - 1);
    ctx.remote.port = port;
    return ctx;
}

inline int state_of(const doip_s& ctx) {
    int state = -1;
    get_doip_state(&ctx, &state);
    return state;
}

// Drops whatever the default queue holds.
inline void drain_default_queue() {
    doip_message_s m{};
    while (doip_get_message(&m, nullptr) == DOIP_OK) {
    }
    doip_message_destory(&m);
}

// A fresh simulator per test, the socket layer installed, an empty registry and cache.
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_doip_state();
        drain_default_queue();
        LogCapture::take();
        doip_tools::SocketLayerOptions layer;
        layer.logger = &LogCapture::hook;
        layer.max_payload_length = max_payload_length_;
        doip_tools::SocketLayer::instance().configure(layer);
        doip_tools::SocketLayer::install();
        doip_set_logger_ops(&LogCapture::hook);
    }

    void TearDown() override {
        doip_tools::SocketLayer::instance().close_all();
        if (simulator_) {
            simulator_->stop();
        }
        reset_doip_state();
        drain_default_queue();
        doip_set_logger_ops(nullptr);
    }

    // Starts the simulator; its port is port().
    void start(doip_tools::SimulatorOptions options = {}) {
        options.bind_ip = "127.0.0.1";
        options.port = 0;
        simulator_ = std::make_unique<doip_tools::Simulator>(options);
        std::string error;
        ASSERT_TRUE(simulator_->start(&error)) << error;
    }

    uint16_t port() const { return simulator_->port(); }
    doip_tools::Simulator& simulator() { return *simulator_; }
    doip_tools::SocketLayer& layer() { return doip_tools::SocketLayer::instance(); }

    uint32_t max_payload_length_ = 65536;
    std::unique_ptr<doip_tools::Simulator> simulator_;
};

}  // namespace doip_e2e

#endif

// Helpers shared by the client tests: contexts, appends, a fixture that gives every test the library's
// process-wide state fresh, and an entity behind an in-process socket layer.
#ifndef DOIP_TESTS_CLIENT_TEST_SUPPORT_H
#define DOIP_TESTS_CLIENT_TEST_SUPPORT_H

#include "doip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace doip_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline doip_s make_context(const char* local_ip, uint16_t local_port, const char* remote_ip,
                           uint16_t remote_port) {
    doip_s ctx;
    doip_init(&ctx);
    std::strncpy(ctx.local.ip_address, local_ip, sizeof ctx.local.ip_address - 1);
    std::strncpy(ctx.remote.ip_address, remote_ip, sizeof ctx.remote.ip_address - 1);
    ctx.local.port = local_port;
    ctx.remote.port = remote_port;
    return ctx;
}

inline int append(const Bytes& bytes, uint8_t channel = 0, uint32_t aux1 = 0, uint32_t aux2 = 0) {
    const doip_message_s m{channel, static_cast<uint32_t>(bytes.size()), aux1, aux2,
                           const_cast<uint8_t*>(bytes.data())};
    return doip_append_eth_message(&m);
}

// Takes every message of the default queue (the one doip_get_message reads), oldest first.
inline std::vector<Bytes> drain() {
    std::vector<Bytes> taken;
    for (doip_message_s m{}; doip_get_message(&m, nullptr) == DOIP_OK; doip_message_destory(&m)) {
        taken.emplace_back(m.data, m.data + m.length);
    }
    return taken;
}

inline int state_of(const doip_s& ctx) {
    int state = -1;
    EXPECT_EQ(get_doip_state(&ctx, &state), DOIP_OK);
    return state;
}

// An empty registry and default queue and no hooks, whatever ran before in this process.
class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        reset_doip_state();
        drain();
        doip_set_socket_ops(doip_socket_ops_s{});
        doip_set_logger_ops(nullptr);
    }
};

// Records opens, sends and log lines, and answers each request with a routing activation response:
// appended inside the send call (`inline_reply`), or 20 ms later by a responder thread.
struct FakeEntity {
    uint8_t response_code = 0x10, reply_channel = 0, reply_version = 2;
    size_t reply_size = 17;
    bool silent = false, inline_reply = false;
    std::function<void()> after_inline_reply;
    int open_result = 0, send_result = 0;
    std::atomic<int> opens{0}, sends{0};
    Bytes last_request;
    std::vector<std::string> log_lines;
    std::mutex mutex;
    std::vector<std::thread> responders;

    FakeEntity() {
        current = this;
        doip_socket_ops_s ops{};
        ops.doip_socket_open = [](uint8_t, doip_s*) { return ++current->opens, current->open_result; };
        ops.doip_socket_send = &FakeEntity::send;
        doip_set_socket_ops(ops);
        doip_set_logger_ops([](int level, const char* text, uint32_t length) {
            EXPECT_EQ(level, 2);
            EXPECT_EQ(length, std::strlen(text));
            std::lock_guard<std::mutex> lock(current->mutex);
            current->log_lines.emplace_back(text, length);
            return 0;
        });
    }
    ~FakeEntity() {
        for (auto& t : responders) {
            t.join();
        }
        doip_set_socket_ops(doip_socket_ops_s{});
        doip_set_logger_ops(nullptr);
    }

    Bytes reply() const {
        Bytes r{reply_version, uint8_t(~reply_version), 0, 6, 0, 0, 0, 9, 0x0E, 0xF5, 0x0C, 0xE1,
                response_code};
        r.resize(reply_size);
        return r;
    }
    // The log lines after the one of a newly chosen port, if any.
    std::vector<std::string> lines_after_port() {
        std::lock_guard<std::mutex> lock(mutex);
        const bool port = !log_lines.empty() && log_lines[0].rfind("创建TCP链接", 0) == 0;
        return std::vector<std::string>(log_lines.begin() + (port ? 1 : 0), log_lines.end());
    }

    static int send(uint8_t, doip_s*, uint8_t* bytes, uint32_t length) {
        FakeEntity* e = current;
        ++e->sends;
        std::lock_guard<std::mutex> lock(e->mutex);
        e->last_request.assign(bytes, bytes + length);
        if (e->send_result != 0 || e->silent) {
            return e->send_result;
        }
        if (e->inline_reply) {
            append(e->reply(), e->reply_channel);
            if (e->after_inline_reply) {
                e->after_inline_reply();
            }
        } else {
            e->responders.emplace_back([reply = e->reply(), channel = e->reply_channel] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                append(reply, channel);
            });
        }
        return 0;
    }
    static inline FakeEntity* current = nullptr;
};
}  // namespace doip_test

#endif

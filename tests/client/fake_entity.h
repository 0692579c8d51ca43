// An in-process socket layer for the activation tests: its send function makes a responder thread
// append the entity's reply to the message cache, as a real receive thread would.
#ifndef DOIP_TESTS_CLIENT_FAKE_ENTITY_H
#define DOIP_TESTS_CLIENT_FAKE_ENTITY_H

#include "doip.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace doip_test {

struct FakeEntity {
    // What the entity answers.
    bool silent = false;
    uint8_t response_code = 0x10;
    uint8_t reply_channel = 0;
    uint8_t reply_version = 0x02;
    size_t cut_reply_to = 0;  // 0: whole reply
    int open_result = 0;
    int send_result = 0;

    // What the library did.
    std::atomic<int> opens{0};
    std::atomic<int> sends{0};
    std::vector<uint8_t> last_request;
    std::vector<std::string> log_lines;
    std::mutex mutex;
    std::vector<std::thread> responders;

    static FakeEntity*& current() {
        static FakeEntity* instance = nullptr;
        return instance;
    }

    FakeEntity() {
        current() = this;
        doip_socket_ops_s ops{};
        ops.doip_socket_open = &FakeEntity::open;
        ops.doip_socket_send = &FakeEntity::send;
        doip_set_socket_ops(ops);
        doip_set_logger_ops(&FakeEntity::log);
    }

    ~FakeEntity() {
        for (auto& t : responders) {
            t.join();
        }
        doip_set_socket_ops(doip_socket_ops_s{});
        doip_set_logger_ops(nullptr);
        current() = nullptr;
    }

    std::vector<uint8_t> reply() const {
        std::vector<uint8_t> r = {reply_version,
                                  static_cast<uint8_t>(~reply_version),
                                  0x00,
                                  0x06,
                                  0,
                                  0,
                                  0,
                                  9,
                                  0x0E,
                                  0xF5,
                                  0x0C,
                                  0xE1,
                                  response_code,
                                  0,
                                  0,
                                  0,
                                  0};
        if (cut_reply_to != 0) {
            r.resize(cut_reply_to);
        }
        return r;
    }

    std::vector<std::string> logs() {
        std::lock_guard<std::mutex> lock(mutex);
        return log_lines;
    }

    static int open(uint8_t, doip_s*) {
        FakeEntity* e = current();
        ++e->opens;
        return e->open_result;
    }

    static int send(uint8_t, doip_s*, uint8_t* bytes, uint32_t length) {
        FakeEntity* e = current();
        ++e->sends;
        {
            std::lock_guard<std::mutex> lock(e->mutex);
            e->last_request.assign(bytes, bytes + length);
        }
        if (e->send_result != 0 || e->silent) {
            return e->send_result;
        }
        const std::vector<uint8_t> reply = e->reply();
        const uint8_t channel = e->reply_channel;
        std::lock_guard<std::mutex> lock(e->mutex);
        e->responders.emplace_back([reply, channel] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            doip_message_s m{};
            m.channel = channel;
            m.length = static_cast<uint32_t>(reply.size());
            m.data = const_cast<uint8_t*>(reply.data());
            doip_append_eth_message(&m);
        });
        return 0;
    }

    static int log(int level, const char* text, uint32_t length) {
        FakeEntity* e = current();
        EXPECT_EQ(level, 2);
        EXPECT_EQ(length, std::string(text).size());
        std::lock_guard<std::mutex> lock(e->mutex);
        e->log_lines.emplace_back(text, length);
        return 0;
    }
};

}  // namespace doip_test

#endif

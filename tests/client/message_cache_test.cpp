#include "doip.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "client/test_support.h"

namespace {

using doip_test::append;
using doip_test::bytes_of;
using Clock = std::chrono::steady_clock;

class MessageCache : public ::testing::Test {
  protected:
    void SetUp() override {
        doip_test::drain_default_queue();
        doip_init(&ctx_);
        ctx_.t_tcp_initial_inactivity_ms = 300;
    }
    void TearDown() override { doip_test::drain_default_queue(); }

    doip_s ctx_{};
};

TEST_F(MessageCache, EmptyQueueGivesMinus31AndLeavesTheDestinationAlone) {
    doip_message_s out{};
    out.channel = 5;
    EXPECT_EQ(doip_get_message(&out, nullptr), DOIP_ERR_NO_MESSAGE);
    EXPECT_EQ(out.channel, 5);
    EXPECT_EQ(out.data, nullptr);
}

TEST_F(MessageCache, NullArgumentsGiveMinus29) {
    EXPECT_EQ(doip_append_eth_message(nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_get_message(nullptr, nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST_F(MessageCache, MessagesComeOutOldestFirstWithAllFields) {
    ASSERT_EQ(append({1, 2, 3}, 4, 0x11, 0x22), DOIP_OK);
    ASSERT_EQ(append({4, 5}, 6, 0x33, 0x44), DOIP_OK);
    doip_message_s out{};
    ASSERT_EQ(doip_get_message(&out, nullptr), DOIP_OK);
    EXPECT_EQ(bytes_of(out), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(out.channel, 4);
    EXPECT_EQ(out.aux1, 0x11u);
    EXPECT_EQ(out.aux2, 0x22u);
    ASSERT_EQ(doip_get_message(&out, nullptr),
              DOIP_OK);  // replaces the buffer; ASan reports a leak otherwise
    EXPECT_EQ(bytes_of(out), (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(out.aux2, 0x44u);
    doip_message_destory(&out);
}

TEST_F(MessageCache, AppendKeepsItsOwnCopy) {
    std::vector<uint8_t> bytes = {9, 9, 9};
    append(bytes, 1);
    bytes[0] = 0;
    doip_message_s out{};
    ASSERT_EQ(doip_get_message(&out, nullptr), DOIP_OK);
    EXPECT_EQ(out.data[0], 9);
    doip_message_destory(&out);
}

TEST_F(MessageCache, QueueKeepsTheNewest1000Messages) {
    for (uint32_t i = 1; i <= 1001; ++i) {
        append({static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}, 0, i);
    }
    doip_message_s out{};
    for (uint32_t expected = 2; expected <= 1001; ++expected) {
        ASSERT_EQ(doip_get_message(&out, nullptr), DOIP_OK);
        ASSERT_EQ(out.aux1, expected);
    }
    EXPECT_EQ(doip_get_message(&out, nullptr), DOIP_ERR_NO_MESSAGE);
    doip_message_destory(&out);
}

TEST_F(MessageCache, EmptyMessagesAreQueuedOnChannelZero) {
    doip_message_s empty{};
    empty.channel = 9;
    empty.length = 5;  // no data: stored as an all-zero record
    ASSERT_EQ(doip_append_eth_message(&empty), DOIP_OK);
    EXPECT_EQ(doip_msg_cache_count(0), 1);
    EXPECT_EQ(doip_msg_cache_count(9), 0);
    doip_message_s out{};
    out.channel = 3;
    EXPECT_EQ(doip_get_message(&out, nullptr), DOIP_OK);
    EXPECT_EQ(out.channel, 3);  // untouched
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(doip_msg_cache_count(0), 0);
}

TEST_F(MessageCache, ClearRemovesOneChannelAndKeepsTheOrderOfTheRest) {
    append({1}, 7);
    append({2}, 1);
    append({3}, 7);
    append({4}, 2);
    EXPECT_EQ(doip_clear_message(7), DOIP_OK);
    EXPECT_EQ(doip_clear_message(200), DOIP_OK);
    EXPECT_EQ(doip_msg_cache_count(7), 0);
    doip_message_s out{};
    ASSERT_EQ(doip_get_message(&out, nullptr), DOIP_OK);
    EXPECT_EQ(out.data[0], 2);
    ASSERT_EQ(doip_get_message(&out, nullptr), DOIP_OK);
    EXPECT_EQ(out.data[0], 4);
    doip_message_destory(&out);
}

TEST_F(MessageCache, CountIsPerChannel) {
    append({1}, 3);
    append({2}, 3);
    append({3}, 4);
    EXPECT_EQ(doip_msg_cache_count(3), 2);
    EXPECT_EQ(doip_msg_cache_count(4), 1);
    EXPECT_EQ(doip_msg_cache_count(5), 0);
}

TEST_F(MessageCache, WaitRejectsAnEmptyPatternAtOnce) {
    doip_message_s pattern{};
    const auto start = Clock::now();
    EXPECT_EQ(doip_wait_message(1, &ctx_, &pattern), DOIP_ERR_INVALID_ARGUMENT);
    uint8_t byte = 1;
    pattern.data = &byte;  // data but length 0
    EXPECT_EQ(doip_wait_message(1, &ctx_, &pattern), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(MessageCache, WaitTimesOutAfterTheLimitAndKeepsThePattern) {
    doip_message_s pattern{};
    const uint8_t prefix[] = {0x02, 0xFD, 0x00, 0x06};
    doip_message_init(&pattern, prefix, 4);
    const auto start = Clock::now();
    EXPECT_EQ(doip_wait_message(1, &ctx_, &pattern), DOIP_ERR_TIMEOUT);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(bytes_of(pattern), (std::vector<uint8_t>(prefix, prefix + 4)));
    doip_message_destory(&pattern);
}

TEST_F(MessageCache, WaitDiscardsNonMatchingMessagesAndStopsAtTheFirstMatch) {
    append({0x02, 0xFD, 0x00, 0x06, 0xAA}, 1);  // other channel
    append({0x02, 0xFD, 0x00}, 0);              // shorter than the pattern
    append({0x03, 0xFC, 0x00, 0x06, 0xBB}, 0);  // other leading bytes
    append({0x02, 0xFD, 0x00, 0x06}, 0, 7, 8);  // exactly the pattern: the match
    append({0x02, 0xFD, 0x00, 0x06, 0xCC}, 0);  // after the match: stays queued
    doip_message_s pattern{};
    const uint8_t prefix[] = {0x02, 0xFD, 0x00, 0x06};
    doip_message_init(&pattern, prefix, 4);
    ASSERT_EQ(doip_wait_message(1, &ctx_, &pattern), DOIP_OK);
    EXPECT_EQ(bytes_of(pattern), (std::vector<uint8_t>{0x02, 0xFD, 0x00, 0x06}));
    EXPECT_EQ(pattern.aux1, 7u);
    EXPECT_EQ(pattern.aux2, 8u);
    EXPECT_EQ(doip_msg_cache_count(0), 1);
    EXPECT_EQ(doip_msg_cache_count(1), 0);
    doip_message_destory(&pattern);
}

TEST_F(MessageCache, WaitReturnsTheWholeMessageWithItsFields) {
    doip_message_s pattern{};
    const uint8_t prefix[] = {0x02, 0xFD};
    doip_message_init(&pattern, prefix, 2);
    pattern.channel = 4;
    append({0x02, 0xFD, 0x80, 0x02, 1, 2, 3}, 4, 99, 98);
    ASSERT_EQ(doip_wait_message(1, &ctx_, &pattern), DOIP_OK);
    EXPECT_EQ(pattern.length, 7u);
    EXPECT_EQ(pattern.channel, 4);
    EXPECT_EQ(pattern.aux1, 99u);
    doip_message_destory(&pattern);
}

TEST_F(MessageCache, WaitWakesUpForAMessageAppendedByAnotherThread) {
    ctx_.t_tcp_initial_inactivity_ms = 10000;
    doip_message_s pattern{};
    const uint8_t prefix[] = {0x02, 0xFD, 0x80, 0x01};
    doip_message_init(&pattern, prefix, 4);
    std::thread producer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        append({0x02, 0xFD, 0x80, 0x01, 0x55});
    });
    const auto start = Clock::now();
    EXPECT_EQ(doip_wait_message(1, &ctx_, &pattern), DOIP_OK);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    producer.join();
    EXPECT_EQ(pattern.length, 5u);
    doip_message_destory(&pattern);
}

TEST_F(MessageCache, WaitOnAListenerWithoutAQueueTimesOut) {
    doip_message_s pattern{};
    const uint8_t prefix[] = {0x02};
    doip_message_init(&pattern, prefix, 1);
    ctx_.t_tcp_initial_inactivity_ms = 50;
    append({0x02, 0xFD});
    EXPECT_EQ(doip_wait_message(123456, &ctx_, &pattern), DOIP_ERR_TIMEOUT);
    EXPECT_EQ(doip_msg_cache_count(0), 1);  // the default queue was not touched
    doip_message_destory(&pattern);
}

TEST_F(MessageCache, ConcurrentAppendersLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                append({static_cast<uint8_t>(t), static_cast<uint8_t>(i)}, static_cast<uint8_t>(10 + t));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(doip_msg_cache_count(static_cast<uint8_t>(10 + t)), kEach);
    }
}

}  // namespace

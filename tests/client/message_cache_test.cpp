#include "doip.h"

#include <gtest/gtest.h>
#include <tuple>
#include "client/test_support.h"

namespace {
using namespace doip_test;

auto fields(const doip_message_s& m) {
    return std::tuple(Bytes(m.data, m.data + m.length), m.channel, m.aux1, m.aux2);
}

class MessageCache : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        doip_init(&ctx_);
        ctx_.t_tcp_initial_inactivity_ms = 300;
    }
    void TearDown() override {
        doip_message_destory(&msg_);
        ClientTest::TearDown();
    }
    // Waits on the default listener with a pattern of `prefix` on `channel`; the result is in msg_.
    int wait_for(const Bytes& prefix, uint8_t channel = 0, int listener = 1) {
        doip_message_init(&msg_, prefix.data(), static_cast<int>(prefix.size()));
        msg_.channel = channel;
        return doip_wait_message(listener, &ctx_, &msg_);
    }

    doip_s ctx_{};
    doip_message_s msg_{};
};

TEST_F(MessageCache, GetGivesOwnCopiesOldestFirstOfTheNewest1000ThenMinus31) {
    EXPECT_EQ(doip_append_eth_message(nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_get_message(nullptr, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    Bytes bytes = {1, 2, 3};
    ASSERT_EQ(append(bytes, 4, 0x11, 0x22), DOIP_OK);
    bytes[0] = 9;
    ASSERT_EQ(append({4, 5}, 6, 0x33, 0x44), DOIP_OK);
    ASSERT_EQ(doip_get_message(&msg_, nullptr), DOIP_OK);
    EXPECT_EQ(fields(msg_), std::tuple(Bytes{1, 2, 3}, 4, 0x11u, 0x22u));
    ASSERT_EQ(doip_get_message(&msg_, nullptr), DOIP_OK);  // replaces the buffer (ASan: no leak)
    EXPECT_EQ(fields(msg_), std::tuple(Bytes{4, 5}, 6, 0x33u, 0x44u));
    EXPECT_EQ(doip_get_message(&msg_, nullptr), DOIP_ERR_NO_MESSAGE);
    EXPECT_EQ(fields(msg_), std::tuple(Bytes{4, 5}, 6, 0x33u, 0x44u));
    // A queue keeps the newest 1000 messages.
    for (int i = 1; i <= 1001; ++i) {
        append({uint8_t(i >> 8), uint8_t(i)});
    }
    const std::vector<Bytes> taken = drain();
    ASSERT_EQ(taken.size(), 1000u);
    EXPECT_EQ(taken.front(), Bytes({0, 2}));
    EXPECT_EQ(taken.back(), Bytes({1001 >> 8, 1001 & 0xFF}));
}

// A message without data is queued as the empty message, on channel 0, and taken without touching the
// destination.
TEST_F(MessageCache, MessageWithoutDataIsQueuedEmptyOnChannelZero) {
    doip_message_s empty{9, 5, 1, 1, nullptr};
    ASSERT_EQ(doip_append_eth_message(&empty), DOIP_OK);
    EXPECT_EQ(std::pair(doip_msg_cache_count(0), doip_msg_cache_count(9)), std::pair(1, 0));
    msg_.channel = 3;
    EXPECT_EQ(doip_get_message(&msg_, nullptr), DOIP_OK);
    EXPECT_EQ(fields(msg_), std::tuple(Bytes(), 3, 0u, 0u));
    EXPECT_EQ(msg_.data, nullptr);
    EXPECT_EQ(doip_msg_cache_count(0), 0);
}

TEST_F(MessageCache, CountIsPerChannelAndClearRemovesOneChannelKeepingTheOrder) {
    append({1}, 7);
    append({2}, 1);
    append({3}, 7);
    append({4}, 2);
    EXPECT_EQ(std::tuple(doip_msg_cache_count(7), doip_msg_cache_count(2), doip_msg_cache_count(5)),
              std::tuple(2, 1, 0));
    EXPECT_EQ(doip_clear_message(7), DOIP_OK);
    EXPECT_EQ(doip_clear_message(200), DOIP_OK);
    EXPECT_EQ(drain(), std::vector<Bytes>({{2}, {4}}));
}

// An empty pattern is refused at once; without a match the wait ends after the limit, leaving the pattern
// in the record, and a wait on a listener without a queue does not read the default queue.
TEST_F(MessageCache, WaitRefusesAnEmptyPatternAndTimesOutAfterTheLimit) {
    doip_message_s empty{};
    auto start = Clock::now();
    EXPECT_EQ(doip_wait_message(1, &ctx_, &empty), DOIP_ERR_INVALID_ARGUMENT);
    empty.data = &empty.channel;  // data but length 0
    EXPECT_EQ(doip_wait_message(1, &ctx_, &empty), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
    start = Clock::now();
    EXPECT_EQ(wait_for({0x02, 0xFD, 0x00, 0x06}), DOIP_ERR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(fields(msg_), std::tuple(Bytes{0x02, 0xFD, 0x00, 0x06}, 0, 0u, 0u));
    ctx_.t_tcp_initial_inactivity_ms = 50;
    append({0x02, 0xFD});
    EXPECT_EQ(wait_for({0x02}, 0, 123456), DOIP_ERR_TIMEOUT);
    EXPECT_EQ(doip_msg_cache_count(0), 1);
}

// Another channel, a shorter message, other leading bytes: taken and thrown away until the first match.
TEST_F(MessageCache, WaitDiscardsNonMatchingMessagesAndStopsAtTheFirstMatch) {
    append({0x02, 0xFD, 0x00, 0x06, 0xAA}, 0);
    append({0x02, 0xFD, 0x00}, 3);
    append({0x03, 0xFC, 0x00, 0x06, 0xBB}, 3);
    append({0x02, 0xFD, 0x00, 0x06}, 3, 7, 8);
    append({0x02, 0xFD, 0x00, 0x06, 0xCC}, 3);
    ASSERT_EQ(wait_for({0x02, 0xFD, 0x00, 0x06}, 3), DOIP_OK);
    EXPECT_EQ(fields(msg_), std::tuple(Bytes{0x02, 0xFD, 0x00, 0x06}, 3, 7u, 8u));
    EXPECT_EQ(drain(), std::vector<Bytes>({{0x02, 0xFD, 0x00, 0x06, 0xCC}}));
}
}  // namespace

#include "doip.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "client/test_support.h"

namespace {

using doip_test::make_context;
using namespace std::chrono_literals;

// Records every firing of a timer callback.
struct Firings {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::pair<void*, std::thread::id>> calls;

    static void record(void* arg);

    bool wait_for_count(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, limit, [&] { return calls.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
};

Firings* g_firings = nullptr;

void Firings::record(void* arg) {
    std::lock_guard<std::mutex> lock(g_firings->mutex);
    g_firings->calls.emplace_back(arg, std::this_thread::get_id());
    g_firings->cond.notify_all();
}

class ProtocolTimers : public ::testing::Test {
  protected:
    void SetUp() override {
        g_firings = &firings_;
        ctx_ = make_context("10.1.1.1", 10001, "10.1.1.2", 13400);
    }
    void TearDown() override {
        for (int kind = 0; kind < 4; ++kind) {
            for (int i = 0; i < 4; ++i) {
                delete_timer(&ctx_, kind);
            }
        }
        // Let any callback that raced with the deletes finish before the recorder goes.
        std::this_thread::sleep_for(50ms);
        g_firings = nullptr;
    }

    Firings firings_;
    doip_s ctx_{};
};

TEST_F(ProtocolTimers, CallbackFiresOnceWithItsArgumentOnTheTimerThread) {
    int token = 0;
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 50.0, &Firings::record, &token), DOIP_OK);
    ASSERT_TRUE(firings_.wait_for_count(1, 5s));
    std::this_thread::sleep_for(200ms);
    std::lock_guard<std::mutex> lock(firings_.mutex);
    ASSERT_EQ(firings_.calls.size(), 1u);
    EXPECT_EQ(firings_.calls[0].first, &token);
    EXPECT_NE(firings_.calls[0].second, std::this_thread::get_id());
}

TEST_F(ProtocolTimers, AllFourKindsFire) {
    int args[4];
    EXPECT_EQ(start_timer_a_doip_ctrl(&ctx_, 10.0, &Firings::record, &args[0]), DOIP_OK);
    EXPECT_EQ(start_timer_a_tcp_general_inactivity(&ctx_, 10.0, &Firings::record, &args[1]), DOIP_OK);
    EXPECT_EQ(start_timer_a_tcp_initial_inactivity(&ctx_, 10.0, &Firings::record, &args[2]), DOIP_OK);
    EXPECT_EQ(start_timer_a_doip_diagmsg(&ctx_, 10.0, &Firings::record, &args[3]), DOIP_OK);
    EXPECT_TRUE(firings_.wait_for_count(4, 5s));
}

TEST_F(ProtocolTimers, ZeroDelayFiresAtOnce) {
    ASSERT_EQ(start_timer_a_doip_diagmsg(&ctx_, 0.0, &Firings::record, nullptr), DOIP_OK);
    EXPECT_TRUE(firings_.wait_for_count(1, 5s));
}

TEST_F(ProtocolTimers, DeleteCancelsOnlyTheOldestOfItsKind) {
    int first = 1;
    int second = 2;
    ASSERT_EQ(start_timer_a_doip_diagmsg(&ctx_, 400.0, &Firings::record, &first), DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_diagmsg(&ctx_, 500.0, &Firings::record, &second), DOIP_OK);
    ASSERT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_DIAGNOSTIC_MESSAGE), DOIP_OK);
    ASSERT_TRUE(firings_.wait_for_count(1, 5s));
    std::this_thread::sleep_for(300ms);
    std::lock_guard<std::mutex> lock(firings_.mutex);
    ASSERT_EQ(firings_.calls.size(), 1u);
    EXPECT_EQ(firings_.calls[0].first, &second);
}

TEST_F(ProtocolTimers, DeleteOfAnotherKindCancelsNothing) {
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 100.0, &Firings::record, nullptr), DOIP_OK);
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_T_TCP_GENERAL_INACTIVITY), DOIP_OK);
    EXPECT_TRUE(firings_.wait_for_count(1, 5s));
}

TEST_F(ProtocolTimers, RecordsWithEqualEndPointsShareTheEntry) {
    const doip_s twin = make_context("10.1.1.1", 10001, "10.1.1.2", 13400);
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 300.0, &Firings::record, nullptr), DOIP_OK);
    ASSERT_EQ(delete_timer(&twin, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(firings_.count(), 0u);
}

TEST_F(ProtocolTimers, ChangedAddressesLookUnderTheNewKey) {
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 200.0, &Firings::record, nullptr), DOIP_OK);
    doip_s moved = ctx_;
    moved.remote.port = 13401;
    EXPECT_EQ(delete_timer(&moved, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    EXPECT_TRUE(firings_.wait_for_count(1, 5s));
}

TEST_F(ProtocolTimers, DeleteWithNothingStartedReturnsZero) {
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    EXPECT_EQ(delete_timer(&ctx_, 17), DOIP_OK);
    EXPECT_EQ(delete_timer(nullptr, 0), DOIP_OK);
}

TEST_F(ProtocolTimers, DeleteAfterFiringRemovesTheEntry) {
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 10.0, &Firings::record, nullptr), DOIP_OK);
    ASSERT_TRUE(firings_.wait_for_count(1, 5s));
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    // A second start and delete must cancel the new timer, not the stale entry of the first.
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 300.0, &Firings::record, nullptr), DOIP_OK);
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(firings_.count(), 1u);
}

TEST_F(ProtocolTimers, NullArgumentsAreRefused) {
    EXPECT_EQ(start_timer_a_doip_ctrl(nullptr, 1.0, &Firings::record, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(start_timer_a_doip_ctrl(&ctx_, 1.0, nullptr, nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST_F(ProtocolTimers, ManyThreadsStartingAndDeletingTimersIsSafe) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            doip_s ctx = make_context("10.2.2.2", static_cast<uint16_t>(20000 + t), "10.2.2.3", 13400);
            for (int i = 0; i < 100; ++i) {
                start_timer_a_doip_ctrl(&ctx, 60000.0, &Firings::record, nullptr);
                delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(firings_.count(), 0u);
}

TEST(ProtocolTimersBeforeInit, StartingBeforeAnyInitStartsTheLoop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process that has never called doip_init.
    EXPECT_EXIT(
        {
            std::atomic<bool> fired{false};
            doip_s ctx{};
            start_timer_a_doip_ctrl(
                &ctx, 1.0, [](void* arg) { static_cast<std::atomic<bool>*>(arg)->store(true); }, &fired);
            for (int i = 0; i < 500 && !fired; ++i) {
                std::this_thread::sleep_for(10ms);
            }
            std::_Exit(fired ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

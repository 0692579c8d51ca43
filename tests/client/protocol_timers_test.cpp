#include "doip.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstdint>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>
#include "client/test_support.h"
#include "dll_exceptions.h"

namespace {
using namespace doip_test;
using namespace std::chrono_literals;
using Tags = std::vector<intptr_t>;

// The tags the callbacks were called with. Never destroyed: a late callback still finds them.
std::mutex& g_mutex = *new std::mutex;
Tags& g_tags = *new Tags;
const std::thread::id g_main_thread = std::this_thread::get_id();

void record(void* arg) {
    EXPECT_NE(std::this_thread::get_id(), g_main_thread);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_tags.push_back(reinterpret_cast<intptr_t>(arg));
}

void* tag(intptr_t n) {
    return reinterpret_cast<void*>(n);
}

// The tags fired since the last call, once every cancel made before has taken effect and every timer due
// within `ms` has run: the timer loop runs all of them before a fence timer started now.
Tags fired_within(double ms) {
    static std::promise<void>* fenced = nullptr;
    std::promise<void> promise;
    fenced = &promise;
    const doip_s fence = make_context("10.9.9.9", 1, "10.9.9.9", 2);
    start_timer_a_doip_ctrl(
        &fence, ms, [](void*) { fenced->set_value(); }, nullptr);
    EXPECT_EQ(promise.get_future().wait_for(10s), std::future_status::ready);
    delete_timer(&fence, DOIP_TIMER_A_DOIP_CTRL);
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::exchange(g_tags, {});
}

class ProtocolTimers : public ::testing::Test {
  protected:
    void SetUp() override { fired_within(0); }
    void TearDown() override {
        for (int i = 0; i < 16; ++i) {
            delete_timer(&ctx_, i % 4);
        }
        fired_within(0);
    }
    doip_s ctx_ = make_context("10.1.1.1", 10001, "10.1.1.2", 13400);
};

TEST_F(ProtocolTimers, EachKindFiresOnceWithItsArgumentOnTheTimerThread) {
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 0.0, &record, tag(1)), DOIP_OK);
    ASSERT_EQ(start_timer_a_tcp_general_inactivity(&ctx_, 20.0, &record, tag(2)), DOIP_OK);
    ASSERT_EQ(start_timer_a_tcp_initial_inactivity(&ctx_, 40.0, &record, tag(3)), DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_diagmsg(&ctx_, 60.0, &record, tag(4)), DOIP_OK);
    EXPECT_EQ(fired_within(300), Tags({1, 2, 3, 4}));
}

// One delete cancels the oldest timer of its kind only. Records with the same end points share the entry;
// another kind, changed end points or nothing started cancel nothing.
// A callback that throws is logged through the logger hook, and the timer thread goes on with the others.
TEST_F(ProtocolTimers, ACallbackThatThrowsIsLoggedAndTheOtherTimersStillRun) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    static std::vector<std::string> lines;
    doip_set_logger_ops([](int, const char* text, uint32_t length) {
        std::lock_guard<std::mutex> lock(g_mutex);
        lines.emplace_back(text, length);
        return 0;
    });
    ASSERT_EQ(start_timer_a_doip_ctrl(
                  &ctx_, 0.0, [](void*) { throw std::runtime_error("boom"); }, nullptr),
              DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_ctrl(
                  &ctx_, 10.0, [](void*) { throw 7; }, nullptr),
              DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 20.0, &record, tag(1)), DOIP_OK);
    EXPECT_EQ(fired_within(100), Tags({1}));
    EXPECT_EQ(start_timer_a_doip_diagmsg(&ctx_, 0.0, &record, tag(2)), DOIP_OK);
    EXPECT_EQ(fired_within(0), Tags({2}));
    doip_set_logger_ops(nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(lines, std::vector<std::string>({"定时器回调抛出异常: boom", "定时器回调抛出未知异常"}));
}

// Delays the loop's clock cannot hold: NaN is refused, the infinite and huge ones are bounded, so the
// negative ones fire at once and the positive ones do not fire at all.
TEST_F(ProtocolTimers, DelaysOutsideTheClocksRangeAreBoundedOrRefused) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(start_timer_a_doip_ctrl(&ctx_, std::nan(""), &record, tag(1)), DOIP_ERR_INVALID_ARGUMENT);
    for (double delay : {inf, 1e300}) {
        ASSERT_EQ(start_timer_a_doip_diagmsg(&ctx_, delay, &record, tag(2)), DOIP_OK);
    }
    for (double delay : {-inf, -1e300}) {
        ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, delay, &record, tag(3)), DOIP_OK);
    }
    EXPECT_EQ(fired_within(1500), Tags({3, 3}));
}

TEST_F(ProtocolTimers, DeleteCancelsTheOldestOfTheKindUnderTheRecordsEndPoints) {
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 100.0, &record, tag(1)), DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 150.0, &record, tag(2)), DOIP_OK);
    doip_s moved = ctx_;
    moved.remote.port = 13401;
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_T_TCP_GENERAL_INACTIVITY), DOIP_OK);
    EXPECT_EQ(delete_timer(&moved, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    EXPECT_EQ(delete_timer(&ctx_, 17), DOIP_OK);
    EXPECT_EQ(delete_timer(nullptr, 0), DOIP_OK);
    const doip_s twin = make_context("10.1.1.1", 10001, "10.1.1.2", 13400);
    EXPECT_EQ(delete_timer(&twin, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    EXPECT_EQ(start_timer_a_doip_ctrl(nullptr, 1.0, &record, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(start_timer_a_doip_ctrl(&ctx_, 1.0, nullptr, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fired_within(300), Tags({2}));
    // The fired timer's entry stays until deleted; then a new start and delete cancel the new timer.
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 100.0, &record, tag(3)), DOIP_OK);
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    EXPECT_EQ(fired_within(300), Tags());
}

// In a fresh process that has never called doip_init, a timer start starts the loop.
TEST(ProtocolTimersDeathTest, StartingBeforeAnyInitStartsTheLoop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static std::promise<void> fired;
            doip_s ctx{};
            start_timer_a_doip_ctrl(
                &ctx, 1.0, [](void*) { fired.set_value(); }, nullptr);
            std::_Exit(fired.get_future().wait_for(5s) == std::future_status::ready ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
}  // namespace

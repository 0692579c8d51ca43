#include "doip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <future>

#include "client/test_support.h"

namespace {

using doip_test::make_context;
using namespace std::chrono_literals;
using Tags = std::vector<intptr_t>;

// What the callbacks were called with (a tag) and where. Never destroyed: a late callback still finds it.
struct Firings {
    std::mutex mutex;
    std::condition_variable cond;
    Tags tags;
    std::vector<std::thread::id> threads;
};
Firings& firings = *new Firings;

void record(void* arg) {
    std::lock_guard<std::mutex> lock(firings.mutex);
    firings.tags.push_back(reinterpret_cast<intptr_t>(arg));
    firings.threads.push_back(std::this_thread::get_id());
    firings.cond.notify_all();
}

void* tag(intptr_t n) {
    return reinterpret_cast<void*>(n);
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

    // The tags fired since the last call, once every cancel made before has taken effect and every timer
    // due within `ms` has run: the timer loop runs all of them before a fence timer started now.
    static Tags fired_within(double ms) {
        const doip_s fence = make_context("10.9.9.9", 1, "10.9.9.9", 2);
        start_timer_a_doip_ctrl(&fence, ms, &record, tag(-1));
        std::unique_lock<std::mutex> lock(firings.mutex);
        const bool fenced = firings.cond.wait_for(
            lock, 10s, [] { return !firings.tags.empty() && firings.tags.back() == -1; });
        delete_timer(&fence, DOIP_TIMER_A_DOIP_CTRL);
        EXPECT_TRUE(fenced);
        EXPECT_EQ(firings.threads.back() == std::this_thread::get_id(), false);
        Tags tags(firings.tags.begin(), firings.tags.end() - (fenced ? 1 : 0));
        firings.tags.clear();
        firings.threads.clear();
        return tags;
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
}

// A second start and delete must cancel the new timer, not the stale entry of the first.
TEST_F(ProtocolTimers, DeleteAfterFiringRemovesTheEntry) {
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 0.0, &record, tag(1)), DOIP_OK);
    EXPECT_EQ(fired_within(50), Tags({1}));
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    ASSERT_EQ(start_timer_a_doip_ctrl(&ctx_, 100.0, &record, tag(2)), DOIP_OK);
    EXPECT_EQ(delete_timer(&ctx_, DOIP_TIMER_A_DOIP_CTRL), DOIP_OK);
    EXPECT_EQ(fired_within(300), Tags());
}

TEST(ProtocolTimersBeforeInit, StartingBeforeAnyInitStartsTheLoop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(  // in a fresh process that has never called doip_init
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

#include "uilitylib.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <tuple>

using namespace uilitylib;

namespace {
double secondsBetween(Timestamp from, Timestamp to) {
    return static_cast<double>(to.microSecondsSinceEpoch() - from.microSecondsSinceEpoch()) / 1e6;
}

TEST(Timestamp, AddTimeTruncatesAndTextsSplitSecondsFromMicroseconds) {
    const Timestamp base(10000000);
    EXPECT_EQ(addTime(base, 1.5).microSecondsSinceEpoch(), 11500000);
    EXPECT_EQ(addTime(base, 0.0000005).microSecondsSinceEpoch(), 10000000);
    EXPECT_EQ(addTime(base, -0.0000015).microSecondsSinceEpoch(), 9999999);
    // Sums beyond the int64 range saturate; NaN adds nothing.
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [start, seconds, sum] :
         {std::tuple(base, inf, INT64_MAX), std::tuple(base, 1e300, INT64_MAX),
          std::tuple(base, -inf, INT64_MIN), std::tuple(base, -1e300, INT64_MIN),
          std::tuple(base, std::nan(""), int64_t{10000000}),
          std::tuple(Timestamp(INT64_MAX - 5), 1.0, INT64_MAX),
          std::tuple(Timestamp(INT64_MIN + 5), -1.0, INT64_MIN)}) {
        EXPECT_EQ(addTime(start, seconds).microSecondsSinceEpoch(), sum) << seconds;
    }
    EXPECT_TRUE(Timestamp(-1) < Timestamp(0));
    EXPECT_EQ(Timestamp(123).toString(), "0.000123");
    EXPECT_EQ(Timestamp(1700000000LL * 1000000 + 42).toFormattedString(true), "20231114 22:13:20.000042");
    EXPECT_EQ(Timestamp(951868799LL * 1000000 + 7).toFormattedString(false), "20000229 23:59:59");  // UTC
}

// One loop on this thread, its first turn a batch of overdue timers of every kind.
TEST(TimerQueue, OverdueTimersRunAsOneBatchInExpirationOrderAndCancelAsTheyShould) {
    EventLoop loop;
    std::vector<int> order;
    const Timestamp past = addTime(Timestamp::now(), -1.0);
    loop.runAt(addTime(past, 0.000002), [&] { order.push_back(3); });
    loop.runAt(past, [&] { order.push_back(1); });
    loop.runAt(addTime(past, 0.000001), [&] { order.push_back(2); });
    // Equal expirations, and two repeating timers: whichever of a pair runs first cancels the other, which
    // still runs in this batch; the cancelled repeating one does not restart.
    std::optional<TimerId> equal[2], repeating[2];
    int equalRuns = 0, repeatingRuns[2] = {0, 0}, firstRepeating = -1;
    const Timestamp when = addTime(Timestamp::now(), 0.05);
    for (int k = 0; k < 2; ++k) {
        equal[k].emplace(loop.runAt(when, [&, k] {
            ++equalRuns;
            loop.cancel(*equal[1 - k]);
        }));
        repeating[k].emplace(loop.runEvery(50, [&, k] {
            ++repeatingRuns[k];
            if (firstRepeating < 0) {
                firstRepeating = k;
                loop.cancel(*repeating[1 - k]);
            }
        }));
    }
    int zeroIntervalRuns = 0;
    loop.runEvery(0, [&] { ++zeroIntervalRuns; });
    // A pending timer's capture goes at its cancel; stale and repeated cancels touch no other timer.
    auto capture = std::make_shared<int>(7);
    std::weak_ptr<int> alive = capture;
    bool pendingRan = false, destroyedAtCancel = false;
    const TimerId pending = loop.runAfter(300, [&pendingRan, capture] { pendingRan = true; });
    capture.reset();
    const TimerId once = loop.runAfter(0, [] {});
    loop.runAfter(150, [&] {
        loop.cancel(pending);
        destroyedAtCancel = alive.expired();
        loop.cancel(pending);
        loop.cancel(once);
    });
    loop.runAfter(500, [&] { loop.quit(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    loop.loop();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(equalRuns, 2);
    ASSERT_GE(firstRepeating, 0);
    EXPECT_EQ(repeatingRuns[1 - firstRepeating], 1);
    EXPECT_GE(repeatingRuns[firstRepeating], 3);
    EXPECT_EQ(zeroIntervalRuns, 1);
    EXPECT_TRUE(destroyedAtCancel);
    EXPECT_FALSE(pendingRan);
}

// Added from another thread, timers wake the loop (an overdue one at once); a cancel made right after the
// add stops its timer. A timer added last with a longer delay runs after the others.
TEST(TimerQueue, TimersFromAnotherThreadRunOnTheLoopThreadOnTime) {
    ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the idle wait
    Latch overdue(1), fence(1);
    Timestamp start = Timestamp::now();
    loop->runAt(Timestamp(1), [&] { overdue.countDown(); });
    overdue.wait();
    EXPECT_LT(secondsBetween(start, Timestamp::now()), 0.5);
    std::atomic<int> runs(0);
    std::atomic<bool> cancelledRan(false);
    bool onLoopThread = false;
    Timestamp firedAt;
    start = Timestamp::now();
    loop->runAfter(300, [&] {
        onLoopThread = loop->isInThread();
        firedAt = Timestamp::now();
        ++runs;
    });
    loop->cancel(loop->runAfter(200, [&] { cancelledRan = true; }));
    loop->runAfter(600, [&] { fence.countDown(); });
    fence.wait();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(cancelledRan);
    EXPECT_TRUE(onLoopThread);
    EXPECT_GE(secondsBetween(start, firedAt), 0.3);
    EXPECT_LT(secondsBetween(start, firedAt), 0.8);  // well before the loop's one-second idle turn
}

TEST(TimerQueue, RepeatingTimerCountsItsNextExpiryFromTheStartOfTheTurn) {
    EventLoop loop;
    std::vector<Timestamp> runs;
    loop.runEvery(500, [&] {
        runs.push_back(Timestamp::now());
        if (runs.size() == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        } else if (runs.size() == 3) {
            loop.quit();
        }
    });
    loop.loop();
    ASSERT_EQ(runs.size(), 3u);
    // From the turn's start, the second expiry has passed when the first callback returns; from the
    // callback's end it would come 2 s after the first run. The third counts from the second turn, not
    // caught up on the original 0.5 s grid.
    EXPECT_GE(secondsBetween(runs[0], runs[1]), 1.5);
    EXPECT_LT(secondsBetween(runs[0], runs[1]), 1.8);
    EXPECT_GE(secondsBetween(runs[1], runs[2]), 0.45);
    EXPECT_LT(secondsBetween(runs[1], runs[2]), 1.0);
}

TEST(TimerQueue, LoopsWithFiringTimersShutDownPromptly) {
    for (int i = 0; i < 20; ++i) {
        const Timestamp start = Timestamp::now();
        {
            ThreadEventLoop owner;
            EventLoop* loop = owner.startLoop();
            loop->runEvery(1, [] {});
            loop->runAfter(1, [] {});
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
        }
        EXPECT_LT(secondsBetween(start, Timestamp::now()), 1.5);
    }
}
}  // namespace

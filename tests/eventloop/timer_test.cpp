#include "uilitylib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using uilitylib::addTime;
using uilitylib::EventLoop;
using uilitylib::Latch;
using uilitylib::ThreadEventLoop;
using uilitylib::TimerId;
using uilitylib::Timestamp;

namespace {

double secondsBetween(Timestamp from, Timestamp to) {
    return static_cast<double>(to.microSecondsSinceEpoch() - from.microSecondsSinceEpoch()) / 1e6;
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(TimerRun, RunAfterFromAnotherThreadRunsOnceOnTheLoopThreadOnTime) {
    ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    std::atomic<int> runs(0);
    bool onLoopThread = false;
    Timestamp firedAt;
    Latch fired(1);
    const Timestamp start = Timestamp::now();
    loop->runAfter(300, [&] {
        onLoopThread = loop->isInThread();
        firedAt = Timestamp::now();
        ++runs;
        fired.countDown();
    });
    fired.wait();
    EXPECT_TRUE(onLoopThread);
    EXPECT_GE(secondsBetween(start, firedAt), 0.3);
    // Well before the loop's one-second idle turn would pick it up.
    EXPECT_LT(secondsBetween(start, firedAt), 0.8);
    sleepMs(300);
    EXPECT_EQ(runs, 1);
}

TEST(TimerRun, AlreadyPastExpirationRunsWithoutWaitingForTheIdleTurn) {
    ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    sleepMs(50);
    Latch fired(1);
    const Timestamp start = Timestamp::now();
    loop->runAt(Timestamp(1), [&] { fired.countDown(); });
    fired.wait();
    EXPECT_LT(secondsBetween(start, Timestamp::now()), 0.5);
}

TEST(TimerRun, RunEveryWithoutAPositiveIntervalRunsOnce) {
    EventLoop loop;
    int runs = 0;
    loop.runEvery(0, [&] { ++runs; });
    loop.runAfter(300, [&] { loop.quit(); });
    loop.loop();
    EXPECT_EQ(runs, 1);
}

TEST(TimerOrder, DueTimersOfOneTurnRunEarliestExpirationFirst) {
    EventLoop loop;
    std::vector<int> order;
    const Timestamp past = addTime(Timestamp::now(), -1.0);
    loop.runAt(addTime(past, 0.000002), [&] { order.push_back(3); });
    loop.runAt(past, [&] { order.push_back(1); });
    loop.runAt(addTime(past, 0.000001), [&] { order.push_back(2); });
    loop.runAfter(100, [&] { loop.quit(); });
    loop.loop();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(TimerOrder, EqualExpirationsRunInTheSameBatch) {
    EventLoop loop;
    std::optional<TimerId> ids[2];
    int runs = 0;
    const Timestamp when = addTime(Timestamp::now(), 0.05);
    for (int k = 0; k < 2; ++k) {
        // Whichever runs first cancels the other, which still runs only if it belongs to the same batch.
        ids[k].emplace(loop.runAt(when, [&, k] {
            ++runs;
            loop.cancel(*ids[1 - k]);
        }));
    }
    loop.runAfter(300, [&] { loop.quit(); });
    loop.loop();
    EXPECT_EQ(runs, 2);
}

TEST(TimerCancel, CancelFromAnotherThreadWellBeforeExpirationStopsTheTimer) {
    ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    std::atomic<bool> ran(false);
    const TimerId id = loop->runAfter(400, [&] { ran = true; });
    loop->cancel(id);
    sleepMs(800);
    EXPECT_FALSE(ran);
}

TEST(TimerCancel, CallbackCancellingItsOwnRepeatingTimerStopsIt) {
    EventLoop loop;
    int runs = 0;
    std::optional<TimerId> id;
    id.emplace(loop.runEvery(20, [&] {
        ++runs;
        loop.cancel(*id);
    }));
    loop.runAfter(300, [&] { loop.quit(); });
    loop.loop();
    EXPECT_EQ(runs, 1);
}

TEST(TimerCancel, CancellingAnotherTimerOfTheBatchOnlyKeepsItFromRestarting) {
    EventLoop loop;
    std::optional<TimerId> a;
    std::optional<TimerId> b;
    int runsA = 0;
    int runsB = 0;
    bool first = true;
    a.emplace(loop.runEvery(50, [&] {
        ++runsA;
        if (first) {
            first = false;
            loop.cancel(*b);
        }
    }));
    b.emplace(loop.runEvery(50, [&] {
        ++runsB;
        if (first) {
            first = false;
            loop.cancel(*a);
        }
    }));
    loop.runAfter(400, [&] { loop.quit(); });
    sleepMs(100);  // both are overdue at the first turn, so they share its batch
    loop.loop();
    EXPECT_EQ(std::min(runsA, runsB), 1);
    EXPECT_GE(std::max(runsA, runsB), 3);
}

TEST(TimerCancel, CancellingAPendingTimerDestroysItAtOnce) {
    EventLoop loop;
    auto capture = std::make_shared<int>(7);
    std::weak_ptr<int> alive = capture;
    bool pendingRan = false;
    bool destroyedAtCancel = false;
    const TimerId pending = loop.runAfter(300, [&pendingRan, capture] { pendingRan = true; });
    capture.reset();
    loop.runAfter(50, [&] {
        loop.cancel(pending);
        destroyedAtCancel = alive.expired();
    });
    loop.runAfter(600, [&] { loop.quit(); });
    loop.loop();
    EXPECT_TRUE(destroyedAtCancel);
    EXPECT_FALSE(pendingRan);
}

TEST(TimerCancel, StaleAndRepeatedCancelsLeaveOtherTimersAlone) {
    EventLoop loop;
    bool later = false;
    const TimerId once = loop.runAfter(0, [] {});
    loop.runAfter(50, [&] {
        loop.cancel(once);
        loop.cancel(once);
    });
    loop.runAfter(100, [&] {
        later = true;
        loop.quit();
    });
    loop.loop();
    EXPECT_TRUE(later);
}

TEST(TimerRepeat, NextExpiryIsMeasuredFromTheStartOfTheTurn) {
    EventLoop loop;
    std::vector<Timestamp> runs;
    loop.runEvery(500, [&] {
        runs.push_back(Timestamp::now());
        if (runs.size() == 1) {
            sleepMs(1500);
        } else if (runs.size() == 3) {
            loop.quit();
        }
    });
    loop.loop();
    ASSERT_EQ(runs.size(), 3u);
    // Measured from the turn's start, the second expiry has passed when the first callback returns;
    // measured from the callback's end it would come 2 s after the first run.
    EXPECT_GE(secondsBetween(runs[0], runs[1]), 1.5);
    EXPECT_LT(secondsBetween(runs[0], runs[1]), 1.8);
    // Measured from the second turn, not caught up on the original 0.5 s grid.
    EXPECT_GE(secondsBetween(runs[1], runs[2]), 0.45);
    EXPECT_LT(secondsBetween(runs[1], runs[2]), 1.0);
}

TEST(TimerLifetime, PendingTimersAreDestroyedWithTheirLoop) {
    auto capture = std::make_shared<int>(1);
    std::weak_ptr<int> alive = capture;
    bool ran = false;
    {
        EventLoop loop;
        loop.runAfter(10000, [&ran, capture] { ran = true; });
        capture.reset();
        EXPECT_FALSE(alive.expired());
    }
    EXPECT_TRUE(alive.expired());
    EXPECT_FALSE(ran);
}

TEST(TimerLifetime, TimerStillBeingHandedOverIsDestroyedWithTheLoop) {
    auto capture = std::make_shared<int>(1);
    std::weak_ptr<int> alive = capture;
    {
        EventLoop loop;
        // From a foreign thread the timer waits in the functor queue for a turn that never comes.
        std::thread([&loop, &capture] { loop.runAfter(10, [capture] {}); }).join();
        capture.reset();
        EXPECT_FALSE(alive.expired());
    }
    EXPECT_TRUE(alive.expired());
}

TEST(TimerLifetime, LoopsWithFiringTimersShutDownPromptly) {
    for (int i = 0; i < 20; ++i) {
        const Timestamp start = Timestamp::now();
        {
            ThreadEventLoop owner;
            EventLoop* loop = owner.startLoop();
            loop->runEvery(1, [] {});
            loop->runAfter(1, [] {});
            sleepMs(i % 5);
        }
        EXPECT_LT(secondsBetween(start, Timestamp::now()), 1.5);
    }
}

}  // namespace

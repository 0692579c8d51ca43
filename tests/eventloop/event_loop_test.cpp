#include "uilitylib.h"

#include <gtest/gtest.h>
#include "dll_exceptions.h"
#include <algorithm>
#include <future>
#include <stdexcept>
#include <thread>

using namespace uilitylib;

namespace {
double secondsSince(Timestamp start) {
    return static_cast<double>(Timestamp::now().microSecondsSinceEpoch() - start.microSecondsSinceEpoch()) /
           1e6;
}

TEST(EventLoop, QuitBeforeLoopIsForgottenAndAFunctorQueuedInATurnWaitsForTheNext) {
    EventLoop loop;
    loop.quit();
    bool inner = false;
    loop.queueInLoop([&] {
        EXPECT_FALSE(loop.eventHandling());
        loop.queueInLoop([&] { inner = true; });
        loop.quit();  // ends the loop at the end of this turn
    });
    loop.wakeup();  // remembered: the first turn starts at once
    loop.loop();
    EXPECT_FALSE(inner);
    bool direct = false;
    loop.runInLoop([&] { direct = true; });  // on the loop thread: at once
    EXPECT_TRUE(direct);
    loop.runAfter(0, [&] { loop.quit(); });
    loop.loop();
    EXPECT_TRUE(inner);
}

TEST(EventLoop, QueueKeepsOnlyTheLast5000InOrderAndAThrowingFunctorEndsTheTurn) {
    EventLoop loop;
    std::vector<int> order;
    auto firstCapture = std::make_shared<int>(0);
    std::weak_ptr<int> firstAlive = firstCapture;
    loop.queueInLoop([&order, firstCapture] { order.push_back(*firstCapture); });
    firstCapture.reset();
    for (int i = 1; i <= 5000; ++i) {
        loop.queueInLoop([&order, i] { order.push_back(i); });
    }
    EXPECT_TRUE(firstAlive.expired());  // dropped and destroyed, not kept for later
    loop.runAfter(0, [&] { loop.quit(); });
    loop.loop();
    ASSERT_EQ(order.size(), 5000u);
    EXPECT_EQ(std::pair(order.front(), order.back()), std::pair(1, 5000));
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    bool later = false;  // a functor that throws leaves loop() and drops the rest of its batch
    loop.queueInLoop([] { throw std::runtime_error("functor failed"); });
    loop.queueInLoop([&] { later = true; });
    EXPECT_THROW(loop.loop(), std::runtime_error);
    EXPECT_FALSE(later);
}

// Without a wake-up a functor would wait for the loop's one-second idle turn.
TEST(EventLoop, FunctorsQueuedFromOtherThreadsWakeAnIdleLoopAndAWakeupWhileBusyIsRemembered) {
    ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the idle wait
    Latch busy(1), release(1), follow(1);
    Timestamp start = Timestamp::now();
    loop->queueInLoop([&] {
        busy.countDown();
        release.wait();
        loop->queueInLoop([&] { follow.countDown(); });  // on the loop thread: sends no wake-up
    });
    busy.wait();
    EXPECT_LT(secondsSince(start), 0.5);
    loop->wakeup();
    start = Timestamp::now();
    release.countDown();
    follow.wait();
    EXPECT_LT(secondsSince(start), 0.5);
}

// The child re-runs the program instead of forking a process that has threads.
TEST(EventLoopDeathTest, UseOnAForeignThreadOrDestroyingTheLoopThreadFromItsLoopAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EventLoop loop;
    EXPECT_DEATH(std::thread([&] { loop.loop(); }).join(), "");
    EXPECT_DEATH(std::thread([&] { loop.assertInThread(); }).join(), "");
    EXPECT_DEATH(
        {
            auto* owner = new ThreadEventLoop;
            owner->startLoop()->runInLoop([owner] { delete owner; });
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "");
}

TEST(ThreadEventLoop, StartLoopReturnsTheNewThreadsLoopAfterTheInitCallback) {
    EventLoop* seenByInit = nullptr;
    bool initOnLoopThread = false;
    ThreadEventLoop owner([&](EventLoop* loop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a late start would return first
        seenByInit = loop;
        initOnLoopThread = loop->isInThread();
    });
    EventLoop* loop = owner.startLoop();
    EXPECT_EQ(loop, seenByInit);
    EXPECT_TRUE(initOnLoopThread);
    EXPECT_FALSE(loop->isInThread());
    Latch ran(1);
    bool functorOnLoopThread = false;
    loop->runInLoop([&] {
        functorOnLoopThread = loop->isInThread();
        ran.countDown();
    });
    ran.wait();
    EXPECT_TRUE(functorOnLoopThread);
    EXPECT_TRUE(owner.withLoop([&](EventLoop& published) { EXPECT_EQ(&published, loop); }));
}

// A thread that ends before it publishes its loop makes startLoop throw instead of waiting forever.
TEST(ThreadEventLoop, StartLoopThrowsWhenTheThreadEndsBeforeItsLoopRuns) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    // Left to leak should startLoop wait forever: the thread that waits still uses it.
    auto* owner = new ThreadEventLoop([](EventLoop*) { throw std::runtime_error("init failed"); });
    std::promise<bool> threw;
    std::future<bool> result = threw.get_future();
    std::thread([owner, threw = std::move(threw)]() mutable {
        try {
            owner->startLoop();
            threw.set_value(false);
        } catch (const std::runtime_error&) {
            threw.set_value(true);
        }
    }).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "startLoop still waits";
    EXPECT_TRUE(result.get());
    EXPECT_FALSE(owner->withLoop([](EventLoop&) {}));
    delete owner;
}

// Quit before loop() started (forgotten), idle or quit by its user: the destructor ends the thread promptly.
TEST(ThreadEventLoop, DestructorEndsTheThreadPromptlyWhateverTheLoopIsDoing) {
    for (int i = 0; i < 32; ++i) {
        auto owner = std::make_unique<ThreadEventLoop>(i < 30 ? [](EventLoop* loop) { loop->quit(); }
                                                              : ThreadEventLoop::ThreadInitCallback());
        EventLoop* loop = owner->startLoop();
        if (i >= 30) {
            Latch ran(1);
            loop->runInLoop([&, i] {
                if (i == 31) {
                    loop->quit();
                }
                ran.countDown();
            });
            ran.wait();
        }
        const Timestamp start = Timestamp::now();
        owner.reset();
        ASSERT_LT(secondsSince(start), 1.5) << "iteration " << i;
    }
}
}  // namespace

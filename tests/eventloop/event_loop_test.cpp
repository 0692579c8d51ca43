#include "uilitylib.h"

#include <gtest/gtest.h>

#include "dll_exceptions.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using uilitylib::EventLoop;
using uilitylib::Latch;
using uilitylib::Timestamp;

namespace {

double secondsSince(Timestamp start) {
    return static_cast<double>(Timestamp::now().microSecondsSinceEpoch() - start.microSecondsSinceEpoch()) /
           1e6;
}

TEST(EventLoopQuit, QuitBeforeLoopIsForgotten) {
    EventLoop loop;
    bool ran = false;
    loop.quit();
    loop.runAfter(100, [&] {
        ran = true;
        loop.quit();
    });
    loop.loop();
    EXPECT_TRUE(ran);
}

TEST(EventLoopQuit, QuitFromAnotherThreadEndsTheLoopWithinAboutASecond) {
    Latch looping(1);
    std::atomic<bool> returned(false);
    EventLoop* loopPtr = nullptr;
    std::thread thread([&] {
        EventLoop loop;
        loopPtr = &loop;
        // Runs inside loop(), so the quit below cannot come before loop() starts.
        loop.queueInLoop([&] { looping.countDown(); });
        loop.wakeup();
        loop.loop();
        returned = true;
    });
    looping.wait();
    const Timestamp start = Timestamp::now();
    loopPtr->quit();
    thread.join();
    EXPECT_TRUE(returned);
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST(EventLoopFunctors, FunctorQueuedFromAFunctorRunsInTheNextTurn) {
    EventLoop loop;
    bool inner = false;
    loop.queueInLoop([&] {
        loop.queueInLoop([&] { inner = true; });
        loop.quit();  // ends the loop at the end of this turn
    });
    loop.wakeup();  // remembered: the first turn starts at once
    loop.loop();
    EXPECT_FALSE(inner);
    loop.runAfter(0, [&] { loop.quit(); });
    loop.loop();
    EXPECT_TRUE(inner);
}

TEST(EventLoopFunctors, QueueKeepsOnlyTheLast5000InOrder) {
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
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(order[i], i + 1);
    }
}

TEST(EventLoopFunctors, RunInLoopOnTheLoopThreadRunsAtOnce) {
    EventLoop loop;
    bool ran = false;
    loop.runInLoop([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(EventLoopFunctors, QueueInLoopFromAnotherThreadWakesTheIdleLoop) {
    uilitylib::ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    // Let the loop settle into an idle wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Latch ran(1);
    const Timestamp start = Timestamp::now();
    loop->queueInLoop([&] { ran.countDown(); });
    ran.wait();
    // Without the wake-up it would wait for the one-second idle turn.
    EXPECT_LT(secondsSince(start), 0.5);
}

TEST(EventLoopFunctors, WakeupWhileTheLoopIsBusyIsRemembered) {
    uilitylib::ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    Latch busy(1);
    Latch release(1);
    Latch follow(1);
    loop->queueInLoop([&] {
        busy.countDown();
        release.wait();
        // Queued on the loop thread: it sends no wake-up of its own.
        loop->queueInLoop([&] { follow.countDown(); });
    });
    busy.wait();
    loop->wakeup();
    const Timestamp start = Timestamp::now();
    release.countDown();
    follow.wait();
    EXPECT_LT(secondsSince(start), 0.5);
}

TEST(EventLoopFunctors, ExceptionFromAFunctorLeavesLoopAndDropsTheRestOfTheBatch) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    EventLoop loop;
    bool later = false;
    loop.queueInLoop([] { throw std::runtime_error("functor failed"); });
    loop.queueInLoop([&] { later = true; });
    EXPECT_THROW(loop.loop(), std::runtime_error);
    EXPECT_FALSE(later);
}

TEST(EventLoopThread, IsInThreadOnlyOnTheConstructingThread) {
    EventLoop loop;
    EXPECT_TRUE(loop.isInThread());
    bool elsewhere = true;
    std::thread([&] { elsewhere = loop.isInThread(); }).join();
    EXPECT_FALSE(elsewhere);
}

TEST(EventLoopThread, EventHandlingStaysFalse) {
    EventLoop loop;
    bool during = true;
    loop.runAfter(0, [&] {
        during = loop.eventHandling();
        loop.quit();
    });
    loop.loop();
    EXPECT_FALSE(during);
    EXPECT_FALSE(loop.eventHandling());
}

}  // namespace

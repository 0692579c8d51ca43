#include "uilitylib.h"

#include <gtest/gtest.h>

#include "dll_exceptions.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

using uilitylib::EventLoop;
using uilitylib::Latch;
using uilitylib::StdThread;
using uilitylib::ThreadEventLoop;
using uilitylib::Timestamp;

namespace {

double secondsSince(Timestamp start) {
    return static_cast<double>(Timestamp::now().microSecondsSinceEpoch() - start.microSecondsSinceEpoch()) /
           1e6;
}

TEST(ThreadEventLoop, StartLoopReturnsTheNewThreadsLoopAfterTheInitCallback) {
    EventLoop* seenByInit = nullptr;
    bool initOnLoopThread = false;
    ThreadEventLoop owner([&](EventLoop* loop) {
        seenByInit = loop;
        initOnLoopThread = loop->isInThread();
    });
    EventLoop* loop = owner.startLoop();
    ASSERT_NE(loop, nullptr);
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
}

TEST(ThreadEventLoop, ConstructionTakesOneThreadNumberAndStartsNothing) {
    const int before = StdThread::getThreadCount();
    const Timestamp start = Timestamp::now();
    { ThreadEventLoop unused; }
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(StdThread::getThreadCount(), before + 2);
}

TEST(ThreadEventLoop, DestroyingARunningLoopEndsItWithinTheWaitInterval) {
    auto owner = std::make_unique<ThreadEventLoop>(ThreadEventLoop::ThreadInitCallback(), "stopper");
    owner->startLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Timestamp start = Timestamp::now();
    owner.reset();
    EXPECT_LT(secondsSince(start), 1.5);
}

TEST(ThreadEventLoop, DestroyingRightAfterStartEndsTheThreadEvenIfQuitPrecedesLoop) {
    for (int i = 0; i < 30; ++i) {
        const Timestamp start = Timestamp::now();
        {
            // The init callback's quit comes before loop() and is forgotten; the destructor's may be too.
            ThreadEventLoop owner([](EventLoop* loop) { loop->quit(); });
            owner.startLoop();
        }
        ASSERT_LT(secondsSince(start), 1.5) << "iteration " << i;
    }
}

TEST(ThreadEventLoop, LoopQuitByItsUserIsJoinedByTheDestructor) {
    auto owner = std::make_unique<ThreadEventLoop>();
    EventLoop* loop = owner->startLoop();
    loop->runInLoop([loop] { loop->quit(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Timestamp start = Timestamp::now();
    owner.reset();
    EXPECT_LT(secondsSince(start), 1.5);
}

TEST(ThreadEventLoop, SecondStartLoopThrowsAndKeepsTheLoopRunning) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    ThreadEventLoop owner;
    EventLoop* loop = owner.startLoop();
    EXPECT_THROW(owner.startLoop(), std::logic_error);
    Latch ran(1);
    loop->queueInLoop([&] { ran.countDown(); });
    ran.wait();
}

}  // namespace

#include "uilitylib.h"

#include <gtest/gtest.h>

#include "dll_exceptions.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

using uilitylib::Latch;
using uilitylib::StdThread;

namespace {

// The id as StdThread reports it: the system's thread id on Windows, std::thread::id elsewhere.
std::string currentThreadId() {
#ifdef _WIN32
    return std::to_string(GetCurrentThreadId());
#else
    std::ostringstream out;
    out << std::this_thread::get_id();
    return out.str();
#endif
}

TEST(StdThreadNames, UnnamedThreadsTakeTheCounterAndNamedOnesAdvanceIt) {
    const int base = StdThread::getThreadCount() + 1;
    StdThread first([] {});
    StdThread named([] {}, "worker");
    StdThread third([] {});
    EXPECT_EQ(first.getThreadName(), "StdThread" + std::to_string(base));
    EXPECT_EQ(named.getThreadName(), "worker");
    EXPECT_EQ(third.getThreadName(), "StdThread" + std::to_string(base + 2));
}

TEST(StdThreadNames, GetThreadCountReturnsConsecutiveNumbers) {
    const int a = StdThread::getThreadCount();
    const int b = StdThread::getThreadCount();
    EXPECT_EQ(b, a + 1);
}

TEST(StdThreadNames, SetThreadNameReplacesTheName) {
    StdThread thread([] {}, "before");
    thread.setThreadName("after");
    EXPECT_EQ(thread.getThreadName(), "after");
}

TEST(StdThreadStart, ThreadIdIsEmptyBeforeStartAndTheNewThreadsAfter) {
    std::string seen;
    Latch release(1);
    StdThread thread([&] {
        seen = currentThreadId();
        release.wait();
    });
    EXPECT_EQ(thread.getThreadId(), "");
    thread.start();
    const std::string id = thread.getThreadId();
    EXPECT_NE(id, "");
    EXPECT_NE(id, currentThreadId());
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
    release.countDown();
    thread.join();
    EXPECT_EQ(id, seen);
}

TEST(StdThreadStart, IsRunningUntilTheFunctionReturns) {
    Latch release(1);
    StdThread thread([&] { release.wait(); });
    EXPECT_FALSE(thread.isRunning());
    thread.start();
    EXPECT_TRUE(thread.isRunning());
    release.countDown();
    thread.join();
    EXPECT_FALSE(thread.isRunning());
}

TEST(StdThreadStart, SecondStartThrowsAndLeavesTheFirstThreadAlone) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    Latch release(1);
    std::atomic<int> runs(0);
    StdThread thread([&] {
        ++runs;
        release.wait();
    });
    thread.start();
    const std::string id = thread.getThreadId();
    EXPECT_THROW(thread.start(), std::logic_error);
    EXPECT_TRUE(thread.isRunning());
    EXPECT_EQ(thread.getThreadId(), id);
    release.countDown();
    thread.join();
    EXPECT_THROW(thread.start(), std::logic_error);
    EXPECT_EQ(runs, 1);
}

TEST(StdThreadStop, StopClearsIsRunningWhileTheThreadGoesOn) {
    std::atomic<bool> stillRunning(false);
    Latch release(1);
    StdThread thread([&] {
        release.wait();
        stillRunning = true;
    });
    thread.start();
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    release.countDown();
    thread.join();
    EXPECT_TRUE(stillRunning);
}

TEST(StdThreadJoin, JoinAndDetachWithoutAJoinableThreadDoNothing) {
    StdThread never([] {});
    never.join();
    never.detach();
    StdThread joined([] {});
    joined.start();
    joined.join();
    joined.join();
    joined.detach();
    EXPECT_FALSE(joined.isRunning());
}

TEST(StdThreadJoin, DestructorWaitsForTheFunction) {
    std::atomic<bool> finished(false);
    {
        StdThread thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            finished = true;
        });
        thread.start();
    }
    EXPECT_TRUE(finished);
}

// Counts down a latch when the thread that set it ends, after StdThread's own code on that thread.
struct ThreadExitSignal {
    Latch* latch = nullptr;
    ~ThreadExitSignal() {
        if (latch != nullptr) {
            latch->countDown();
        }
    }
};
thread_local ThreadExitSignal t_exitSignal;

TEST(StdThreadJoin, DestroyedFromItsOwnThreadDetachesAndReportsUnderItsName) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    Latch exited(1);
    Latch started(1);
    StdThread* thread = nullptr;
    thread = new StdThread(
        [&] {
            t_exitSignal.latch = &exited;
            started.wait();
            delete thread;
            throw std::runtime_error("gone");
        },
        "self");
    testing::internal::CaptureStdout();
    thread->start();
    started.countDown();
    exited.wait();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "StdThread::run: thread self caught exception: gone\n");
}

TEST(StdThreadExceptions, StandardExceptionPrintsOneLineWithNameAndMessage) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    StdThread thread([] { throw std::runtime_error("disk on fire"); }, "thrower");
    testing::internal::CaptureStdout();
    thread.start();
    thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "StdThread::run: thread thrower caught exception: disk on fire\n");
    EXPECT_FALSE(thread.isRunning());
}

TEST(StdThreadExceptions, OtherExceptionPrintsTheUnknownLine) {
    DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
    StdThread thread([] { throw 42; }, "thrower");
    testing::internal::CaptureStdout();
    thread.start();
    thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "StdThread::run: thread thrower caught unknown exception\n");
    EXPECT_FALSE(thread.isRunning());
}

TEST(StdThreadExceptions, EmptyFunctionIsReportedAsAStandardException) {
    StdThread thread(nullptr, "empty");
    testing::internal::CaptureStdout();
    thread.start();
    thread.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("StdThread::run: thread empty caught exception: ", 0), 0u) << out;
    EXPECT_EQ(out.back(), '\n');
}

}  // namespace

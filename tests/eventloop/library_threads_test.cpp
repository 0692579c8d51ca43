#include "uilitylib.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <thread>

using uilitylib::EventLoop;
using uilitylib::ThreadEventLoop;

namespace {

// Threads of this process, or -1 where the system does not list them. A sanitizer's helper thread that
// appears with the first thread is started beforehand, so it is counted every time.
long countThreads() {
    static const bool warmedUp = (std::thread([] {}).join(), true);
    (void)warmedUp;
    std::error_code error;
    std::filesystem::directory_iterator tasks("/proc/self/task", error);
    if (error) {
        return -1;
    }
    return static_cast<long>(std::distance(tasks, std::filesystem::directory_iterator()));
}

TEST(LibraryThreads, NoTimerThreadOutlivesTheLastLoop) {
    const long before = countThreads();
    if (before < 0) {
        GTEST_SKIP() << "threads cannot be counted here";
    }
    {
        ThreadEventLoop first;
        first.startLoop()->runAfter(10000, [] {});
        EventLoop second;
        second.runAfter(10000, [] {});
        EXPECT_GT(countThreads(), before + 1);
    }
    EXPECT_EQ(countThreads(), before);
    {
        // A later loop brings the timer machinery back.
        EventLoop again;
        bool ran = false;
        again.runAfter(10, [&] {
            ran = true;
            again.quit();
        });
        again.loop();
        EXPECT_TRUE(ran);
    }
    EXPECT_EQ(countThreads(), before);
}

TEST(LibraryThreads, ConstructingALoopThreadObjectStartsNoThread) {
    const long before = countThreads();
    if (before < 0) {
        GTEST_SKIP() << "threads cannot be counted here";
    }
    ThreadEventLoop idle;
    EXPECT_EQ(countThreads(), before);
}

}  // namespace

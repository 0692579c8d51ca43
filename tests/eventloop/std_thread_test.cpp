#include "uilitylib.h"

#include <gtest/gtest.h>
#include "dll_exceptions.h"

using uilitylib::Latch;
using uilitylib::StdThread;

namespace {
// getThreadCount takes a number too.
TEST(StdThread, UnnamedThreadsAreNamedAfterTheCounterThatEveryThreadAdvances) {
    const int base = StdThread::getThreadCount() + 1;
    StdThread first([] {});
    StdThread named([] {}, "worker");
    StdThread third([] {});
    EXPECT_EQ(first.getThreadName(), "StdThread" + std::to_string(base));
    EXPECT_EQ(named.getThreadName(), "worker");
    EXPECT_EQ(third.getThreadName(), "StdThread" + std::to_string(base + 2));
    EXPECT_EQ(StdThread::getThreadCount(), base + 3);
}

// start() returns once the new thread has published its (numeric) id; stop() only clears isRunning, and
// the destructor waits for the function; join and detach without a joinable thread do nothing.
TEST(StdThread, StartPublishesTheIdAndTheDestructorWaitsForTheFunction) {
    Latch release(1);
    std::atomic<bool> finished(false);
    {
        StdThread a([&] { release.wait(); });
        StdThread b([&] {
            release.wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            finished = true;
        });
        EXPECT_EQ(a.getThreadId(), "");
        EXPECT_FALSE(a.isRunning());
        a.start();
        b.start();
        EXPECT_TRUE(a.isRunning());
        EXPECT_NE(a.getThreadId(), b.getThreadId());
#if DOIP_EXCEPTIONS_CROSS_THE_LIBRARY
        EXPECT_THROW(a.start(), std::logic_error);  // a second start is refused; the thread goes on
#endif
        EXPECT_EQ(a.getThreadId().find_first_not_of("0123456789"), std::string::npos);
        b.stop();
        EXPECT_FALSE(b.isRunning());
        release.countDown();
        a.join();
        EXPECT_FALSE(a.isRunning());
        a.join();
        a.detach();
        StdThread([] {}).join();
    }
    EXPECT_TRUE(finished);
}

TEST(StdThread, ExceptionsArePrintedAsOneLineWithTheThreadsName) {
    const std::pair<StdThread::ThreadFunc, std::string> cases[] = {
        {nullptr, "caught exception: "},  // the empty function, with the library's message
        {[] { throw std::runtime_error("disk on fire"); }, "caught exception: disk on fire\n"},
        {[] { throw 42; }, "caught unknown exception\n"}};
    for (const auto& [func, line] : cases) {
        if (func) {
            DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY();
        }
        StdThread thread(func, "thrower");
        testing::internal::CaptureStdout();
        thread.start();
        thread.join();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("StdThread::run: thread thrower " + line, 0), 0u) << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        EXPECT_FALSE(thread.isRunning());
    }
}
}  // namespace

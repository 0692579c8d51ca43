#include "uilitylib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using uilitylib::EventLoop;

namespace {

class EventLoopDeathTest : public testing::Test {
  protected:
    // The child re-runs the program instead of forking a process that has threads.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(EventLoopDeathTest, LoopOnAForeignThreadAborts) {
    EXPECT_DEATH(
        {
            EventLoop loop;
            std::thread([&] { loop.loop(); }).join();
        },
        "");
}

TEST_F(EventLoopDeathTest, AssertInThreadOnAForeignThreadAborts) {
    EXPECT_DEATH(
        {
            EventLoop loop;
            std::thread([&] { loop.assertInThread(); }).join();
        },
        "");
}

TEST_F(EventLoopDeathTest, DestroyingALoopThreadFromItsOwnLoopAborts) {
    EXPECT_DEATH(
        {
            auto* owner = new uilitylib::ThreadEventLoop;
            owner->startLoop()->runInLoop([owner] { delete owner; });
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "");
}

}  // namespace

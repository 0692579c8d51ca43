#include "uilitylib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using uilitylib::Latch;

namespace {

TEST(Latch, CountZeroNeverBlocks) {
    Latch latch(0);
    latch.wait();
    EXPECT_EQ(latch.getCount(), 0);
}

TEST(Latch, NegativeCountNeverBlocks) {
    Latch latch(-3);
    latch.wait();
    EXPECT_EQ(latch.getCount(), -3);
}

TEST(Latch, CountTwoOpensOnlyAfterTwoCountDowns) {
    Latch latch(2);
    std::atomic<bool> passed(false);
    std::thread waiter([&] {
        latch.wait();
        passed = true;
    });
    latch.countDown();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(passed);
    EXPECT_EQ(latch.getCount(), 1);
    latch.countDown();
    waiter.join();
    EXPECT_TRUE(passed);
    EXPECT_EQ(latch.getCount(), 0);
}

TEST(Latch, ExtraCountDownsStayNegativeAndOpen) {
    Latch latch(1);
    latch.countDown();
    latch.countDown();
    EXPECT_EQ(latch.getCount(), -1);
    latch.wait();
}

}  // namespace

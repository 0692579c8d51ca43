// The platform's one-shot timers (eventloop/os_timer.h: Windows timer-queue timers, or the POSIX service
// thread), compiled in directly: a timer fires once on another thread; a delete does not wait for a
// callback under way but keeps its parameter alive until it returns; the last release returns only once no
// callback runs any more.
#include "eventloop/os_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace uilitylib::detail;

namespace {

using Clock = std::chrono::steady_clock;

// The parameter of a callback that can be held inside the callback until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cond;
    bool entered = false;
    bool open = true;
    std::thread::id thread;
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};

    void waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(5), [this] { return entered; }));
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cond.notify_all();
    }
};

void gateCallback(void* param) {
    Gate* gate = static_cast<Gate*>(param);
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->entered = true;
        gate->thread = std::this_thread::get_id();
        gate->cond.notify_all();
        gate->cond.wait(lock, [gate] { return gate->open; });
    }
    ++gate->runs;
    gate->finished = true;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(OsTimer, FiresOnceOnAnotherThreadNotBeforeItsDueTime) {
    acquireOsTimers();
    auto gate = std::make_shared<Gate>();
    const auto start = Clock::now();
    void* timer = createOsTimer(100, &gateCallback, gate);
    ASSERT_NE(timer, nullptr);
    gate->waitEntered();
    const double firedAfter = msSince(start);
    EXPECT_GE(firedAfter, 90.0);
    EXPECT_LT(firedAfter, 2000.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(gate->runs, 1);
    EXPECT_NE(gate->thread, std::this_thread::get_id());
    deleteOsTimer(timer);
    releaseOsTimers();
    EXPECT_EQ(gate->runs, 1);
}

TEST(OsTimer, DeleteBeforeItsDueTimeCancelsIt) {
    acquireOsTimers();
    auto gate = std::make_shared<Gate>();
    void* timer = createOsTimer(200, &gateCallback, gate);
    ASSERT_NE(timer, nullptr);
    deleteOsTimer(timer);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    releaseOsTimers();
    EXPECT_EQ(gate->runs, 0);
    EXPECT_EQ(gate.use_count(), 1);  // the layer keeps nothing of it
}

TEST(OsTimer, DeleteDoesNotWaitForARunningCallbackAndKeepsItsParameterUntilItReturns) {
    acquireOsTimers();
    auto gate = std::make_shared<Gate>();
    gate->open = false;
    std::weak_ptr<Gate> alive = gate;
    Gate* raw = gate.get();
    void* timer = createOsTimer(0, &gateCallback, std::move(gate));
    ASSERT_NE(timer, nullptr);
    raw->waitEntered();
    const auto start = Clock::now();
    deleteOsTimer(timer);
    EXPECT_LT(msSince(start), 100.0);
    EXPECT_FALSE(alive.expired());  // the callback still uses it
    EXPECT_FALSE(raw->finished);
    raw->release();
    releaseOsTimers();
    EXPECT_TRUE(alive.expired());
}

TEST(OsTimer, LastReleaseReturnsOnlyOnceTheCallbackUnderWayHasReturned) {
    acquireOsTimers();
    auto gate = std::make_shared<Gate>();
    gate->open = false;
    void* timer = createOsTimer(0, &gateCallback, gate);
    ASSERT_NE(timer, nullptr);
    gate->waitEntered();
    deleteOsTimer(timer);
    std::thread opener([gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gate->release();
    });
    const auto start = Clock::now();
    releaseOsTimers();
    const bool finishedAtRelease = gate->finished;
    const double took = msSince(start);
    opener.join();
    EXPECT_TRUE(finishedAtRelease);
    EXPECT_GE(took, 150.0);
}

}  // namespace

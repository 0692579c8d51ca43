// The platform's one-shot timers (eventloop/os_timer.h: Windows timer-queue timers, or the POSIX service
// thread), which have no exported entry point: compiled in directly.
#include "eventloop/os_timer.h"

#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#endif

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
// The lock of every gate lives on when a gate goes, so a gate can be opened right before its callback ends.
std::mutex g_mutex;
std::condition_variable g_cond;

// The parameter of an OS timer callback: records its run, and holds the callback until it is open.
struct Gate {
    bool entered = false;
    bool open = true;
    std::thread::id thread;

    void waitEntered() {
        std::unique_lock<std::mutex> lock(g_mutex);
        ASSERT_TRUE(g_cond.wait_for(lock, 5s, [this] { return entered; }));
    }
    void release() {
        std::lock_guard<std::mutex> lock(g_mutex);
        open = true;
        g_cond.notify_all();
    }
};

void gateCallback(void* param) {
    Gate* gate = static_cast<Gate*>(param);
    std::unique_lock<std::mutex> lock(g_mutex);
    gate->entered = true;
    gate->thread = std::this_thread::get_id();
    g_cond.notify_all();
    g_cond.wait(lock, [gate] { return gate->open; });
}

using namespace uilitylib::detail;

// A delete cancels a timer not yet due, keeping nothing of it, and leaves a running callback alone but its
// parameter alive until it returns; the last release returns only once no callback runs any more.
TEST(OsTimer, DeleteCancelsOrLeavesARunningCallbackAloneAndTheLastReleaseWaitsForIt) {
    acquireOsTimers();
    auto cancelled = std::make_shared<Gate>();
    deleteOsTimer(createOsTimer(20000, &gateCallback, cancelled));
    auto fence = std::make_shared<Gate>();
    void* later = createOsTimer(150000, &gateCallback, fence);
    fence->waitEntered();  // a timer due earlier has had its turn by now
    deleteOsTimer(later);
    EXPECT_FALSE(cancelled->entered);
    EXPECT_EQ(cancelled.use_count(), 1);
    EXPECT_NE(fence->thread, std::this_thread::get_id());
    auto gate = std::make_shared<Gate>();
    gate->open = false;
    std::weak_ptr<Gate> alive = gate;
    Gate* raw = gate.get();
    void* timer = createOsTimer(0, &gateCallback, std::move(gate));
    ASSERT_NE(timer, nullptr);
    raw->waitEntered();
    auto start = Clock::now();
    deleteOsTimer(timer);
    EXPECT_LT(Clock::now() - start, 100ms);
    EXPECT_FALSE(alive.expired());
    std::thread opener([raw] {
        std::this_thread::sleep_for(200ms);
        raw->release();
    });
    start = Clock::now();
    releaseOsTimers();
    EXPECT_GE(Clock::now() - start, 150ms);
    EXPECT_TRUE(alive.expired());
    opener.join();
}

#if !defined(_WIN32)
// An acquire whose service thread cannot be created (here: a default stack no system can map) throws and
// counts for nothing: the next acquire starts the service, and its release stops it again.
TEST(OsTimer, AnAcquireThatCannotStartTheServiceLeavesNoUserBehind) {
    pthread_attr_t saved;
    pthread_attr_t huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t{1} << (sizeof(void*) == 8 ? 46 : 30));
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    bool threw = false;
    try {
        acquireOsTimers();
    } catch (const std::system_error&) {
        threw = true;
    }
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    if (!threw) {
        releaseOsTimers();
        GTEST_SKIP() << "this runtime starts threads without the default stack size";
    }
    acquireOsTimers();
    auto gate = std::make_shared<Gate>();
    ASSERT_NE(createOsTimer(0, &gateCallback, gate), nullptr);
    gate->waitEntered();
    releaseOsTimers();
    EXPECT_EQ(createOsTimer(0, &gateCallback, std::make_shared<Gate>()), nullptr);
}
#endif
}  // namespace

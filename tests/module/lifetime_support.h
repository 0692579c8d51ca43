// Load and unload, the same on every platform (each one's file defines the functions declared first): every
// scenario loads the library itself in a child process; its exit code tells which check failed.
#ifndef DOIP_TESTS_MODULE_LIFETIME_SUPPORT_H
#define DOIP_TESTS_MODULE_LIFETIME_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "doip.h"

namespace lifetime {
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void* load();                                 // null when it fails
bool unload(void* library);                   // whether the library is gone from the process afterwards
void* find(void* library, const char* name);  // the exported function, or null
int count_threads();                          // threads of this process
int library_threads();                        // threads that carry the names the library gives its own

// Ends the child process with `code` when a check fails.
inline void check(bool ok, int code) {
    if (!ok) {
        std::_Exit(code);
    }
}

// The exported functions the scenarios call.
struct Library {
    void* handle = load();
    int (*init)(doip_s*) = nullptr;
    int (*start)(const doip_s*, double, doip_timer_callback_fn, void*) = nullptr;
    int (*stop)() = nullptr;
    int (*err_str)(int, char*, int*) = nullptr;
    int (*get_state)(const doip_s*, int*) = nullptr;
    int (*targets)(eth_config_s*, int*) = nullptr;

    template <typename Fn>
    void bind(Fn* fn, const char* name) {
        void* address = handle == nullptr ? nullptr : find(handle, name);
        *fn = reinterpret_cast<Fn>(address);
        check(address != nullptr, 90);
    }
    Library() {
        bind(&init, "doip_init");
        bind(&start, "start_timer_a_doip_ctrl");
        bind(&stop, "doip_stop_timer_loop");
        bind(&err_str, "get_doip_err_str");
        bind(&get_state, "get_doip_state");
        bind(&targets, "get_doip_targets");
    }
};

// Whether the library's threads are gone within 5 s: after an unload, a Windows thread ends its exit outside
// the unmapped library once the loader lock is released (one left running there would crash the process);
// and a joined thread may stay listed by the OS for a moment (under an emulator such as qemu-user for long
// enough to be seen).
inline bool library_threads_end() {
    for (int i = 0; i < 500 && library_threads() != 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return library_threads() == 0;
}

inline std::atomic<int> g_fired{0};
inline void on_timer(void*) {
    ++g_fired;
}

// Loading starts no thread and leaves text table and registries ready; the stop call joins the timer thread
// doip_init started, refuses later timers and stays; the unload then waits for nothing; no timer fires.
inline void load_init_stop_unload_scenario() {
    const int baseline = count_threads();  // a sanitizer runtime may own a thread already
    const Library lib;
    char text[64];
    int len = sizeof text, state = -1, count = 2;
    doip_s ctx{};
    eth_config_s list[2];
    lib.get_state(&ctx, &state);
    check(lib.err_str(0x1001, text, &len) == 0 && len == 45 && state == 1, 11);
    check(lib.targets(list, &count) == 0 && count == 0 && count_threads() == baseline, 12);
    lib.init(&ctx);
    check(library_threads() >= 1, 13);  // a new thread carries its creator's name until it renames itself
    lib.start(&ctx, 100.0, on_timer, nullptr);
    lib.start(&ctx, 60000.0, on_timer, nullptr);
    check(lib.stop() == 0 && library_threads_end() && lib.start(&ctx, 1.0, on_timer, nullptr) == -1, 14);
    lib.init(&ctx);
    check(lib.stop() == 0 && library_threads_end(), 15);
    const auto begin = Clock::now();
    check(unload(lib.handle) && Clock::now() - begin < 1s && library_threads() == 0, 16);
    std::this_thread::sleep_for(300ms);
    std::_Exit(g_fired == 0 ? 0 : 17);
}

// Without the stop call the unload ends the timer thread itself, in a bounded time, and waits for a running
// callback (it returns into the library's code); a timer armed for later never fires.
inline void unload_without_stop_scenario(bool during_callback) {
    static std::promise<void> entered;
    static std::atomic<bool> finished{false};
    const Library lib;
    doip_s ctx;
    lib.init(&ctx);
    lib.start(&ctx, 60000.0, on_timer, nullptr);
    if (during_callback) {
        lib.start(
            &ctx, 1.0,
            [](void*) {
                entered.set_value();
                std::this_thread::sleep_for(500ms);
                finished = true;
            },
            nullptr);
        entered.get_future().wait();
    }
    const auto begin = Clock::now();
    check(unload(lib.handle) && Clock::now() - begin < 3s && library_threads_end(), 31);
    check(!during_callback || (finished && Clock::now() - begin > 300ms), 32);
    std::this_thread::sleep_for(300ms);
    std::_Exit(g_fired == 0 ? 0 : 33);
}

// A normal exit with the library loaded and its timer thread running must not hang (on Windows the thread
// is ended before the library is detached, so its teardown must not wait for it).
inline void exit_with_running_timer_scenario() {
    const Library lib;
    doip_s ctx;
    lib.init(&ctx);
    lib.start(&ctx, 60000.0, on_timer, nullptr);
    std::exit(library_threads() >= 1 ? 0 : 41);
}

class ModuleLifetime : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ModuleLifetime, LoadInitStopAndUnloadLeaveNoThreadAndNoTimerFires) {
    EXPECT_EXIT(load_init_stop_unload_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, UnloadWithoutStopEndsTheTimerThreadAndWaitsForARunningCallback) {
    EXPECT_EXIT(unload_without_stop_scenario(false), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(unload_without_stop_scenario(true), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, ProcessExitWithTheTimerThreadRunningDoesNotHang) {
    EXPECT_EXIT(exit_with_running_timer_scenario(), ::testing::ExitedWithCode(0), "");
}
}  // namespace lifetime

#endif

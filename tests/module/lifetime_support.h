// Load and unload of the library, the same on every platform: the test programs do not link the library,
// they load it themselves in child processes (death-test style), so every scenario starts from a freshly
// loaded library. Each platform's test file defines the functions declared first, then includes its own
// scenarios. Exit codes tell the parent which check failed.
#ifndef DOIP_TESTS_MODULE_LIFETIME_SUPPORT_H
#define DOIP_TESTS_MODULE_LIFETIME_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "doip.h"

namespace lifetime {

void* load();                                 // null when it fails
bool unload(void* library);                   // whether the library is gone from the process afterwards
void* find(void* library, const char* name);  // the exported function, or null
int count_threads();                          // threads of this process
int library_threads();                        // threads that carry the names the library gives its own
bool library_threads_end();                   // whether they end (after an unload, within its bound)

// The exported functions the scenarios call.
struct Library {
    void* handle;
    int (*init)(doip_s*);
    int (*start)(const doip_s*, double, doip_timer_callback_fn, void*);
    int (*stop)(void);
    int (*err_str)(int, char*, int*);
    int (*get_state)(const doip_s*, int*);
    int (*targets)(eth_config_s*, int*);
};

template <typename Fn>
void bind(void* handle, Fn* fn, const char* name) {
    void* address = find(handle, name);
    if (address == nullptr) {
        std::_Exit(90);
    }
    *fn = reinterpret_cast<Fn>(address);
}

inline Library load_library(int exit_code) {
    Library lib{load(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    if (lib.handle == nullptr) {
        std::_Exit(exit_code);
    }
    bind(lib.handle, &lib.init, "doip_init");
    bind(lib.handle, &lib.start, "start_timer_a_doip_ctrl");
    bind(lib.handle, &lib.stop, "doip_stop_timer_loop");
    bind(lib.handle, &lib.err_str, "get_doip_err_str");
    bind(lib.handle, &lib.get_state, "get_doip_state");
    bind(lib.handle, &lib.targets, "get_doip_targets");
    return lib;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline std::atomic<int> g_fired{0};
inline void on_timer(void*) {
    ++g_fired;
}

// Right after loading the text table is ready and the registries are empty; no thread starts, and the
// unload has nothing to wait for.
inline void load_unload_without_init_scenario() {
    const int baseline = count_threads();  // a sanitizer runtime may own a thread already
    const auto begin = std::chrono::steady_clock::now();
    const Library lib = load_library(10);
    char text[64];
    int len = sizeof text;
    doip_s ctx{};
    int state = -1;
    eth_config_s list[2];
    int count = 2;
    lib.get_state(&ctx, &state);
    if (lib.err_str(0x1001, text, &len) != 0 || len != 45 || state != 1 || lib.targets(list, &count) != 0 ||
        count != 0) {
        std::_Exit(11);
    }
    if (count_threads() != baseline) {
        std::_Exit(12);
    }
    if (!unload(lib.handle) || seconds_since(begin) > 2.0) {
        std::_Exit(13);
    }
    std::_Exit(count_threads() == baseline ? 0 : 14);
}

// doip_init starts the timer thread; the stop call joins it itself, refuses later timers, and a later
// doip_init does not bring it back; the unload then has nothing to wait for; no timer ever fires.
inline void stop_then_unload_scenario() {
    const Library lib = load_library(20);
    doip_s ctx;
    lib.init(&ctx);
    if (library_threads() < 1) {
        std::_Exit(21);  // at least one: a new thread carries its creator's name until it renames itself
    }
    lib.start(&ctx, 100.0, on_timer, nullptr);
    lib.start(&ctx, 60000.0, on_timer, nullptr);
    if (lib.stop() != 0 || library_threads() != 0) {
        std::_Exit(22);
    }
    if (lib.start(&ctx, 1.0, on_timer, nullptr) != -1) {
        std::_Exit(23);
    }
    lib.init(&ctx);
    if (lib.stop() != 0 || library_threads() != 0) {
        std::_Exit(24);
    }
    const auto begin = std::chrono::steady_clock::now();
    if (!unload(lib.handle) || seconds_since(begin) > 1.0) {
        std::_Exit(25);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::_Exit(g_fired == 0 ? 0 : 26);
}

// Without the stop call the unload ends the timer thread itself, within a bounded time, and a timer armed
// for later never fires.
inline void unload_without_stop_scenario() {
    const Library lib = load_library(30);
    doip_s ctx;
    lib.init(&ctx);
    lib.start(&ctx, 60000.0, on_timer, nullptr);
    const auto begin = std::chrono::steady_clock::now();
    if (!unload(lib.handle) || seconds_since(begin) > 3.0) {
        std::_Exit(31);
    }
    if (!library_threads_end()) {
        std::_Exit(32);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::_Exit(g_fired == 0 ? 0 : 33);
}

class ModuleLifetime : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ModuleLifetime, LoadAndUnloadWithoutInitStartsNoThreadAndFindsEverythingReady) {
    EXPECT_EXIT(load_unload_without_init_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, ExplicitStopJoinsTheTimerThreadBeforeUnload) {
    EXPECT_EXIT(stop_then_unload_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, UnloadWithoutStopEndsTheTimerThreadAndNoTimerFires) {
    EXPECT_EXIT(unload_without_stop_scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace lifetime

#endif

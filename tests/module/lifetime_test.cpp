// Load and unload of the library: this program does not link it, it loads it with dlopen in child
// processes, so every scenario starts from a freshly loaded library.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "doip.h"

namespace {

// Threads of this process whose kernel name starts with `prefix`.
int count_threads_named(const std::string& prefix) {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) == 0) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

int count_threads() {
    return count_threads_named("");
}

// The kernel keeps 15 characters of a thread name.
const char kTimerThreadPrefix[] = "doip_timer_even";
const char kTimerServicePrefix[] = "uilitylib-timer";

// Threads the library starts: the protocol timer loop and the OS timer service behind it.
int library_threads() {
    return count_threads_named(kTimerThreadPrefix) + count_threads_named(kTimerServicePrefix);
}

template <typename Fn>
Fn symbol(void* handle, const char* name) {
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        std::fprintf(stderr, "missing symbol %s\n", name);
        std::_Exit(90);
    }
    return reinterpret_cast<Fn>(address);
}

std::atomic<int> g_fired{0};
void on_timer(void*) {
    ++g_fired;
}

// Exit codes tell the parent which check failed.
void load_init_unload_scenario() {
    const int baseline = count_threads();  // a sanitizer runtime may own a thread already
    void* handle = dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::_Exit(10);
    }
    if (count_threads() != baseline) {
        std::_Exit(11);  // loading alone must start no thread
    }
    auto init = symbol<int (*)(doip_s*)>(handle, "doip_init");
    auto start = symbol<int (*)(const doip_s*, double, doip_timer_callback_fn, void*)>(
        handle, "start_timer_a_doip_ctrl");
    doip_s ctx;
    init(&ctx);
    // At least one: a thread the loop starts carries the creator's name until it renames itself.
    if (count_threads_named(kTimerThreadPrefix) < 1) {
        std::_Exit(12);
    }
    start(&ctx, 60000.0, on_timer, nullptr);
    if (dlclose(handle) != 0) {
        std::_Exit(13);
    }
    if (dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::_Exit(14);  // still mapped: something pins the library
    }
    if (library_threads() != 0) {
        std::_Exit(15);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (g_fired != 0) {
        std::_Exit(16);
    }
    std::_Exit(0);
}

void load_unload_without_init_scenario() {
    const int baseline = count_threads();
    const auto begin = std::chrono::steady_clock::now();
    void* handle = dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::_Exit(20);
    }
    auto text = symbol<int (*)(int, char*, int*)>(handle, "get_doip_err_str");
    char buf[64];
    int len = sizeof buf;
    if (text(0x1001, buf, &len) != 0 || len != 45) {
        std::_Exit(21);  // the text table is ready right after loading
    }
    if (count_threads() != baseline) {
        std::_Exit(22);
    }
    if (dlclose(handle) != 0 || dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::_Exit(23);
    }
    if (std::chrono::steady_clock::now() - begin > std::chrono::seconds(2)) {
        std::_Exit(24);  // nothing to wait for without a loop thread
    }
    std::_Exit(count_threads() == baseline ? 0 : 25);
}

void fresh_library_state_scenario() {
    void* handle = dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::_Exit(30);
    }
    auto get_state = symbol<int (*)(const doip_s*, int*)>(handle, "get_doip_state");
    auto targets = symbol<int (*)(eth_config_s*, int*)>(handle, "get_doip_targets");
    doip_s ctx{};
    int state = -1;
    get_state(&ctx, &state);
    eth_config_s list[2];
    int count = 2;
    if (state != 1 || targets(list, &count) != 0 || count != 0) {
        std::_Exit(31);
    }
    dlclose(handle);
    std::_Exit(0);
}

void explicit_stop_scenario() {
    void* handle = dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::_Exit(40);
    }
    auto init = symbol<int (*)(doip_s*)>(handle, "doip_init");
    auto start = symbol<int (*)(const doip_s*, double, doip_timer_callback_fn, void*)>(
        handle, "start_timer_a_doip_ctrl");
    auto stop = symbol<int (*)(void)>(handle, "doip_stop_timer_loop");
    doip_s ctx;
    init(&ctx);
    start(&ctx, 100.0, on_timer, nullptr);
    if (stop() != 0 || library_threads() != 0) {
        std::_Exit(41);  // the stop call joins the thread itself
    }
    if (start(&ctx, 1.0, on_timer, nullptr) != -1) {
        std::_Exit(42);  // no timer after the stop
    }
    init(&ctx);  // does not bring the loop back
    if (stop() != 0 || library_threads() != 0) {
        std::_Exit(43);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (g_fired != 0 || dlclose(handle) != 0) {
        std::_Exit(44);
    }
    std::_Exit(dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) == nullptr ? 0 : 45);
}

class ModuleLifetime : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ModuleLifetime, UnloadAfterInitEndsTheTimerThreadAndNoTimerFires) {
    EXPECT_EXIT(load_init_unload_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, ExplicitStopJoinsTheTimerThreadBeforeUnload) {
    EXPECT_EXIT(explicit_stop_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, LoadAndUnloadWithoutInitStartsNoThread) {
    EXPECT_EXIT(load_unload_without_init_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, FreshlyLoadedLibraryHasEmptyRegistries) {
    EXPECT_EXIT(fresh_library_state_scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

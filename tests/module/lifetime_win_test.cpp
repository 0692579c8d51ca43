// Load and unload of doip.dll: this program does not link the library, it loads it with LoadLibrary in
// child processes (death-test style), so every scenario starts from a freshly loaded library.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "doip.h"

namespace {

using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// The name the library gives a thread (SetThreadDescription), or an empty text.
std::wstring thread_description(DWORD thread_id) {
    static const auto get_description = reinterpret_cast<GetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (get_description == nullptr) {
        return std::wstring();
    }
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread_id);
    if (thread == nullptr) {
        return std::wstring();
    }
    std::wstring name;
    PWSTR text = nullptr;
    if (SUCCEEDED(get_description(thread, &text)) && text != nullptr) {
        name = text;
        LocalFree(text);
    }
    CloseHandle(thread);
    return name;
}

// Threads of this process; with a non-empty `name`, only those the library named so.
int count_threads(const std::wstring& name = std::wstring()) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) {
            continue;
        }
        if (name.empty() || thread_description(entry.th32ThreadID) == name) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

const wchar_t kTimerThreadName[] = L"doip_timer_event_loop";

bool library_loaded() {
    return GetModuleHandleA(DOIP_TEST_LIBRARY_NAME) != nullptr;
}

template <typename Fn>
Fn symbol(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    if (address == nullptr) {
        std::_Exit(90);
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

using InitFn = int (*)(doip_s*);
using StartTimerFn = int (*)(const doip_s*, double, doip_timer_callback_fn, void*);
using StopFn = int (*)(void);

std::atomic<int> g_fired{0};
void on_timer(void*) {
    ++g_fired;
}

// A handle of the library's timer thread, taken by a timer callback, which runs on that thread.
HANDLE g_timer_thread = nullptr;
HANDLE g_captured = nullptr;
void capture_timer_thread(void*) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_timer_thread,
                    SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0);
    SetEvent(g_captured);
}

// Loads the library, calls doip_init, takes the timer thread's handle and arms a timer far in the future.
// Exit codes from `base` on tell the parent which check failed.
HMODULE load_with_running_timer(doip_s* ctx, int base) {
    HMODULE library = LoadLibraryA(DOIP_TEST_LIBRARY_NAME);
    if (library == nullptr) {
        std::_Exit(base);
    }
    auto init = symbol<InitFn>(library, "doip_init");
    auto start = symbol<StartTimerFn>(library, "start_timer_a_doip_ctrl");
    init(ctx);
    if (count_threads(kTimerThreadName) != 1) {
        std::_Exit(base + 1);  // doip_init starts the one named timer thread
    }
    g_captured = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (start(ctx, 1.0, capture_timer_thread, nullptr) != 0 ||
        WaitForSingleObject(g_captured, 5000) != WAIT_OBJECT_0 || g_timer_thread == nullptr) {
        std::_Exit(base + 2);
    }
    if (start(ctx, 60000.0, on_timer, nullptr) != 0) {
        std::_Exit(base + 3);
    }
    return library;
}

void load_unload_without_init_scenario() {
    const int baseline = count_threads();
    const ULONGLONG begin = GetTickCount64();
    HMODULE library = LoadLibraryA(DOIP_TEST_LIBRARY_NAME);
    if (library == nullptr || baseline <= 0) {
        std::_Exit(10);
    }
    auto text = symbol<int (*)(int, char*, int*)>(library, "get_doip_err_str");
    char buf[64];
    int len = sizeof buf;
    if (text(0x1001, buf, &len) != 0 || len != 45) {
        std::_Exit(11);  // the text table is ready right after loading
    }
    if (count_threads() != baseline) {
        std::_Exit(12);  // loading alone starts no thread
    }
    if (!FreeLibrary(library) || library_loaded()) {
        std::_Exit(13);
    }
    if (GetTickCount64() - begin > 1000) {
        std::_Exit(14);  // nothing to wait for without a timer thread
    }
    std::_Exit(count_threads() == baseline ? 0 : 15);
}

void fresh_library_state_scenario() {
    HMODULE library = LoadLibraryA(DOIP_TEST_LIBRARY_NAME);
    if (library == nullptr) {
        std::_Exit(20);
    }
    auto get_state = symbol<int (*)(const doip_s*, int*)>(library, "get_doip_state");
    auto targets = symbol<int (*)(eth_config_s*, int*)>(library, "get_doip_targets");
    doip_s ctx{};
    int state = -1;
    get_state(&ctx, &state);
    eth_config_s list[2];
    int count = 2;
    if (state != 1 || targets(list, &count) != 0 || count != 0) {
        std::_Exit(21);
    }
    std::_Exit(FreeLibrary(library) && !library_loaded() ? 0 : 22);
}

void stop_then_unload_scenario() {
    doip_s ctx;
    HMODULE library = load_with_running_timer(&ctx, 30);
    auto stop = symbol<StopFn>(library, "doip_stop_timer_loop");
    auto start = symbol<StartTimerFn>(library, "start_timer_a_doip_ctrl");
    if (stop() != 0) {
        std::_Exit(34);
    }
    // The stop call joins the thread itself: it has ended before the unload.
    if (WaitForSingleObject(g_timer_thread, 0) != WAIT_OBJECT_0 || count_threads(kTimerThreadName) != 0) {
        std::_Exit(35);
    }
    if (start(&ctx, 1.0, on_timer, nullptr) != -1) {
        std::_Exit(36);  // no timer after the stop
    }
    const ULONGLONG begin = GetTickCount64();
    if (!FreeLibrary(library) || library_loaded()) {
        std::_Exit(37);
    }
    if (GetTickCount64() - begin > 1000) {
        std::_Exit(38);  // the unload found nothing to wait for
    }
    Sleep(300);
    std::_Exit(g_fired == 0 ? 0 : 39);
}

void unload_without_stop_scenario() {
    doip_s ctx;
    HMODULE library = load_with_running_timer(&ctx, 40);
    const ULONGLONG begin = GetTickCount64();
    if (!FreeLibrary(library) || library_loaded()) {
        std::_Exit(44);
    }
    if (GetTickCount64() - begin > 3000) {
        std::_Exit(45);  // the unload waits a bounded time only
    }
    // Released from the loader lock, the thread finishes its exit outside the unmapped library; a thread
    // left running in it would crash the process instead.
    if (WaitForSingleObject(g_timer_thread, 5000) != WAIT_OBJECT_0 || count_threads(kTimerThreadName) != 0) {
        std::_Exit(46);
    }
    Sleep(300);
    std::_Exit(g_fired == 0 ? 0 : 47);
}

// A timer callback that is still running when FreeLibrary comes: the unload waits for it (within its
// bound), since the callback returns into the library's code.
HANDLE g_callback_entered = nullptr;
std::atomic<bool> g_callback_finished{false};
void slow_callback(void*) {
    SetEvent(g_callback_entered);
    Sleep(500);
    g_callback_finished = true;
}

void unload_during_callback_scenario() {
    doip_s ctx;
    HMODULE library = load_with_running_timer(&ctx, 60);
    auto start = symbol<StartTimerFn>(library, "start_timer_a_doip_ctrl");
    g_callback_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (start(&ctx, 1.0, slow_callback, nullptr) != 0 ||
        WaitForSingleObject(g_callback_entered, 5000) != WAIT_OBJECT_0) {
        std::_Exit(64);
    }
    const ULONGLONG begin = GetTickCount64();
    if (!FreeLibrary(library) || library_loaded()) {
        std::_Exit(65);
    }
    const ULONGLONG took = GetTickCount64() - begin;
    if (!g_callback_finished || took < 300 || took > 3000) {
        std::_Exit(66);  // waited for the callback, and no longer than the bound
    }
    if (WaitForSingleObject(g_timer_thread, 5000) != WAIT_OBJECT_0) {
        std::_Exit(67);
    }
    Sleep(300);
    std::_Exit(g_fired == 0 ? 0 : 68);
}

void exit_with_running_timer_scenario() {
    doip_s ctx;
    load_with_running_timer(&ctx, 50);
    // A normal exit with the library loaded and its timer thread running: Windows ends the thread, then
    // detaches the library, whose teardown must not wait for the dead thread.
    std::exit(0);
}

class ModuleLifetime : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ModuleLifetime, LoadAndUnloadWithoutInitStartsNoThread) {
    EXPECT_EXIT(load_unload_without_init_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, FreshlyLoadedLibraryHasEmptyRegistries) {
    EXPECT_EXIT(fresh_library_state_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, StopTimerLoopThenFreeLibraryEndsTheTimerThreadAndNoTimerFires) {
    EXPECT_EXIT(stop_then_unload_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, FreeLibraryWithoutStopEndsTheTimerThreadWithinItsBound) {
    EXPECT_EXIT(unload_without_stop_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, FreeLibraryDuringATimerCallbackWaitsForItToReturn) {
    EXPECT_EXIT(unload_during_callback_scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModuleLifetime, ProcessExitWithTheTimerThreadRunningDoesNotHang) {
    EXPECT_EXIT(exit_with_running_timer_scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

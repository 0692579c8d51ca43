// One-shot timers on Windows: timer-queue timers of the process's default timer queue.
//
// A deleted timer's callback may still be queued or running on a thread-pool thread, so the record it
// reads (WinTimer) must outlive it. DeleteTimerQueueTimer does not wait here; it is given an event that
// the system sets once no callback of that timer is outstanding, and the record is freed when that event
// is seen set: at once when the deletion reports success, otherwise by a later call of this layer. (Wine
// reports a deletion without an event as pending even when no callback is outstanding, so the return code
// of such a deletion cannot tell when the record may go.)
#include "eventloop/os_timer.h"

#include <windows.h>

#include <mutex>
#include <utility>
#include <vector>

namespace uilitylib::detail {
namespace {

// How long the last release waits for callbacks still under way. They only wake a loop, so this bound
// is reached only when the thread pool cannot run them (for example while the loader lock is held
// elsewhere); then the release gives up rather than hang, and the records stay allocated.
constexpr DWORD kDrainLimitMs = 2000;

struct WinTimer {
    HANDLE handle;
    OsTimerCallback callback;
    std::shared_ptr<void> param;
};

// A deleted timer whose callback may still run, and the event that tells when it cannot any more.
struct Retired {
    WinTimer* timer;
    HANDLE done;
};

// Constant-initialised, so nothing runs when the library is loaded.
std::mutex g_mutex;
int g_users = 0;
std::vector<Retired>* g_retired = nullptr;  // created by the first deletion that has to wait

VOID CALLBACK onTimer(PVOID parameter, BOOLEAN /*timerOrWaitFired*/) {
    const WinTimer* timer = static_cast<const WinTimer*>(parameter);
    timer->callback(timer->param.get());
}

void destroy(const Retired& retired) {
    CloseHandle(retired.done);
    delete retired.timer;
}

// Under g_mutex: frees the records whose callbacks are done, waiting for them up to timeoutMs in total.
void reapLocked(DWORD timeoutMs) {
    if (g_retired == nullptr) {
        return;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    auto keep = g_retired->begin();
    for (auto it = g_retired->begin(); it != g_retired->end(); ++it) {
        const ULONGLONG now = GetTickCount64();
        const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(it->done, wait) == WAIT_OBJECT_0) {
            destroy(*it);
        } else {
            *keep++ = *it;
        }
    }
    g_retired->erase(keep, g_retired->end());
    if (g_retired->empty()) {
        delete g_retired;
        g_retired = nullptr;
    }
}

}  // namespace

void acquireOsTimers() {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_users;
}

// The callbacks run library code on thread-pool threads. When the last user goes (the last TimerQueue; for
// the library, the timer loop as it stops), wait until none is left, so that the library can be unloaded
// right afterwards without a pool thread still executing its code.
void releaseOsTimers() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_users == 0) {
        reapLocked(kDrainLimitMs);
    }
}

void* createOsTimer(uint64_t dueUs, OsTimerCallback callback, std::shared_ptr<void> param) {
    // Whole milliseconds, rounded up so that the callback never runs early; at most what a DWORD holds
    // short of INFINITE.
    const uint64_t dueMs64 = dueUs / 1000 + (dueUs % 1000 != 0 ? 1 : 0);
    const DWORD dueMs = dueMs64 >= 0xFFFFFFFEull ? 0xFFFFFFFEul : static_cast<DWORD>(dueMs64);
    WinTimer* timer = new WinTimer{nullptr, callback, std::move(param)};
    // The callback reads only callback and param; the handle is for deleteOsTimer, which the owner calls
    // after this returned.
    if (!CreateTimerQueueTimer(&timer->handle, nullptr, onTimer, timer, dueMs, 0, WT_EXECUTEDEFAULT)) {
        delete timer;
        return nullptr;
    }
    return timer;
}

void deleteOsTimer(void* handle) {
    WinTimer* timer = static_cast<WinTimer*>(handle);
    if (timer == nullptr) {
        return;
    }
    const Retired retired{timer, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    if (retired.done == nullptr) {
        // No event to learn when the callback is done: keep the record rather than free it under a
        // callback. The deletion then must not wait either, so it is made without an event.
        DeleteTimerQueueTimer(nullptr, timer->handle, nullptr);
        return;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (DeleteTimerQueueTimer(nullptr, timer->handle, retired.done)) {
        destroy(retired);  // no callback was outstanding
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (g_retired == nullptr) {
            g_retired = new std::vector<Retired>;
        }
        g_retired->push_back(retired);
    } else {
        // Not deleted: the callback may still come, so the record stays allocated.
        CloseHandle(retired.done);
    }
    reapLocked(0);
}

}  // namespace uilitylib::detail

// One-shot timers on Windows: timer-queue timers of the process's default timer queue.
#include "eventloop/os_timer.h"

#include <windows.h>

#include <atomic>
#include <utility>

namespace uilitylib::detail {
namespace {

// One per OS timer. Two references: the owner's, dropped by deleteOsTimer, and the pending callback's,
// dropped when the callback returns or when the deletion shows that it will never run.
struct WinTimer {
    HANDLE handle;
    OsTimerCallback callback;
    std::shared_ptr<void> param;
    std::atomic<int> refs;
};

void release(WinTimer* timer) {
    if (timer->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete timer;
    }
}

VOID CALLBACK onTimer(PVOID parameter, BOOLEAN /*timerOrWaitFired*/) {
    WinTimer* timer = static_cast<WinTimer*>(parameter);
    timer->callback(timer->param.get());
    release(timer);
}

}  // namespace

// Timer-queue timers need no setup of their own.
void acquireOsTimers() {}
void releaseOsTimers() {}

void* createOsTimer(unsigned int dueMs, OsTimerCallback callback, std::shared_ptr<void> param) {
    WinTimer* timer = new WinTimer{nullptr, callback, std::move(param), {2}};
    HANDLE handle = nullptr;
    if (!CreateTimerQueueTimer(&handle, nullptr, onTimer, timer, dueMs, 0, 0)) {
        delete timer;
        return nullptr;
    }
    timer->handle = handle;
    return timer;
}

void deleteOsTimer(void* handle) {
    WinTimer* timer = static_cast<WinTimer*>(handle);
    if (timer == nullptr) {
        return;
    }
    // A null completion event makes the call return at once. It succeeds only when no callback is
    // outstanding: the callback either ran to its end (and dropped its reference) or will never run.
    if (DeleteTimerQueueTimer(nullptr, timer->handle, nullptr)) {
        delete timer;
        return;
    }
    // ERROR_IO_PENDING: the callback runs now and drops the last reference when it returns.
    release(timer);
}

}  // namespace uilitylib::detail

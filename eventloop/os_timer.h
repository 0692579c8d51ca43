// The platform's one-shot timers, with the contract of a Windows timer-queue timer: a due time in
// milliseconds, a callback with a parameter run once on a thread of the platform, and a delete that does
// not wait for a callback already running. Implemented by os_timer_win.cpp and os_timer_posix.cpp.
#ifndef UILITYLIB_EVENTLOOP_OS_TIMER_H
#define UILITYLIB_EVENTLOOP_OS_TIMER_H

#include <memory>

namespace uilitylib::detail {

using OsTimerCallback = void (*)(void* param);

// Any thread. Keeps the timer machinery available between the first acquire and the last release. The
// POSIX layer owns one process-wide service thread: started by the first acquire and joined by the last
// release, so no thread runs before a TimerQueue exists nor after the last one is gone. Every
// createOsTimer/deleteOsTimer call must be made between an acquire and its release. An acquire that
// throws (the service thread cannot be created) counts as none and needs no release.
void acquireOsTimers();
void releaseOsTimers();

// Any thread. After dueMs milliseconds, callback(param.get()) runs once on a platform thread. The layer
// keeps param alive until the callback has returned or can no longer run. Returns null on failure.
void* createOsTimer(unsigned int dueMs, OsTimerCallback callback, std::shared_ptr<void> param);

// Any thread. Cancels the timer if it has not fired and releases the handle; a callback already running
// goes on and is not waited for. The handle must not be used again.
void deleteOsTimer(void* handle);

}  // namespace uilitylib::detail

#endif

// The platform's one-shot timers, with the contract of a Windows timer-queue timer: a due time, a callback
// with a parameter run once on a thread of the platform, and a delete that does not wait for a callback
// already running. Implemented by os_timer_win.cpp and os_timer_posix.cpp.
#ifndef UILITYLIB_EVENTLOOP_OS_TIMER_H
#define UILITYLIB_EVENTLOOP_OS_TIMER_H

#include <cstdint>
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

// Any thread. After dueUs microseconds, callback(param.get()) runs once on a platform thread: never
// earlier; the POSIX layer keeps the microseconds, the Windows one rounds them up to the whole milliseconds
// its timer-queue timers take. The layer keeps param alive until the callback has returned or can no longer
// run. Returns null on failure.
void* createOsTimer(uint64_t dueUs, OsTimerCallback callback, std::shared_ptr<void> param);

// Any thread. Cancels the timer if it has not fired and releases the handle; a callback already running
// goes on and is not waited for. The handle must not be used again.
void deleteOsTimer(void* handle);

}  // namespace uilitylib::detail

#endif

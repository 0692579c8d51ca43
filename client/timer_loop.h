// The process-wide protocol timer loop: one ThreadEventLoop named "doip_timer_event_loop", started by the
// first doip_init (or the first timer start) and stopped once, before the library's objects go.
#ifndef DOIP_CLIENT_TIMER_LOOP_H
#define DOIP_CLIENT_TIMER_LOOP_H

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "uilitylib.h"

namespace doip::detail {

class TimerLoop {
  public:
    TimerLoop();
    // Stops the loop and joins its thread.
    ~TimerLoop();
    TimerLoop(const TimerLoop&) = delete;
    TimerLoop& operator=(const TimerLoop&) = delete;

    // Starts the loop thread unless it runs already or the loop was stopped. A loop thread that has left
    // its loop (it never does by itself) is replaced by a new one. When no loop thread can be started, no
    // loop runs and the next call tries again. Any thread.
    void start();
    // Runs `work` with the running loop, under the locks that keep the loop alive meanwhile (this object's
    // and the one its thread takes to withdraw the loop); false (and `work` not called) when the loop is
    // not running. `work` must not block. Any thread.
    bool with_loop(const std::function<void(uilitylib::EventLoop&)>& work);
    // Quits the loop and joins its thread; afterwards the loop never runs again. Not from the loop thread.
    void stop();
    // For an unload that finds the loop still running and cannot join its thread (Windows: FreeLibrary
    // without doip_stop_timer_loop, under the loader lock): asks the loop to end after its current turn,
    // waits up to `limit` until the loop and its timer queue have been destroyed on the loop thread, and
    // forgets the thread without joining it. True when a running loop ended in time: its thread then has
    // only its exit left to run. False when no loop was running (nothing to do) or the limit passed.
    // Afterwards the loop never runs again. Not from the loop thread.
    bool quit_and_abandon(std::chrono::milliseconds limit);

  private:
    std::mutex mutex_;
    // The loop is reached only through its owner, which knows whether it still runs: a pointer kept here
    // could outlive the loop.
    std::unique_ptr<uilitylib::ThreadEventLoop> thread_loop_;
    bool started_ = false;  // thread_loop_ was started
    bool stopped_ = false;
};

}  // namespace doip::detail

#endif

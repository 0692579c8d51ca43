#include "client/timer_loop.h"

namespace doip::detail {

TimerLoop::TimerLoop()
    : thread_loop_(std::make_unique<uilitylib::ThreadEventLoop>(
          uilitylib::ThreadEventLoop::ThreadInitCallback(), "doip_timer_event_loop")) {}

TimerLoop::~TimerLoop() {
    stop();
}

void TimerLoop::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loop_ != nullptr || stopped_ || !thread_loop_) {
        return;
    }
    loop_ = thread_loop_->startLoop();
}

bool TimerLoop::with_loop(const std::function<void(uilitylib::EventLoop&)>& work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loop_ == nullptr) {
        return false;
    }
    work(*loop_);
    return true;
}

void TimerLoop::stop() {
    std::unique_ptr<uilitylib::ThreadEventLoop> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        loop_ = nullptr;
        finished = std::move(thread_loop_);
    }
    // Destroyed outside the lock: a callback still running on the loop thread may call a timer
    // function, which then finds the loop gone instead of waiting for this join.
    finished.reset();
}

void TimerLoop::abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    loop_ = nullptr;
    (void)thread_loop_.release();
}

}  // namespace doip::detail

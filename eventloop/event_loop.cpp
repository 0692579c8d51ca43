#include "uilitylib.h"

#include <chrono>
#include <cstdlib>

namespace uilitylib {
namespace {

// The longest wait of a turn. It bounds every latency should an OS timer or a wake-up fail.
constexpr std::chrono::milliseconds kWaitLimit(1000);

}  // namespace

const size_t EventLoop::kMaxPendingFunctors;

EventLoop::EventLoop()
    : looping_(false),
      quit_(false),
      eventHandling_(false),
      callingPendingFunctors_(false),
      threadId_(std::this_thread::get_id()),
      wakeupPending_(false),
      timerQueue_(new TimerQueue(this)) {}

EventLoop::~EventLoop() = default;

void EventLoop::loop() {
    assertInThread();
    looping_ = true;
    quit_.store(false);
    while (!quit_.load()) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
            while (!wakeupPending_) {
                if (cond_.wait_until(lock, deadline) == std::cv_status::timeout) {
                    break;
                }
            }
            wakeupPending_ = false;
        }
        if (timerCallback_) {
            timerCallback_();
        }
        doPendingFunctors();
    }
}

void EventLoop::quit() {
    quit_.store(true);
}

void EventLoop::wakeup() {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeupPending_ = true;
    cond_.notify_one();
}

void EventLoop::runInLoop(std::function<void()> f) {
    if (isInThread()) {
        f();
    } else {
        queueInLoop(std::move(f));
    }
}

void EventLoop::queueInLoop(std::function<void()> f) {
    // Destroyed after the lock is released: its captures may queue work of their own.
    std::function<void()> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pendingFunctors_.size() >= kMaxPendingFunctors) {
            dropped = std::move(pendingFunctors_.front());
            pendingFunctors_.pop_front();
        }
        pendingFunctors_.push_back(std::move(f));
        // The loop thread itself is busy in a turn; the functor waits for the next one as it is.
        if (!isInThread()) {
            wakeupPending_ = true;
            cond_.notify_one();
        }
    }
}

TimerId EventLoop::runAt(Timestamp time, std::function<void()> cb) {
    return timerQueue_->addTimer(std::move(cb), time, 0.0);
}

TimerId EventLoop::runAfter(double delay, std::function<void()> cb) {
    return runAt(addTime(Timestamp::now(), delay / 1000.0), std::move(cb));
}

TimerId EventLoop::runEvery(double interval, std::function<void()> cb) {
    const double seconds = interval / 1000.0;
    return timerQueue_->addTimer(std::move(cb), addTime(Timestamp::now(), seconds), seconds);
}

void EventLoop::cancel(TimerId timerId) {
    timerQueue_->cancel(timerId);
}

void EventLoop::setTimerCallback(std::function<void()> cb) {
    timerCallback_ = std::move(cb);
}

void EventLoop::assertInThread() const {
    if (!isInThread()) {
        std::abort();
    }
}

void EventLoop::doPendingFunctors() {
    std::deque<std::function<void()>> functors;
    callingPendingFunctors_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        functors.swap(pendingFunctors_);
    }
    while (!functors.empty()) {
        std::function<void()> f = std::move(functors.front());
        functors.pop_front();
        f();
    }
    callingPendingFunctors_ = false;
}

}  // namespace uilitylib

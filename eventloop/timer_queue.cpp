#include "uilitylib.h"

#include <cstdint>

#include "eventloop/os_timer.h"

namespace uilitylib {
namespace detail {

// What an OS timer callback may reach. The queue's destructor clears loop under the lock, so a callback
// that fires after the queue is gone finds nothing to wake.
struct WakeTarget {
    std::mutex mutex;
    EventLoop* loop = nullptr;
};

}  // namespace detail

bool TimerQueue::EntryLess::operator()(const Entry& a, const Entry& b) const {
    if (a.first < b.first) {
        return true;
    }
    if (b.first < a.first) {
        return false;
    }
    return reinterpret_cast<uintptr_t>(a.second) < reinterpret_cast<uintptr_t>(b.second);
}

bool TimerQueue::ActiveLess::operator()(const ActiveTimer& a, const ActiveTimer& b) const {
    const uintptr_t pa = reinterpret_cast<uintptr_t>(a.first);
    const uintptr_t pb = reinterpret_cast<uintptr_t>(b.first);
    return pa < pb || (pa == pb && a.second < b.second);
}

TimerQueue::TimerQueue(EventLoop* loop)
    : loop_(loop),
      timerHandle_(nullptr),
      callingExpiredTimers_(false),
      wakeTarget_(std::make_shared<detail::WakeTarget>()) {
    wakeTarget_->loop = loop;
    loop_->setTimerCallback([this] { run(); });
    // Last: when it throws, the destructor does not run and so must have nothing to release.
    detail::acquireOsTimers();
}

TimerQueue::~TimerQueue() {
    closeTimeEvent(timerHandle_);
    timerHandle_ = nullptr;
    {
        // Waits only for a callback that is waking the loop right now.
        std::lock_guard<std::mutex> lock(wakeTarget_->mutex);
        wakeTarget_->loop = nullptr;
    }
    detail::releaseOsTimers();
    for (const Entry& entry : timers_) {
        delete entry.second;
    }
}

TimerId TimerQueue::addTimer(std::function<void()> callback, Timestamp expiration, double interval) {
    std::unique_ptr<Timer> timer(new Timer(std::move(callback), expiration, interval));
    const TimerId id(timer.get(), timer->sequence());
    // The hand-over owns the timer until the loop takes it, so a hand-over that is dropped or outlived by
    // its loop frees the timer instead of leaking it.
    auto handOver = std::make_shared<std::unique_ptr<Timer>>(std::move(timer));
    loop_->runInLoop([this, handOver] { addTimerInLoop(handOver->release()); });
    return id;
}

void TimerQueue::cancel(TimerId timerId) {
    loop_->runInLoop([this, timerId] { cancelInLoop(timerId); });
}

void TimerQueue::wakeup() {
    if (loop_ != nullptr) {
        loop_->wakeup();
    }
}

void TimerQueue::addTimerInLoop(Timer* timer) {
    loop_->assertInThread();
    if (insert(timer)) {
        resetTimerfd(timerHandle_, timer->expiration());
    }
}

bool TimerQueue::insert(Timer* timer) {
    loop_->assertInThread();
    const Timestamp when = timer->expiration();
    const bool earliestChanged = timers_.empty() || when < timers_.begin()->first;
    timers_.insert(Entry(when, timer));
    activeTimers_.insert(ActiveTimer(timer, timer->sequence()));
    return earliestChanged;
}

void TimerQueue::cancelInLoop(TimerId timerId) {
    loop_->assertInThread();
    const ActiveTimer key(timerId.timer_, timerId.sequence_);
    auto it = activeTimers_.find(key);
    if (it != activeTimers_.end()) {
        Timer* timer = it->first;
        timers_.erase(Entry(timer->expiration(), timer));
        activeTimers_.erase(it);
        delete timer;
    } else if (callingExpiredTimers_) {
        // One of the batch being run (or a stale id): it must not be restarted.
        cancelingTimers_.insert(key);
    }
}

std::vector<TimerQueue::Entry> TimerQueue::getExpired(Timestamp now) {
    const Entry sentry(now, reinterpret_cast<Timer*>(UINTPTR_MAX));
    const auto end = timers_.lower_bound(sentry);
    std::vector<Entry> expired(timers_.begin(), end);
    timers_.erase(timers_.begin(), end);
    for (const Entry& entry : expired) {
        activeTimers_.erase(ActiveTimer(entry.second, entry.second->sequence()));
    }
    return expired;
}

void TimerQueue::run() {
    loop_->assertInThread();
    const Timestamp now = Timestamp::now();
    const std::vector<Entry> expired = getExpired(now);
    callingExpiredTimers_ = true;
    cancelingTimers_.clear();
    try {
        for (const Entry& entry : expired) {
            entry.second->run();
        }
    } catch (...) {
        // A throwing callback ends the turn; the batch is destroyed rather than leaked on the way out.
        callingExpiredTimers_ = false;
        for (const Entry& entry : expired) {
            delete entry.second;
        }
        throw;
    }
    callingExpiredTimers_ = false;
    reset(expired, now);
}

void TimerQueue::reset(const std::vector<Entry>& expired, Timestamp now) {
    for (const Entry& entry : expired) {
        Timer* timer = entry.second;
        if (timer->repeat() && cancelingTimers_.count(ActiveTimer(timer, timer->sequence())) == 0) {
            timer->restart(now);
            insert(timer);
        } else {
            delete timer;
        }
    }
    if (!timers_.empty()) {
        const Timestamp next = timers_.begin()->second->expiration();
        if (next.valid()) {
            resetTimerfd(timerHandle_, next);
        }
    }
}

bool TimerQueue::createTimeEvent(unsigned int dueMs) {
    timerHandle_ = detail::createOsTimer(uint64_t{dueMs} * 1000, &TimerQueue::timeEventCallback, wakeTarget_);
    return timerHandle_ != nullptr;
}

void TimerQueue::closeTimeEvent(void* handle) {
    if (handle != nullptr) {
        detail::deleteOsTimer(handle);
    }
}

void TimerQueue::resetTimerfd(void* handle, Timestamp expiration) {
    if (timerHandle_ != nullptr) {
        closeTimeEvent(handle);
        timerHandle_ = nullptr;
    }
    const int64_t remaining = expiration.microSecondsSinceEpoch() - Timestamp::now().microSecondsSinceEpoch();
    // To the microsecond where the platform has it: an OS timer that fires before the expiration all the
    // same finds nothing due, and the turn arms it anew for the rest.
    timerHandle_ = detail::createOsTimer(remaining > 0 ? static_cast<uint64_t>(remaining) : 0,
                                         &TimerQueue::timeEventCallback, wakeTarget_);
}

void TimerQueue::timeEventCallback(void* param) {
    detail::WakeTarget* target = static_cast<detail::WakeTarget*>(param);
    if (target == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(target->mutex);
    if (target->loop != nullptr) {
        target->loop->wakeup();
    }
}

}  // namespace uilitylib

#include "uilitylib.h"

namespace uilitylib {

std::atomic<int64_t> Timer::s_numCreated(0);

Timer::Timer(std::function<void()> callback, Timestamp expiration, double interval)
    : callback_(std::move(callback)),
      expiration_(expiration),
      interval_(interval),
      repeat_(interval > 0.0),
      sequence_(s_numCreated.fetch_add(1) + 1) {}

void Timer::run() const {
    if (callback_) {
        callback_();
    }
}

void Timer::restart(Timestamp now) {
    expiration_ = repeat_ ? addTime(now, interval_) : Timestamp::invalid();
}

int64_t Timer::numCreated() {
    return s_numCreated.load();
}

}  // namespace uilitylib

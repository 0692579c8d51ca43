#include "uilitylib.h"

namespace uilitylib {

Latch::Latch(int count) : count_(count) {}

void Latch::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return count_ <= 0; });
}

void Latch::countDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    --count_;
    // Waiters are woken while the lock is held, so the latch may be destroyed as soon as wait() returns.
    if (count_ == 0) {
        cond_.notify_all();
    }
}

int Latch::getCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

}  // namespace uilitylib

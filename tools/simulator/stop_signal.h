// The simulator's stop request, which its loops poll and its pauses wake up for.
#ifndef DOIP_TOOLS_SIMULATOR_STOP_SIGNAL_H
#define DOIP_TOOLS_SIMULATOR_STOP_SIGNAL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace doip_tools {

class StopSignal {
  public:
    // Any thread. False when the stop had already been requested.
    bool request() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_) {
                return false;
            }
            stopped_ = true;
        }
        cv_.notify_all();
        return true;
    }
    bool requested() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }
    // Waits `ms`; false when the stop is requested meanwhile.
    bool pause(uint32_t ms) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool stopped_ = false;
};

}  // namespace doip_tools

#endif

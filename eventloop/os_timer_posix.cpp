// One-shot timers on POSIX: one process-wide service thread waits for the earliest deadline of a heap and
// runs the callbacks, one after another, outside its lock.
#include "eventloop/os_timer.h"

#include <pthread.h>

#include "eventloop/thread_name.h"
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace uilitylib::detail {
namespace {

using Clock = std::chrono::steady_clock;

// A due time that the clock's arithmetic holds: about 292 years at most.
uint64_t clampDue(uint64_t dueUs) {
    constexpr uint64_t kMaxUs = uint64_t{1} << 62 >> 10;
    return dueUs < kMaxUs ? dueUs : kMaxUs;
}

class TimerService {
  public:
    TimerService() : stopping_(false), nextId_(1) {
        // The service thread must not take signals meant for the application's threads.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            thread_ = std::thread([this] {
                detail::setCurrentThreadName("uilitylib-timer");
                serve();
            });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    // Caller's thread (never the service thread): joins the thread, dropping timers that never fired.
    ~TimerService() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        cond_.notify_one();
        thread_.join();
    }

    uintptr_t add(uint64_t dueUs, OsTimerCallback callback, std::shared_ptr<void> param) {
        const Clock::time_point due = Clock::now() + std::chrono::microseconds(clampDue(dueUs));
        std::lock_guard<std::mutex> lock(mutex_);
        const uintptr_t id = nextId_++;
        if (nextId_ == 0) {
            nextId_ = 1;
        }
        const bool earliest = deadlines_.empty() || due < deadlines_.begin()->first;
        deadlines_.emplace(due, id);
        pending_.emplace(id, Pending{due, callback, std::move(param)});
        if (earliest) {
            cond_.notify_one();
        }
        return id;
    }

    void remove(uintptr_t id) {
        std::shared_ptr<void> param;  // released after the lock
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_.find(id);
        if (it == pending_.end()) {
            return;  // fired already, or firing now
        }
        deadlines_.erase(std::make_pair(it->second.due, id));
        param = std::move(it->second.param);
        pending_.erase(it);
    }

  private:
    struct Pending {
        Clock::time_point due;
        OsTimerCallback callback;
        std::shared_ptr<void> param;
    };

    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (deadlines_.empty()) {
                cond_.wait(lock);
                continue;
            }
            const auto first = *deadlines_.begin();
            if (Clock::now() < first.first) {
                cond_.wait_until(lock, first.first);
                continue;
            }
            deadlines_.erase(deadlines_.begin());
            auto it = pending_.find(first.second);
            Pending fired = std::move(it->second);
            pending_.erase(it);
            lock.unlock();
            fired.callback(fired.param.get());
            fired.param.reset();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cond_;
    bool stopping_;
    uintptr_t nextId_;
    std::set<std::pair<Clock::time_point, uintptr_t>> deadlines_;
    std::map<uintptr_t, Pending> pending_;
    std::thread thread_;
};

// Constant-initialised, so nothing runs when the library is loaded.
std::mutex g_serviceMutex;
TimerService* g_service = nullptr;
int g_users = 0;

TimerService* service() {
    std::lock_guard<std::mutex> lock(g_serviceMutex);
    return g_service;
}

}  // namespace

void acquireOsTimers() {
    std::lock_guard<std::mutex> lock(g_serviceMutex);
    if (g_users == 0) {
        g_service = new TimerService;  // a thread that cannot be created throws and leaves no user behind
    }
    ++g_users;
}

void releaseOsTimers() {
    TimerService* last = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_serviceMutex);
        if (--g_users == 0) {
            last = g_service;
            g_service = nullptr;
        }
    }
    // Joined outside the lock, so that a queue created meanwhile does not wait for the old thread.
    delete last;
}

void* createOsTimer(uint64_t dueUs, OsTimerCallback callback, std::shared_ptr<void> param) {
    TimerService* s = service();
    if (s == nullptr) {
        return nullptr;
    }
    // The handle is the timer's id, never 0 and never dereferenced: a stale one is simply not found.
    return reinterpret_cast<void*>(s->add(dueUs, callback, std::move(param)));
}

void deleteOsTimer(void* handle) {
    TimerService* s = service();
    if (s != nullptr && handle != nullptr) {
        s->remove(reinterpret_cast<uintptr_t>(handle));
    }
}

}  // namespace uilitylib::detail

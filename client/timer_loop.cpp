#include "client/timer_loop.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

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

namespace {

// Set once, waited for with a time limit.
struct Signal {
    std::mutex mutex;
    std::condition_variable cond;
    bool set = false;
};

// Sets its signal when it is destroyed.
class SignalOnDestruction {
  public:
    explicit SignalOnDestruction(std::shared_ptr<Signal> signal) : signal_(std::move(signal)) {}
    SignalOnDestruction(const SignalOnDestruction&) = delete;
    SignalOnDestruction& operator=(const SignalOnDestruction&) = delete;
    ~SignalOnDestruction() {
        std::lock_guard<std::mutex> lock(signal_->mutex);
        signal_->set = true;
        signal_->cond.notify_all();
    }

  private:
    std::shared_ptr<Signal> signal_;
};

// Far enough never to fire before the loop has gone.
constexpr double kNeverMs = 1e9;

}  // namespace

bool TimerLoop::quit_and_abandon(std::chrono::milliseconds limit) {
    const auto gone = std::make_shared<Signal>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        if (loop_ == nullptr) {
            return false;  // never started (then the destructor has nothing to join) or stopped before
        }
        uilitylib::EventLoop* loop = loop_;
        // The queue destroys a timer that is still pending only after it has deleted its OS timer and waited
        // for the OS timer callbacks under way, so this one reports the end of all timer work. The quit is
        // made inside a turn: a quit made before the loop thread has entered loop() would be cleared.
        auto reporter = std::make_shared<SignalOnDestruction>(gone);
        loop->runAfter(kNeverMs, [reporter] {});
        reporter.reset();
        loop->queueInLoop([loop] { loop->quit(); });
        loop_ = nullptr;
        (void)thread_loop_.release();
    }
    std::unique_lock<std::mutex> lock(gone->mutex);
    return gone->cond.wait_for(lock, limit, [&] { return gone->set; });
}

}  // namespace doip::detail

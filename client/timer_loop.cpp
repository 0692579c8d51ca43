#include "client/timer_loop.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace doip::detail {

namespace {

constexpr char kThreadName[] = "doip_timer_event_loop";

std::unique_ptr<uilitylib::ThreadEventLoop> make_thread_loop() {
    return std::make_unique<uilitylib::ThreadEventLoop>(uilitylib::ThreadEventLoop::ThreadInitCallback(),
                                                        kThreadName);
}

}  // namespace

TimerLoop::TimerLoop() : thread_loop_(make_thread_loop()) {}

TimerLoop::~TimerLoop() {
    stop();
}

void TimerLoop::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || !thread_loop_) {
        return;
    }
    if (started_) {
        if (thread_loop_->withLoop([](uilitylib::EventLoop&) {})) {
            return;  // runs
        }
        // The thread has left its loop and cannot start it again; its successor takes over. The old thread
        // runs no application code any more, so joining it here is short.
        thread_loop_ = make_thread_loop();
        started_ = false;
    }
    try {
        thread_loop_->startLoop();
        started_ = true;
    } catch (...) {
        // No thread, or one that could not build its loop: no timer runs. A started owner cannot be
        // started again, so a fresh one waits for the next try.
        thread_loop_ = make_thread_loop();
    }
}

bool TimerLoop::with_loop(const std::function<void(uilitylib::EventLoop&)>& work) {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_loop_ && thread_loop_->withLoop(work);
}

void TimerLoop::stop() {
    std::unique_ptr<uilitylib::ThreadEventLoop> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
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
        // The queue destroys a timer that is still pending only after it has deleted its OS timer and waited
        // for the OS timer callbacks under way, so this one reports the end of all timer work. The quit is
        // made inside a turn: a quit made before the loop thread has entered loop() would be cleared.
        const bool running = thread_loop_ && thread_loop_->withLoop([&gone](uilitylib::EventLoop& loop) {
            auto reporter = std::make_shared<SignalOnDestruction>(gone);
            loop.runAfter(kNeverMs, [reporter] {});
            reporter.reset();
            uilitylib::EventLoop* const running_loop = &loop;
            loop.queueInLoop([running_loop] { running_loop->quit(); });
        });
        if (!running) {
            return false;  // never started (then the destructor has nothing to join) or stopped before
        }
        (void)thread_loop_.release();
    }
    std::unique_lock<std::mutex> lock(gone->mutex);
    return gone->cond.wait_for(lock, limit, [&] { return gone->set; });
}

}  // namespace doip::detail

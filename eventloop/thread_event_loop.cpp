#include "uilitylib.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace uilitylib {
namespace {

// How often the destructor repeats its quit request while the loop thread has not withdrawn its loop.
constexpr std::chrono::milliseconds kQuitRepeat(10);

}  // namespace

ThreadEventLoop::ThreadEventLoop(const ThreadInitCallback& cb, const std::string& name)
    : loop_(nullptr),
      published_(false),
      ended_(false),
      thread_([this] { threadFunc(); }, name),
      callback_(cb) {}

ThreadEventLoop::~ThreadEventLoop() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (loop_ != nullptr && loop_->isInThread()) {
            std::abort();
        }
        // loop_ is withdrawn under mutex_ before the loop is destroyed, so it is safe to use while held.
        while (loop_ != nullptr) {
            loop_->quit();
            loop_->wakeup();
            cond_.wait_for(lock, kQuitRepeat);
        }
    }
    thread_.join();
}

EventLoop* ThreadEventLoop::startLoop() {
    thread_.start();
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return published_ || ended_; });
    if (!published_) {
        throw std::runtime_error("ThreadEventLoop::startLoop: thread " + thread_.getThreadName() +
                                 " ended before its loop ran");
    }
    return loop_;
}

bool ThreadEventLoop::withLoop(const std::function<void(EventLoop&)>& work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loop_ == nullptr) {
        return false;
    }
    work(*loop_);
    return true;
}

void ThreadEventLoop::threadFunc() {
    // Tells startLoop that the thread is done however this function ends, so that it does not wait forever
    // for a loop that building or initialising failed to deliver.
    struct ReportEnd {
        ThreadEventLoop* self;
        ~ReportEnd() {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->ended_ = true;
            self->cond_.notify_all();
        }
    } reportEnd{this};
    EventLoop loop;
    if (callback_) {
        callback_(&loop);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loop_ = &loop;
        published_ = true;
        cond_.notify_all();
    }
    // Withdraws the loop however loop() ends, before the loop is destroyed.
    struct Withdraw {
        ThreadEventLoop* self;
        ~Withdraw() {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->loop_ = nullptr;
            self->cond_.notify_all();
        }
    } withdraw{this};
    loop.loop();
}

}  // namespace uilitylib

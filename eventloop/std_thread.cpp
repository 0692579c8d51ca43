#include "uilitylib.h"

#include "eventloop/thread_name.h"

#include <cstdio>
#include <exception>
#include <sstream>
#include <stdexcept>

namespace uilitylib {
namespace {

// Set when a StdThread is destroyed by its own function: run() then reports under this copy of the name
// and leaves the destroyed object alone. A plain pointer, so the library registers no thread-exit work.
thread_local std::string* t_orphanName = nullptr;

}  // namespace

std::atomic<int> StdThread::s_thread_count(0);

StdThread::StdThread(ThreadFunc func, const std::string& name)
    : running_(false), name_(name), func_(std::move(func)), latch_(1) {
    setDefaultName();
}

StdThread::~StdThread() {
    if (thread_ && thread_->joinable()) {
        running_ = false;
        if (thread_->get_id() == std::this_thread::get_id()) {
            delete t_orphanName;
            t_orphanName = new std::string(name_);
            thread_->detach();
        } else {
            thread_->join();
        }
    }
}

void StdThread::start() {
    if (thread_) {
        throw std::logic_error("StdThread::start: thread " + name_ + " was started before");
    }
    running_ = true;
    try {
        thread_.reset(new std::thread([this] { run(); }));
    } catch (...) {
        running_ = false;
        throw;
    }
    latch_.wait();
}

void StdThread::stop() {
    running_ = false;
}

void StdThread::join() {
    if (thread_ && thread_->joinable()) {
        thread_->join();
    }
}

void StdThread::detach() {
    if (thread_ && thread_->joinable()) {
        thread_->detach();
    }
}

int StdThread::getThreadCount() {
    return s_thread_count.fetch_add(1);
}

void StdThread::run() {
    tid_ = formatThreadId();
    detail::setCurrentThreadName(name_);
    // The function lives on this thread's stack, so it may destroy this object while it runs.
    ThreadFunc func = std::move(func_);
    latch_.countDown();
    try {
        func();
    } catch (const std::exception& e) {
        std::printf("StdThread::run: thread %s caught exception: %s\n",
                    (t_orphanName != nullptr ? *t_orphanName : name_).c_str(), e.what());
        std::fflush(stdout);
    } catch (...) {
        std::printf("StdThread::run: thread %s caught unknown exception\n",
                    (t_orphanName != nullptr ? *t_orphanName : name_).c_str());
        std::fflush(stdout);
    }
    if (t_orphanName != nullptr) {
        delete t_orphanName;
        t_orphanName = nullptr;
    } else {
        running_ = false;
    }
}

std::string StdThread::formatThreadId() {
    std::ostringstream out;
    out << std::this_thread::get_id();
    return out.str();
}

void StdThread::setDefaultName() {
    const int n = s_thread_count.fetch_add(1);
    if (name_.empty()) {
        char buf[32] = {0};
        std::snprintf(buf, sizeof(buf), "StdThread%d", n);
        name_ = buf;
    }
}

}  // namespace uilitylib

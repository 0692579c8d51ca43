#include "inbox.h"

namespace doip_tools {

void Inbox::put(std::vector<ReceivedMessage>& batch) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (ReceivedMessage& m : batch) {
            messages_.push_back(std::move(m));
        }
        wake = readers_waiting_ > 0;
    }
    batch.clear();
    if (wake) {
        arrived_.notify_one();
    }
}

bool Inbox::full() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size() >= kHighWater;
}

void Inbox::wait_for_room() {
    std::unique_lock<std::mutex> lock(mutex_);
    writer_waits_ = true;
    taken_.wait(lock, [this] { return messages_.size() < kHighWater || closed_; });
    writer_waits_ = false;
}

void Inbox::end() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    arrived_.notify_all();
}

void Inbox::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        closed_ = true;
    }
    arrived_.notify_all();
    taken_.notify_all();
}

Inbox::Taken Inbox::take(ReceivedMessage* out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (messages_.empty() && !ended_ && timeout.count() > 0) {
        ++readers_waiting_;
        arrived_.wait_for(lock, timeout, [this] { return !messages_.empty() || ended_; });
        --readers_waiting_;
    }
    if (messages_.empty()) {
        return ended_ ? Taken::ended : Taken::timeout;
    }
    *out = std::move(messages_.front());
    messages_.pop_front();
    const bool wake = writer_waits_ && messages_.size() < kHighWater;
    lock.unlock();
    if (wake) {
        taken_.notify_one();
    }
    return Taken::message;
}

size_t Inbox::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

}  // namespace doip_tools

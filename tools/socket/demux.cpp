#include "demux.h"

#include <future>

namespace doip_tools {
namespace {

// Messages can reach the cache from elsewhere than the layer; they are picked up at this pace.
constexpr int kPollMs = 5;

}  // namespace

MessageDemux::MessageDemux(SocketLayer& layer) : layer_(layer) {
    layer_.add_waker(waker_);
    layer_.set_reader_backlog(this, backlog_);
    std::promise<void> running;
    std::future<void> started = running.get_future();
    thread_ = std::thread([this, &running] {
        running.set_value();
        run();
    });
    started.wait();
}

MessageDemux::~MessageDemux() {
    stop_ = true;
    waker_->notify();
    thread_.join();
    layer_.clear_reader_backlog(this);
    layer_.remove_waker(waker_);
}

void MessageDemux::run() {
    bool signalled = true;
    while (!stop_) {
        for (;;) {
            doip_message_s m{};
            if (doip_get_message(&m, nullptr) != DOIP_OK) {
                break;
            }
            if (m.data == nullptr) {
                continue;
            }
            ReceivedMessage message;
            message.channel = m.channel;
            message.aux1 = m.aux1;
            message.aux2 = m.aux2;
            message.bytes.assign(m.data, m.data + m.length);
            doip_message_destory(&m);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const auto channel = static_cast<uint8_t>(message.aux1);
                std::deque<ReceivedMessage>& queue = queues_[channel];
                if (queue.size() >= kQueueLimit) {
                    queue.pop_front();
                    ++dropped_;
                }
                queue.push_back(std::move(message));
                backlog_->queued[channel] = static_cast<uint32_t>(queue.size());
                ++routed_;
            }
            filed_.notify_all();
        }
        bool announce;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++passes_;
            // A connection that ended wakes its takers, and sync() hears of every pass.
            announce = signalled || pass_waiters_ > 0;
        }
        if (announce) {
            filed_.notify_all();
        }
        layer_.reader_progress();  // the library's queue is empty again
        signalled = waker_->wait(kPollMs);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++passes_;
    filed_.notify_all();
}

bool MessageDemux::pop(uint8_t channel, uint32_t serial, ReceivedMessage* out) {
    std::deque<ReceivedMessage>& queue = queues_[channel];
    while (!queue.empty()) {
        ReceivedMessage front = std::move(queue.front());
        queue.pop_front();
        backlog_->queued[channel] = static_cast<uint32_t>(queue.size());
        layer_.reader_progress();
        if (serial == 0 || front.aux2 == serial) {
            *out = std::move(front);
            return true;
        }
        ++dropped_;
    }
    return false;
}

void MessageDemux::sync(std::unique_lock<std::mutex>& lock) {
    // The pass under way may have started before the call; the one after it has not.
    const uint64_t target = passes_ + 2;
    ++pass_waiters_;
    waker_->notify();
    filed_.wait(lock, [&] { return passes_ >= target || stop_; });
    --pass_waiters_;
}

void MessageDemux::sync() {
    std::unique_lock<std::mutex> lock(mutex_);
    sync(lock);
}

MessageDemux::Taken MessageDemux::take_unless_ended(uint8_t channel, uint32_t serial, ReceivedMessage* out,
                                                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    bool synced = false;
    for (;;) {
        if (pop(channel, serial, out)) {
            return Taken::message;
        }
        // The layer appends a connection's last message before it marks the connection unusable; one more
        // pass files whatever of it is still in the default queue.
        if (!layer_.is_open(channel, serial)) {
            if (synced) {
                return Taken::ended;
            }
            sync(lock);
            synced = true;
            continue;
        }
        if (filed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            return pop(channel, serial, out) ? Taken::message : Taken::timeout;
        }
    }
}

bool MessageDemux::take(uint8_t channel, uint32_t serial, ReceivedMessage* out,
                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (pop(channel, serial, out)) {
            return true;
        }
        if (filed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: a message filed right at the deadline still counts.
            if (queues_[channel].empty()) {
                return false;
            }
        }
    }
}

void MessageDemux::clear(uint8_t channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(channel);
    backlog_->queued[channel] = 0;
    layer_.reader_progress();
}

}  // namespace doip_tools
